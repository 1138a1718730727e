// The causal relation as the rules recorded it, read from a CausalLog in one
// pass without propagating: every cause-effect pair recorded, once each in
// the order first recorded, without the pairs and vertices of undone
// applications; and for every vertex created (or named by a pair) its depth
// along these pairs: 1 at creation, raised to one more than the cause's depth
// when a pair is first recorded.
//
// The propagated lists (CausalReplay::links) hold a subset of these pairs: a
// pair that was already implied through others when it was recorded changes
// neither lists nor depths there.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "hypergraph/causal_log.hpp"
#include "hypergraph/ids.hpp"

namespace vorn {

struct RecordedRelation {
  std::vector<std::pair<VertexId, VertexId>> pairs;
  std::vector<std::pair<VertexId, uint64_t>> depths;  // in order of first appearance
};

RecordedRelation read_recorded_relation(const CausalLog& log);

// The same, asking keep_going() every few thousand entries; nullopt once it
// returns false.
std::optional<RecordedRelation> read_recorded_relation(const CausalLog& log,
                                                       const std::function<bool()>& keep_going);

}  // namespace vorn
