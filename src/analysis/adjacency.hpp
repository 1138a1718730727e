// A compact copy of the 2-section's adjacency, by slot, for algorithms that
// walk the graph many times (ball volumes from many centres): each slot's
// distinct neighbours in one array (compressed sparse rows), without the
// store's records in between. A hyperedge with more than kCliqueLimit
// distinct members is not expanded into a clique: its members' rows hold one
// entry kHub | e instead, and a walk reads e's members from the store.
// Rows are numbered in breadth-first order (index(slot)), so that a walk's
// neighbours lie near each other in memory.
// Invariants: rows hold no duplicates and never the row itself; the copy is
// valid while the store is not changed. Memory: eight bytes per slot plus
// four per neighbour entry (twice that while building); bytes() tells before
// building.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/component_ranges.hpp"
#include "analysis/stop.hpp"
#include "analysis/two_section.hpp"

namespace vorn::analysis {

class Adjacency {
 public:
  static constexpr uint32_t kHub = uint32_t{1} << 31;
  static constexpr std::size_t kCliqueLimit = 8;

  // The bytes the copy would take: one pass over the hyperedges.
  static std::size_t bytes(const TwoSection& g);
  // Builds the copy; nullopt when cancelled.
  static std::optional<Adjacency> build(const TwoSection& g, Poll& poll);

  // Row i's entries: row indices, or kHub | hyperedge slot.
  std::span<const uint32_t> row(uint32_t i) const {
    return {adj_.data() + offsets_[i], adj_.data() + offsets_[i + 1]};
  }
  // The row of a slot.
  uint32_t index(Slot s) const { return index_[s]; }
  uint32_t capacity() const { return static_cast<uint32_t>(offsets_.size() - 1); }
  // The number of rows (slots) in row i's connected component.
  uint32_t component_size(uint32_t i) const { return components_.size_of(i); }

 private:
  // Puts the rows in breadth-first order (each component from its smallest
  // slot) and sets index_.
  void renumber(const TwoSection& g);

  std::vector<uint32_t> offsets_;
  std::vector<uint32_t> adj_;
  std::vector<uint32_t> index_;
  ComponentRanges components_;
};

}  // namespace vorn::analysis
