// The store's consistency check, run by the checkpoint loader on every
// loaded store and by the tests and fuzzers after every operation.
//
// Checked: flags, the free list and the live list against the slots' flags
// and positions; the id index against every slot in use; free slots empty;
// every stored hyperedge names live vertex slots only, each member slot
// counts exactly its positions in stored hyperedges; every incidence entry
// names a stored hyperedge that holds the vertex at least as often, and a
// complete list holds each exactly as often; hyperedge ids unique, the
// hyperedge free list and count; observables exactly for observed vertices;
// an exact pair count equal to its recount; with `causal`, every live vertex
// has causal links (depth at least 1) and past and future sets holding its
// own bit, and reading them leaves no deferred log.
#include <algorithm>
#include <string>

#include "absl/container/flat_hash_set.h"
#include "hypergraph/hypergraph.hpp"

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

uint64_t Hypergraph::recount_pairs() const {
  absl::flat_hash_set<uint64_t> pairs;
  for_each_hyperedge([&](EdgeSlot e) {
    const std::span<const Slot> m = members(e);
    for (std::size_t i = 0; i < m.size(); ++i) {
      for (std::size_t j = i + 1; j < m.size(); ++j) {
        if (m[i] == m[j]) continue;
        pairs.insert(uint64_t{std::min(m[i], m[j])} << 32 | std::max(m[i], m[j]));
      }
    }
  });
  return pairs.size();
}

// Whether the hyperedges determine the pair count: none repeats a vertex
// and every member slot's incidence list is complete.
bool Hypergraph::pairs_determined() const {
  bool determined = true;
  std::vector<Slot> sorted;
  for_each_hyperedge([&](EdgeSlot e) {
    if (!determined) return;
    const std::span<const Slot> m = members(e);
    sorted.assign(m.begin(), m.end());
    std::sort(sorted.begin(), sorted.end());
    determined = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
    for (const Slot s : m) determined = determined && (vertices_[s].flags & kComplete) != 0;
  });
  return determined;
}

bool Hypergraph::confirm_pair_count() {
  pair_count_exact_ = pairs_determined() && recount_pairs() == pair_count_;
  return pair_count_exact_;
}

