// The 2-section of a store, read in place: two slots are adjacent when a
// stored hyperedge names both. Each slot's hyperedges come from its incidence
// list when that list is complete; slots whose list is incomplete or that are
// no live vertex (a hyperedge may name such a slot) get their hyperedges from
// one scan of the store, made only when such slots exist.
// Invariants: a view is valid while the store is not changed; it allocates
// one bit per slot plus the lists of the few slots found by the scan.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "hypergraph/hypergraph.hpp"

namespace vorn::analysis {

class TwoSection {
 public:
  explicit TwoSection(const Hypergraph& g);

  const Hypergraph& graph() const { return g_; }
  uint32_t capacity() const { return g_.slot_capacity(); }

  // The hyperedges naming s, once per position (order: the incidence list's,
  // or ascending slot for slots read from the scan).
  std::span<const EdgeSlot> edges_of(Slot s) const {
    if (!irregular(s)) return g_.incidence(s);
    const auto it = scanned_.find(s);
    if (it == scanned_.end()) return {};
    return it->second;
  }
  // Whether s is a node of the 2-section: named by a stored hyperedge.
  bool is_node(Slot s) const { return !edges_of(s).empty(); }
  // The slot of a live vertex or of an id some hyperedge names.
  std::optional<Slot> find(VertexId v) const;
  // Calls f(slot) for every slot that is a live vertex or a node, ascending.
  template <class F>
  void for_each_slot(F&& f) const {
    const uint32_t n = capacity();
    for (Slot s = 0; s < n; ++s) {
      if (irregular(s) ? scanned_.contains(s) || g_.is_vertex(s) : true) f(s);
    }
  }

 private:
  bool irregular(Slot s) const { return (irregular_[s >> 6] >> (s & 63)) & 1; }

  const Hypergraph& g_;
  // One bit per slot: set when the slot is not a live vertex with a complete
  // list (free slots included).
  std::vector<uint64_t> irregular_;
  absl::flat_hash_map<Slot, std::vector<EdgeSlot>> scanned_;
  absl::flat_hash_map<VertexId, Slot> named_ids_;  // ids of named slots that are no live vertex
};

}  // namespace vorn::analysis
