// Ball volumes V(r) on the 2-section from many centres at once: a
// level-synchronous breadth-first search carrying one bit per centre (a
// batch of 32 or 64 centres per machine word), so each pass over the store
// serves a whole batch. V(r) counts the slots within distance r.
// Memory: an adjacency copy that fits its budget (ball_volumes.cpp) and two
// masks per slot (as wide as the budget allows), plus the current frontier
// while a level is small.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/distances.hpp"
#include "analysis/stop.hpp"
#include "analysis/two_section.hpp"

namespace vorn::analysis {

// The adjacency a search walks: the fastest that fits in its memory budget
// (automatic: the plain copy, else the coded one, else the store itself), or
// one of them regardless of size. Results are the same.
enum class Layout { automatic, plain, coded, store };

// rows[i] receives V(0), V(1), ... for centres[i], up to the centre's
// eccentricity in its component or `max_radius`, whichever is smaller (so
// its last entry is the component's size when the radius allows). Centres
// may repeat. `rows` is left empty when cancelled.
//
// With a bound of fraction f > 0, `sizes` receives each centre's component
// size, and the search also stops at the first radius r where the centres'
// V(r) add up to more than f (times a hair over 1) of their components'
// sizes: the rows then end at r (those of centres whose component ended
// before keep its size as their last entry). A search in several batches
// runs each no further than it must to be sure of that radius. The sizes
// come from the adjacency copy, or from a components pass when the search
// walks the store (which then goes all the way).
struct Bound {
  double fraction = 0;
  std::vector<uint64_t> sizes;
};

Outcome ball_volumes(const TwoSection& g, std::span<const Slot> centres, uint32_t max_radius,
                     std::vector<std::vector<uint64_t>>& rows, const StopHook& stop = {},
                     Layout layout = Layout::automatic, Bound* bound = nullptr);

}  // namespace vorn::analysis
