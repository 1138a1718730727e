// CausalReplay on its own, fed by a CausalWriter's log: propagation, replay
// in several syncs, the undo of the latest application through its
// snapshot; and the node table and snapshot it is built on.
#include <gtest/gtest.h>

#include <vector>

#include "hypergraph/causal_nodes.hpp"
#include "hypergraph/causal_replay.hpp"
#include "hypergraph/causal_step_snapshot.hpp"
#include "hypergraph/causal_writer.hpp"

using namespace vorn;

namespace {

constexpr uint64_t kCapacity = 64;

std::vector<uint64_t> members(const FixedBitSet* set) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; set != nullptr && i < 8; ++i) {
    if (set->contains(i)) out.push_back(i);
  }
  return out;
}

}  // namespace

TEST(CausalReplay, ReplaysAChainInSeveralSyncsAsInOne) {
  CausalWriter w;
  for (VertexId v = 1; v <= 3; ++v) w.add_vertex(v, kCapacity);
  CausalReplay early;
  early.sync(w.log());  // the vertices only
  EXPECT_EQ(members(early.future(1)), (std::vector<uint64_t>{1}));
  w.add_relation(1, 2, 0, kCapacity, true);
  w.add_relation(2, 3, 0, kCapacity, true);
  early.sync(w.log());
  CausalReplay whole;
  whole.sync(w.log());
  EXPECT_EQ(early.replayed_bytes(), w.log().bytes());
  for (CausalReplay* r : {&early, &whole}) {
    EXPECT_EQ(members(r->future(1)), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(members(r->past(3)), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(r->links(3)->depth, 3u);
    EXPECT_EQ(r->links(2)->causes, (std::vector<uint64_t>{1}));
  }
}

TEST(CausalReplay, AnUndoneApplicationLeavesTheStateAsBefore) {
  CausalWriter w;
  for (VertexId v = 1; v <= 2; ++v) w.add_vertex(v, kCapacity);
  w.add_relation(1, 2, 0, kCapacity, true);
  // As a rule application writes: removals first, then new vertices and
  // the relations along the new hyperedges.
  w.begin_step();
  w.remove_vertex(1);
  w.add_vertex(3, kCapacity);
  w.add_relation(2, 3, 0, kCapacity, true);
  w.end_step();
  CausalReplay during;
  during.sync(w.log());
  EXPECT_EQ(during.links(1), nullptr);
  EXPECT_EQ(members(during.past(3)), (std::vector<uint64_t>{2, 3}));

  w.undo_step(w.step_token());
  during.sync(w.log());  // the snapshot taken while replaying the step puts it back
  CausalReplay after;
  after.sync(w.log());
  for (CausalReplay* r : {&during, &after}) {
    EXPECT_EQ(r->future(3), nullptr);
    EXPECT_EQ(r->links(3), nullptr);
    EXPECT_EQ(members(r->future(1)), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(members(r->future(2)), (std::vector<uint64_t>{2}));
    EXPECT_EQ(members(r->past(2)), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(r->links(2)->effects, (std::vector<uint64_t>{}));
    EXPECT_EQ(r->links(1)->effects, (std::vector<uint64_t>{2}));
  }
}

TEST(CausalNodes, AReleasedNodeIsForgottenAndItsPlaceReused) {
  CausalNodes nodes;
  CausalNode& a = nodes.find_or_make(10);
  a.has_links = true;
  const uint32_t a_index = nodes.index_of(a);
  CausalNode& b = nodes.find_or_make(11);
  b.has_past = true;
  EXPECT_EQ(&nodes.find_or_make(10), &nodes.at(a_index));  // found, not made again
  nodes.release_if_empty(nodes.at(a_index));               // it holds links: kept
  EXPECT_EQ(nodes.index(10), a_index);
  nodes.at(a_index).has_links = false;
  nodes.release_if_empty(nodes.at(a_index));
  EXPECT_EQ(nodes.index(10), CausalNodes::kAbsent);
  EXPECT_EQ(nodes.find(10), nullptr);
  CausalNode& c = nodes.find_or_make(12);
  EXPECT_EQ(nodes.index_of(c), a_index);
  EXPECT_EQ(c.id, 12u);
  EXPECT_FALSE(c.has_links);
  EXPECT_EQ(c.depth(), 1u);
  EXPECT_EQ(nodes.find(11)->id, 11u);
}

TEST(CausalNodes, SetLengthsArePowersOfTwoThatSaturate) {
  EXPECT_EQ(causal_set_length(0, 1), 1u);
  EXPECT_EQ(causal_set_length(3, 2), 4u);
  EXPECT_EQ(causal_set_length(64, 5), 64u);
  EXPECT_EQ(causal_set_length(65, 0), 128u);
  EXPECT_EQ(causal_set_length((uint64_t{1} << 63) + 1, 0), ~uint64_t{0});
}

TEST(CausalStepSnapshot, KeepsTheFirstCopyOfEachVertexAndResetEmptiesIt) {
  CausalStepSnapshot snapshot;
  snapshot.reset(true);
  CausalNode n;
  n.id = 5;
  n.has_links = true;
  n.links.depth = 2;
  n.links.causes = CausalList{4};
  snapshot.save(n);
  n.links.causes = CausalList{4, 3};  // a later change within the application
  snapshot.save(n);
  ASSERT_EQ(snapshot.causes.count(5), 1u);
  EXPECT_EQ(snapshot.causes.at(5), (std::vector<uint64_t>{4}));
  EXPECT_EQ(snapshot.future.count(5), 0u);  // it had no future set to keep
  snapshot.created.push_back(6);
  snapshot.reset(false);
  EXPECT_FALSE(snapshot.active);
  EXPECT_FALSE(snapshot.recording);
  EXPECT_TRUE(snapshot.created.empty());
  EXPECT_TRUE(snapshot.causes.empty());
}
