// The connected components of an adjacency copy whose rows are numbered one
// component after another (breadth-first from each component's smallest
// slot), so that each component is a run of consecutive rows. Only runs of
// two rows or more are kept: a store of many free or isolated slots costs
// nothing here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vorn::analysis {

class ComponentRanges {
 public:
  // The component numbered from row `start` ended before row `end`; called
  // in ascending order.
  void close(uint32_t start, uint32_t end) {
    if (end - start >= 2) runs_.push_back({start, end});
  }
  // The number of rows in row's component.
  uint32_t size_of(uint32_t row) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), row,
                               [](uint32_t r, const Run& x) { return r < x.start; });
    if (it == runs_.begin()) return 1;
    --it;
    return row < it->end ? it->end - it->start : 1;
  }
  std::size_t bytes() const { return runs_.capacity() * sizeof(Run); }

 private:
  struct Run {
    uint32_t start, end;
  };
  std::vector<Run> runs_;
};

}  // namespace vorn::analysis
