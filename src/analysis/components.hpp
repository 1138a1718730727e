// Connected components of the 2-section. Every live vertex and every slot a
// hyperedge names belongs to exactly one component (an isolated vertex is a
// component of its own); components are numbered 0, 1, ... in the order of
// their smallest slot. Memory: eight bytes per slot of the store.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "analysis/stop.hpp"
#include "analysis/two_section.hpp"

namespace vorn::analysis {

// `out` receives (slot, component) pairs in ascending slot order; it is left
// empty when cancelled.
Outcome components(const TwoSection& g, std::vector<std::pair<Slot, uint32_t>>& out,
                   const StopHook& stop = {});

}  // namespace vorn::analysis
