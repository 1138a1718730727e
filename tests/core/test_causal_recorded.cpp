// The recorded relation read straight from a log: pairs once each in the
// order first recorded, depths, and nothing of an undone application.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "hypergraph/causal_recorded.hpp"
#include "hypergraph/causal_writer.hpp"

using namespace vorn;

namespace {

constexpr uint64_t kCapacity = 64;
using Pairs = std::vector<std::pair<VertexId, VertexId>>;
using Depths = std::vector<std::pair<VertexId, uint64_t>>;

}  // namespace

TEST(CausalRecorded, PairsOnceEachInOrderWithDepths) {
  CausalWriter w;
  for (VertexId v = 1; v <= 4; ++v) w.add_vertex(v, kCapacity);
  w.add_relation(2, 3, 0, kCapacity, false);
  w.add_relation(1, 2, 0, kCapacity, false);
  w.add_relation(2, 3, 0, kCapacity, false);  // again: listed once
  w.add_relation(1, 3, 0, kCapacity, false);  // implied already, but recorded
  const RecordedRelation r = read_recorded_relation(w.log());
  EXPECT_EQ(r.pairs, (Pairs{{2, 3}, {1, 2}, {1, 3}}));
  // Depths are raised when a pair is first recorded, not propagated later:
  // 3 got depth 2 from 2 while 2 was still at depth 1.
  EXPECT_EQ(r.depths, (Depths{{1, 1}, {2, 2}, {3, 2}, {4, 1}}));
}

TEST(CausalRecorded, AnUndoneApplicationLeavesNothing) {
  CausalWriter w;
  w.add_vertex(1, kCapacity);
  w.begin_step();
  w.add_vertex(2, kCapacity);
  w.add_relation(1, 2, 0, kCapacity, true);
  w.end_step();
  w.undo_step(w.step_token());
  w.begin_step();
  w.add_vertex(3, kCapacity);
  w.add_relation(1, 3, 0, kCapacity, true);
  w.end_step();
  const RecordedRelation r = read_recorded_relation(w.log());
  EXPECT_EQ(r.pairs, (Pairs{{1, 3}}));
  EXPECT_EQ(r.depths, (Depths{{1, 1}, {3, 2}}));
}
