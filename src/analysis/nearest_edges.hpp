// The hyperedges nearest a slot: breadth-first from it over the 2-section,
// each slot's hyperedges taken in ascending hyperedge slot (the store's
// iteration order), each hyperedge once, until `limit` are taken. Memory:
// proportional to the part visited, not to the store.
#pragma once

#include <cstddef>
#include <vector>

#include "analysis/stop.hpp"
#include "analysis/two_section.hpp"

namespace vorn::analysis {

// `out` receives the hyperedges' slots in the order taken; it is left empty
// when cancelled.
Outcome nearest_edges(const TwoSection& g, Slot centre, std::size_t limit, std::vector<EdgeSlot>& out,
                      const StopHook& stop = {});

}  // namespace vorn::analysis
