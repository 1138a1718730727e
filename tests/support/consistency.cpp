// A full check of the store's invariants, for tests and fuzzers.
//
// Checked: the live list and each live vertex's position agree; the id index
// maps every allocated slot's id to it and nothing else; free slots are
// empty; every stored hyperedge names live vertices only, and each member
// slot counts exactly its positions in stored hyperedges; a complete
// incidence list holds each stored hyperedge once per occurrence of its
// vertex and nothing else, any list holds stored hyperedges only; every live
// vertex has causal links (depth at least 1) and past and future sets that
// hold its own bit, and reading them leaves no deferred log.
#include <algorithm>
#include <string>

#include "absl/container/flat_hash_map.h"
#include "support/access.hpp"

namespace vorn {

namespace {

class Report {
 public:
  explicit Report(std::size_t limit) : limit_(limit) {}
  bool full() const { return lines_.size() >= limit_; }
  void add(std::string line) {
    if (!full()) lines_.push_back(std::move(line));
  }
  std::vector<std::string> take() { return std::move(lines_); }

 private:
  std::size_t limit_;
  std::vector<std::string> lines_;
};

std::string id(uint64_t v) { return std::to_string(v); }

}  // namespace

std::vector<std::string> StoreAccess::check(const Hypergraph& g, std::size_t limit) {
  Report report(limit);
  const uint32_t slots = g.vertices_.size();
  // The live list.
  for (std::size_t i = 0; i < g.vertex_list_.size(); ++i) {
    const Slot s = g.vertex_list_[i];
    if (s >= slots || !g.is_vertex(s)) {
      report.add("live list entry " + id(i) + " is slot " + id(s) + ", no live vertex");
    } else if (g.vertices_[s].position != i) {
      report.add("vertex " + id(g.id_of(s)) + " stands at " + id(i) + " but records " +
                 id(g.vertices_[s].position));
    }
  }
  std::size_t live = 0;
  std::vector<uint8_t> free(slots, 0);
  for (const Slot s : g.free_vertices_) free[s] = 1;
  for (Slot s = 0; s < slots && !report.full(); ++s) {
    const auto& r = g.vertices_[s];
    if (free[s] != ((r.flags & Hypergraph::kFree) != 0)) report.add("slot " + id(s) + " free flag wrong");
    if (free[s]) {
      if (r.flags != Hypergraph::kFree || r.refs != 0 || !r.incidence.empty()) {
        report.add("free slot " + id(s) + " in use");
      }
      continue;
    }
    live += g.is_vertex(s) ? 1 : 0;
    if (g.index_.find(r.id) != s || g.index_.slot_at(r.index) != s) {
      report.add("slot " + id(s) + " of id " + id(r.id) + " is not indexed under its id");
    }
    if (!g.is_vertex(s) && (r.flags & Hypergraph::kHasList) == 0 && r.refs == 0) {
      report.add("slot " + id(s) + " of id " + id(r.id) + " is unused but not free");
    }
  }
  if (live != g.vertex_list_.size()) {
    report.add(id(live) + " live vertices but " + id(g.vertex_list_.size()) + " in the live list");
  }
  if (g.index_.size() + g.free_vertices_.size() != slots) {
    report.add("the id index holds " + id(g.index_.size()) + " ids for " +
               id(slots - g.free_vertices_.size()) + " slots in use");
  }
  // Hyperedges against incidence lists and reference counts.
  absl::flat_hash_map<Slot, uint32_t> refs;
  absl::flat_hash_map<Slot, absl::flat_hash_map<EdgeSlot, uint32_t>> expected;
  std::size_t edges = 0;
  for (EdgeSlot e = 0; e < g.edges_.size(); ++e) {
    if (g.edges_[e].live == 0) continue;
    ++edges;
    for (const Slot v : g.members(e)) {
      if (v >= slots || free[v]) {
        report.add("hyperedge " + id(g.edge_id(e)) + " names free slot " + id(v));
        continue;
      }
      if (!g.is_vertex(v)) report.add("hyperedge " + id(g.edge_id(e)) + " names dead vertex " + id(g.id_of(v)));
      ++refs[v];
      ++expected[v][e];
    }
  }
  if (edges != g.edge_count()) report.add("edge count " + id(g.edge_count()) + " but " + id(edges) + " stored");
  for (Slot s = 0; s < slots && !report.full(); ++s) {
    if (free[s]) continue;
    const auto& r = g.vertices_[s];
    const uint32_t want_refs = refs.contains(s) ? refs.at(s) : 0;
    if (r.refs != want_refs) {
      report.add("slot " + id(s) + " counts " + id(r.refs) + " positions, hyperedges name it " + id(want_refs));
    }
    absl::flat_hash_map<EdgeSlot, uint32_t> actual;
    for (const EdgeSlot e : g.incidence(s)) {
      if (e >= g.edges_.size() || g.edges_[e].live == 0) {
        report.add("incidence of " + id(r.id) + " names a removed hyperedge");
      }
      ++actual[e];
    }
    if ((r.flags & Hypergraph::kComplete) == 0) continue;
    const auto want = expected.find(s);
    const std::size_t want_size = want == expected.end() ? 0 : want->second.size();
    bool same = actual.size() == want_size;
    for (const auto& [e, n] : actual) {
      same = same && want != expected.end() && want->second.contains(e) && want->second.at(e) == n;
    }
    if (!same) report.add("complete incidence list of " + id(r.id) + " disagrees with the hyperedges");
  }
  // The causal state of live vertices.
  g.causal().sync();
  g.for_each_vertex([&](Slot s) {
    if (report.full()) return;
    const VertexId v = g.id_of(s);
    const CausalLinks* links = g.causal().links(v);
    if (links == nullptr) {
      report.add("live vertex " + id(v) + " has no causal links");
    } else if (links->depth < 1) {
      report.add("live vertex " + id(v) + " has causal depth 0");
    }
    const FixedBitSet* past = g.causal().past(v);
    if (past == nullptr || !past->contains(v)) report.add("causal past of " + id(v) + " lacks its own bit");
    const FixedBitSet* future = g.causal().future(v);
    if (future == nullptr || !future->contains(v)) {
      report.add("causal future of " + id(v) + " lacks its own bit");
    }
  });
  if (g.causal().pending() != 0) report.add("causal log not empty after a read");
  return report.take();
}

}  // namespace vorn
