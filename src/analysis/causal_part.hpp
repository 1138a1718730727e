// The part of the recorded causal relation that a picture draws: the `count`
// vertices nearest the newest one (the last in order of first appearance),
// found breadth-first through the recorded pairs in both directions. Each
// vertex reached adds first its effects, then its causes, each in order of
// appearance; when the newest vertex's part of the relation is smaller, the
// newest of the other vertices fill up. Memory: about 24 bytes per pair and
// 17 per vertex besides the relation, whose pairs it takes over and releases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "analysis/stop.hpp"
#include "hypergraph/causal_recorded.hpp"

namespace vorn::analysis {

struct CausalPart {
  // Indices into the relation's `depths` (its vertices in order of
  // appearance), ascending.
  std::vector<uint32_t> shown;
  // The recorded pairs whose vertices are both shown, in recorded order, as
  // indices into `shown`.
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
};

// `out` is left empty when cancelled. A pair naming a vertex that `depths`
// does not list is left out. std::length_error beyond 2^32 - 1 vertices.
Outcome causal_part(const std::vector<std::pair<VertexId, uint64_t>>& depths,
                    std::vector<std::pair<VertexId, VertexId>> pairs, std::size_t count, CausalPart& out,
                    const StopHook& stop = {});

}  // namespace vorn::analysis
