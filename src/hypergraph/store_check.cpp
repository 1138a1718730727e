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
#include <optional>
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
  // When every member's incidence list is complete, a vertex's pairs with
  // the larger slots are found on its own list, a few at a time; otherwise
  // every pair of every hyperedge goes into one set.
  bool complete = true;
  for_each_hyperedge([&](EdgeSlot e) {
    for (const Slot s : members(e)) complete = complete && (vertices_[s].flags & kComplete) != 0;
  });
  if (complete) {
    uint64_t count = 0;
    std::vector<Slot> larger;
    for (Slot v = 0; v < vertices_.size(); ++v) {
      if ((vertices_[v].flags & kHasList) == 0) continue;
      larger.clear();
      for (const EdgeSlot e : vertices_[v].incidence) {
        for (const Slot u : members(e)) {
          if (u > v) larger.push_back(u);
        }
      }
      std::sort(larger.begin(), larger.end());
      count += static_cast<uint64_t>(std::unique(larger.begin(), larger.end()) - larger.begin());
    }
    return count;
  }
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
  // (Bits and counts per slot: the check needs memory in proportion to the
  // slots, never to the hyperedges' positions.)
  std::vector<bool> free(slots, false);
  for (const Slot s : free_vertices_) {
    if (s >= slots || free[s]) {
      report.add("free vertex slot " + id(s) + " out of range or listed twice");
      return report.take();
    }
    free[s] = true;
  }
  for (Slot s = 0; s < slots; ++s) {
    const uint32_t flags = vertices_[s].flags;
    if ((flags & ~kKnownFlags) != 0) {
      report.add("slot " + id(s) + " has unknown flags " + id(flags));
      return report.take();
    }
  }
  std::vector<bool> listed(slots, false);
  for (std::size_t i = 0; i < vertex_list_.size(); ++i) {
    const Slot s = vertex_list_[i];
    if (s >= slots || listed[s] || !is_vertex(s)) {
      report.add("live list entry " + id(i) + " is slot " + id(s) + ", no live vertex or listed twice");
      return report.take();
    }
    listed[s] = true;
    if (vertices_[s].position != i) {
      report.add("vertex " + id(id_of(s)) + " stands at " + id(i) + " but records position " +
                 id(vertices_[s].position));
    }
  }
  for (Slot s = 0; s < slots && !report.full(); ++s) {
    const VertexRecord& r = vertices_[s];
    if (free[s] != ((r.flags & kFree) != 0))
      report.add("slot " + id(s) + " free flag disagrees with the free list");
    if (free[s]) {
      if (r.flags != kFree || r.refs != 0 || !r.incidence.empty())
        report.add("free slot " + id(s) + " in use");
      continue;
    }
    if (is_vertex(s) != listed[s]) report.add("vertex " + id(r.id) + " live but not in the live list");
    if (indexed_slot(r.id) != s) {
      report.add("slot " + id(s) + " of id " + id(r.id) + " is not indexed under its id");
    }
    if (!r.incidence.empty() && (r.flags & kHasList) == 0) {
      report.add("slot " + id(s) + " has incidence entries without its list flag");
    }
  }
  // Hyperedges: the free list, the count, unique ids, live members.
  std::vector<bool> free_edge(edge_slots, false);
  for (const EdgeSlot e : free_edges_) {
    if (e >= edge_slots || free_edge[e] || edges_[e].live()) {
      report.add("free hyperedge slot " + id(e) + " out of range, stored or listed twice");
      return report.take();
    }
    free_edge[e] = true;
  }
  std::vector<uint32_t> refs(slots, 0);
  std::size_t stored = 0;
  EdgeId lowest = ~EdgeId{0}, highest = 0;
  for (EdgeSlot e = 0; e < edge_slots && !report.full(); ++e) {
    if (!edges_[e].live()) {
      if (!free_edge[e]) report.add("removed hyperedge slot " + id(e) + " is not free");
      continue;
    }
    ++stored;
    lowest = std::min(lowest, edges_[e].id());
    highest = std::max(highest, edges_[e].id());
    const std::span<const Slot> m = members(e);
    for (std::size_t i = 0; i < m.size(); ++i) {
      const Slot v = m[i];
      if (v >= slots || free[v]) {
        report.add("hyperedge " + id(edge_id(e)) + " names free slot " + id(v));
        return report.take();
      }
      if (!is_vertex(v)) report.add("hyperedge " + id(edge_id(e)) + " names dead vertex " + id(id_of(v)));
      ++refs[v];
    }
  }
  if (stored != edge_count_) {
    report.add("edge count " + id(edge_count_) + " but " + id(stored) + " stored");
  }
  // Unique ids: a bit per id of their range when it is not much wider than
  // their number (ids are handed out in order), else the ids sorted.
  if (stored > 1 && !report.full()) {
    const auto repeated = [&]() -> std::optional<EdgeId> {
      const uint64_t range = highest - lowest;
      if (range / 64 <= stored) {
        std::vector<bool> seen(range + 1, false);
        for (EdgeSlot e = 0; e < edge_slots; ++e) {
          if (!edges_[e].live()) continue;
          const uint64_t at = edges_[e].id() - lowest;
          if (seen[at]) return edges_[e].id();
          seen[at] = true;
        }
        return std::nullopt;
      }
      std::vector<EdgeId> ids;
      for (EdgeSlot e = 0; e < edge_slots; ++e) {
        if (edges_[e].live()) ids.push_back(edges_[e].id());
      }
      std::sort(ids.begin(), ids.end());
      const auto twice = std::adjacent_find(ids.begin(), ids.end());
      return twice != ids.end() ? std::optional<EdgeId>(*twice) : std::nullopt;
    };
    if (const std::optional<EdgeId> twice = repeated()) report.add("two hyperedges with id " + id(*twice));
  }
  // Incidence lists against the hyperedges, one list at a time: a list may
  // name a hyperedge at most as often as the hyperedge holds its vertex, and
  // a complete list names every occurrence (its matched entries reach the
  // slot's count of positions).
  std::vector<EdgeSlot> sorted;
  for (Slot s = 0; s < slots && !report.full(); ++s) {
    if (free[s]) continue;
    const VertexRecord& r = vertices_[s];
    if (r.refs != refs[s]) {
      report.add("slot " + id(s) + " counts " + id(r.refs) + " positions, hyperedges name it " + id(refs[s]));
    }
    sorted.assign(r.incidence.begin(), r.incidence.end());
    bool removed = false;
    for (const EdgeSlot e : sorted) removed = removed || e >= edge_slots || !edges_[e].live();
    if (removed) {
      report.add("incidence of " + id(r.id) + " names a removed hyperedge");
      continue;
    }
    std::sort(sorted.begin(), sorted.end());
    uint64_t matched = 0;
    for (std::size_t i = 0; i < sorted.size() && !report.full();) {
      std::size_t j = i;
      while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
      const std::span<const Slot> m = members(sorted[i]);
      const auto holds = static_cast<std::size_t>(std::count(m.begin(), m.end(), s));
      if (j - i > holds) {
        report.add("incidence of " + id(r.id) + " names hyperedge " + id(edges_[sorted[i]].id()) +
                   " more often than it holds the vertex");
      }
      matched += std::min(j - i, holds);
      i = j;
    }
    if ((r.flags & kComplete) != 0 && matched < refs[s] && !report.full()) {
      report.add("complete incidence list of " + id(r.id) + " misses a hyperedge");
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
  // The causal state of live vertices, from a replay of the whole log.
  CausalReplay replay;
  replay.sync(causal_.log());
  for_each_vertex([&](Slot s) {
    if (report.full()) return;
    const VertexId v = id_of(s);
    const CausalLinks* links = replay.links(v);
    if (links == nullptr) {
      report.add("live vertex " + id(v) + " has no causal links");
    } else if (links->depth < 1) {
      report.add("live vertex " + id(v) + " has causal depth 0");
    }
    const FixedBitSet* past = replay.past(v);
    if (past == nullptr || !past->contains(v)) report.add("causal past of " + id(v) + " lacks its own bit");
    const FixedBitSet* future = replay.future(v);
    if (future == nullptr || !future->contains(v))
      report.add("causal future of " + id(v) + " lacks its own bit");
  });
  return report.take();
}

}  // namespace vorn
