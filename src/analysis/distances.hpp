// Breadth-first distances on the 2-section from one slot, out to an
// optional radius: every slot reached, in breadth-first order, with its
// distance. Memory: four bytes per slot of the store for the marks.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "analysis/stop.hpp"
#include "analysis/two_section.hpp"

namespace vorn::analysis {

inline constexpr uint32_t kNoRadius = UINT32_MAX;

// `out` receives (slot, distance) pairs, the source first; it is left empty
// when cancelled.
Outcome distances(const TwoSection& g, Slot source, uint32_t max_radius,
                  std::vector<std::pair<Slot, uint32_t>>& out, const StopHook& stop = {});

}  // namespace vorn::analysis