std::vector<std::string> Hypergraph::check(std::size_t limit, bool causal) const {
  Report report(limit);
  const uint32_t slots = vertices_.size();
  const uint32_t edge_slots = edges_.size();
  // Slots: flags, the free list, the live list.
  std::vector<uint8_t> free(slots, 0);
  for (const Slot s : free_vertices_) {
    if (s >= slots || free[s]) {
      report.add("free vertex slot " + id(s) + " out of range or listed twice");
      return report.take();
    }
    free[s] = 1;
  }
  for (Slot s = 0; s < slots; ++s) {
    const uint32_t flags = vertices_[s].flags;
    if ((flags & ~kKnownFlags) != 0) {
      report.add("slot " + id(s) + " has unknown flags " + id(flags));
      return report.take();
    }
  }
  std::vector<uint8_t> listed(slots, 0);
  for (std::size_t i = 0; i < vertex_list_.size(); ++i) {
    const Slot s = vertex_list_[i];
    if (s >= slots || listed[s] || !is_vertex(s)) {
      report.add("live list entry " + id(i) + " is slot " + id(s) + ", no live vertex or listed twice");
      return report.take();
    }
    listed[s] = 1;
    if (vertices_[s].position != i) {
      report.add("vertex " + id(id_of(s)) + " stands at " + id(i) + " but records position " +
                 id(vertices_[s].position));
    }
  }
  for (Slot s = 0; s < slots && !report.full(); ++s) {
    const VertexRecord& r = vertices_[s];
    if (free[s] != ((r.flags & kFree) != 0)) report.add("slot " + id(s) + " free flag disagrees with the free list");
    if (free[s]) {
      if (r.flags != kFree || r.refs != 0 || !r.incidence.empty()) report.add("free slot " + id(s) + " in use");
      continue;
    }
    if (is_vertex(s) != (listed[s] != 0)) report.add("vertex " + id(r.id) + " live but not in the live list");
    if (indexed_slot(r.id) != s) {
      report.add("slot " + id(s) + " of id " + id(r.id) + " is not indexed under its id");
    }
    if (!r.incidence.empty() && (r.flags & kHasList) == 0) {
      report.add("slot " + id(s) + " has incidence entries without its list flag");
    }
  }
  // Hyperedges: the free list, the count, unique ids, live members.
  std::vector<uint8_t> free_edge(edge_slots, 0);
  for (const EdgeSlot e : free_edges_) {
    if (e >= edge_slots || free_edge[e] || edges_[e].live()) {
      report.add("free hyperedge slot " + id(e) + " out of range, stored or listed twice");
      return report.take();
    }
    free_edge[e] = 1;
  }
  std::vector<uint32_t> refs(slots, 0);
  std::vector<EdgeId> edge_ids;
  std::vector<uint64_t> held;  // (slot, hyperedge) per position
  for (EdgeSlot e = 0; e < edge_slots && !report.full(); ++e) {
    if (!edges_[e].live()) {
      if (!free_edge[e]) report.add("removed hyperedge slot " + id(e) + " is not free");
      continue;
    }
    edge_ids.push_back(edges_[e].id());
    const std::span<const Slot> m = members(e);
    for (std::size_t i = 0; i < m.size(); ++i) {
      const Slot v = m[i];
      if (v >= slots || free[v]) {
        report.add("hyperedge " + id(edge_id(e)) + " names free slot " + id(v));
        return report.take();
      }
      if (!is_vertex(v)) report.add("hyperedge " + id(edge_id(e)) + " names dead vertex " + id(id_of(v)));
      ++refs[v];
      held.push_back(uint64_t{v} << 32 | e);
    }
  }
  if (edge_ids.size() != edge_count_) {
    report.add("edge count " + id(edge_count_) + " but " + id(edge_ids.size()) + " stored");
  }
  std::sort(edge_ids.begin(), edge_ids.end());
  if (const auto twice = std::adjacent_find(edge_ids.begin(), edge_ids.end()); twice != edge_ids.end()) {
    report.add("two hyperedges with id " + id(*twice));
  }
  // Incidence lists against the hyperedges, both as sorted (slot, hyperedge)
  // keys, one per occurrence.
  std::vector<uint64_t> entries;
  for (Slot s = 0; s < slots && !report.full(); ++s) {
    if (free[s]) continue;
    const VertexRecord& r = vertices_[s];
    if (r.refs != refs[s]) {
      report.add("slot " + id(s) + " counts " + id(r.refs) + " positions, hyperedges name it " + id(refs[s]));
    }
    for (const EdgeSlot e : r.incidence) {
      if (e >= edge_slots || !edges_[e].live()) {
        report.add("incidence of " + id(r.id) + " names a removed hyperedge");
        break;
      }
      entries.push_back(uint64_t{s} << 32 | e);
    }
  }
  std::sort(held.begin(), held.end());
  std::sort(entries.begin(), entries.end());
  std::vector<uint8_t> short_list(slots, 0);
  for (std::size_t i = 0, j = 0; !report.full() && (i < held.size() || j < entries.size());) {
    if (j == entries.size() || (i < held.size() && held[i] < entries[j])) {
      short_list[held[i] >> 32] = 1;  // held but not listed
      ++i;
    } else if (i == held.size() || entries[j] < held[i]) {
      report.add("incidence of " + id(vertices_[entries[j] >> 32].id) + " names hyperedge " +
                 id(edges_[entries[j] & 0xffffffffu].id()) + " more often than it holds the vertex");
      ++j;
    } else {
      ++i;
      ++j;
    }
  }
  for (Slot s = 0; s < slots && !report.full(); ++s) {
    if (!free[s] && (vertices_[s].flags & kComplete) != 0 && short_list[s]) {
      report.add("complete incidence list of " + id(vertices_[s].id) + " misses a hyperedge");
    }
  }
  // Observables exactly for the observed vertices.
  for (Slot s = 0; s < slots && !report.full(); ++s) {
    if ((vertices_[s].flags & kObserved) != 0 && (!is_vertex(s) || !observables_.contains(vertices_[s].id))) {
      report.add("vertex " + id(vertices_[s].id) + " flagged observed has no observables");
    }
  }
  for (const auto& [v, values] : observables_) {
    const Slot s = indexed_slot(v);
    if (s == kNoSlot || s >= slots || (vertices_[s].flags & kObserved) == 0) {
      report.add("observables of " + id(v) + ", no observed vertex");
      break;
    }
  }
  // The pair count, recounted where the hyperedges determine it.
  if (pair_count_exact_ && !report.full()) {
    if (!pairs_determined()) {
      report.add("pair count marked exact with hyperedges that repeat a vertex or incomplete lists");
    } else if (const uint64_t recount = recount_pairs(); recount != pair_count_) {
      report.add("pair count " + id(pair_count_) + " but the hyperedges give " + id(recount));
    }
  }
  if (!causal) return report.take();
  // The causal state of live vertices.
  causal_.sync();
  for_each_vertex([&](Slot s) {
    if (report.full()) return;
    const VertexId v = id_of(s);
    const CausalLinks* links = causal_.links(v);
    if (links == nullptr) {
      report.add("live vertex " + id(v) + " has no causal links");
    } else if (links->depth < 1) {
      report.add("live vertex " + id(v) + " has causal depth 0");
    }
    const FixedBitSet* past = causal_.past(v);
    if (past == nullptr || !past->contains(v)) report.add("causal past of " + id(v) + " lacks its own bit");
    const FixedBitSet* future = causal_.future(v);
    if (future == nullptr || !future->contains(v)) report.add("causal future of " + id(v) + " lacks its own bit");
  });
  if (causal_.pending() != 0) report.add("causal log not empty after a read");
  return report.take();
}

}  // namespace vorn
