// CausalNodes: the propagated causal data, one node per vertex id that has
// links, a past set or a future set, found through one hash lookup. Freed
// nodes go to a free list and are reused, so a node's index is stable while
// it lives.
//
// Invariants: an id is indexed exactly while its node has links or a set
// (`release_if_empty` enforces it after a change); references to nodes stay
// valid until the next `find_or_make` (which may grow the vector), indices
// until the node is released.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "hypergraph/causal_list.hpp"
#include "hypergraph/fixed_bit_set.hpp"
#include "hypergraph/ids.hpp"

namespace vorn {

// The length a causal set grows to: the smallest power of two not below
// max(a, b), 1 when that is below 2; saturates at 2^64 - 1 where the power
// of two does not fit.
inline uint64_t causal_set_length(uint64_t a, uint64_t b) {
  const uint64_t m = a > b ? a : b;
  if (m < 2) return 1;
  if (m > (uint64_t{1} << 63)) return std::numeric_limits<uint64_t>::max();
  return std::bit_ceil(m);
}

// A vertex's depth and its direct causes and effects.
struct CausalLinks {
  uint64_t depth = 1;
  CausalList causes;
  CausalList effects;
};

struct CausalNode {
  VertexId id = 0;
  uint32_t stamp = 0;  // the last breadth-first pass that reached it
  bool has_links = false, has_future = false, has_past = false;
  CausalLinks links;
  FixedBitSet future, past;

  bool empty() const { return !has_links && !has_future && !has_past; }
  // The depth as propagation reads it: 1 without links.
  uint64_t depth() const { return has_links ? links.depth : 1; }
};

class CausalNodes {
 public:
  static constexpr uint32_t kAbsent = ~uint32_t{0};

  // The index of v's node, kAbsent when it has none.
  uint32_t index(VertexId v) const {
    const auto it = index_.find(v);
    return it == index_.end() ? kAbsent : it->second;
  }
  CausalNode* find(VertexId v) {
    const uint32_t i = index(v);
    return i == kAbsent ? nullptr : &nodes_[i];
  }
  const CausalNode* find(VertexId v) const {
    const uint32_t i = index(v);
    return i == kAbsent ? nullptr : &nodes_[i];
  }
  CausalNode& at(uint32_t i) { return nodes_[i]; }
  uint32_t index_of(const CausalNode& n) const { return static_cast<uint32_t>(&n - nodes_.data()); }

  // v's node, made empty when it has none.
  CausalNode& find_or_make(VertexId v);
  // Frees n when it holds neither links nor sets.
  void release_if_empty(CausalNode& n);
  // Sets every node's stamp to 0.
  void clear_stamps() {
    for (CausalNode& n : nodes_) n.stamp = 0;
  }

 private:
  absl::flat_hash_map<VertexId, uint32_t> index_;
  std::vector<CausalNode> nodes_;
  std::vector<uint32_t> free_;
};

inline CausalNode& CausalNodes::find_or_make(VertexId v) {
  const auto [it, inserted] = index_.try_emplace(v, 0);
  if (!inserted) return nodes_[it->second];
  if (free_.empty()) {
    it->second = static_cast<uint32_t>(nodes_.size());
    nodes_.emplace_back();
  } else {
    it->second = free_.back();
    free_.pop_back();
  }
  CausalNode& n = nodes_[it->second];
  n.id = v;
  return n;
}

inline void CausalNodes::release_if_empty(CausalNode& n) {
  if (!n.empty()) return;
  const auto it = index_.find(n.id);
  free_.push_back(it->second);
  index_.erase(it);
  n.links = CausalLinks{};
  n.future = FixedBitSet{};
  n.past = FixedBitSet{};
}

}  // namespace vorn
