// Causal relation: depths, direct links, propagation within the horizon.
#include <gtest/gtest.h>

#include <vector>

#include "hypergraph/hypergraph.hpp"

using namespace vorn;
using Ids = absl::flat_hash_set<VertexId>;

TEST(Causal, ChainOfThree) {
  Hypergraph g;
  const VertexId w0 = g.add_vertex(), w1 = g.add_vertex(), w2 = g.add_vertex();
  g.add_causal_relation(w0, w1);
  g.add_causal_relation(w1, w2);
  EXPECT_EQ(g.vertices.at(w0).causal_depth, 1u);
  EXPECT_EQ(g.vertices.at(w1).causal_depth, 2u);
  EXPECT_EQ(g.vertices.at(w2).causal_depth, 3u);
  EXPECT_EQ(g.causal_future(w0), (Ids{w0, w1, w2}));
  EXPECT_EQ(g.causal_future(w1), (Ids{w1, w2}));
  EXPECT_EQ(g.causal_future(w2), (Ids{w2}));
  EXPECT_EQ(g.causal_past(w0), (Ids{w0}));
  EXPECT_EQ(g.causal_past(w1), (Ids{w0, w1}));
  EXPECT_EQ(g.causal_past(w2), (Ids{w0, w1, w2}));
  EXPECT_EQ(g.vertices.at(w1).causes, (std::vector<VertexId>{w0}));
  EXPECT_EQ(g.vertices.at(w1).effects, (std::vector<VertexId>{w2}));
}

TEST(Causal, HorizonLimitsTheBackwardPassByDepth) {
  for (const uint64_t horizon : {uint64_t{1}, uint64_t{0}}) {
    Hypergraph g;
    g.causal_horizon = horizon;
    const VertexId w0 = g.add_vertex(), w1 = g.add_vertex(), w2 = g.add_vertex(),
                   w3 = g.add_vertex();
    g.add_causal_relation(w0, w1);
    g.add_causal_relation(w1, w2);
    g.add_causal_relation(w2, w3);
    // w0 (depth 1) lies 2 below w2 (depth 3): outside horizon 1.
    EXPECT_EQ(g.causal_future(w0).contains(w3), horizon == 0) << "horizon " << horizon;
    EXPECT_TRUE(g.causal_future(w1).contains(w3));
    // The copy of w2's past carries w0 to w3 either way.
    EXPECT_EQ(g.causal_past(w3), (Ids{w0, w1, w2, w3}));
  }
}

TEST(Causal, KnownRelationsChangeNothing) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex();
  g.add_causal_relation(a, b);
  g.add_causal_relation(c, a);  // raises a's depth; (a, b) stays recorded
  const Vertex before_a = g.vertices.at(a);
  const uint64_t depth_b = g.vertices.at(b).causal_depth;
  g.add_causal_relation(a, b);
  EXPECT_EQ(g.vertices.at(b).causal_depth, depth_b);  // no re-raise
  EXPECT_EQ(g.vertices.at(a).effects, before_a.effects);
  EXPECT_EQ(g.vertices.at(b).causes, (std::vector<VertexId>{a}));
  g.add_causal_relation(a, a);
  EXPECT_EQ(g.vertices.at(a).causes, (std::vector<VertexId>{c}));
  EXPECT_EQ(g.vertices.at(a).causal_depth, 2u);
}

TEST(Causal, IdsWithoutRecords) {
  Hypergraph g;
  const VertexId gone = g.add_vertex(), b = g.add_vertex();
  g.remove_vertex(gone);
  g.add_causal_relation(gone, b);
  EXPECT_EQ(g.vertices.at(b).causal_depth, 2u);
  EXPECT_EQ(g.vertices.at(b).causes, (std::vector<VertexId>{gone}));
  EXPECT_EQ(g.causal_past(b), (Ids{b}));  // nothing to pass on

  const VertexId a = g.add_vertex(), gone2 = g.add_vertex();
  g.remove_vertex(gone2);
  g.add_causal_relation(a, gone2);
  EXPECT_EQ(g.vertices.at(a).effects, (std::vector<VertexId>{gone2}));
  EXPECT_EQ(g.causal_future(a), (Ids{a}));  // gone2 has no future set to give
}

TEST(Causal, DeeperEffectKeepsItsDepth) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex(),
                 d = g.add_vertex();
  g.add_causal_relation(a, b);
  g.add_causal_relation(b, c);  // c at depth 3
  g.add_causal_relation(d, c);  // d at depth 1: c stays at 3
  EXPECT_EQ(g.vertices.at(c).causal_depth, 3u);
  EXPECT_EQ(g.vertices.at(c).causes, (std::vector<VertexId>{b, d}));
  EXPECT_EQ(g.causal_past(c), (Ids{a, b, c, d}));
}

TEST(Causal, SetsGrowToAPowerOfTwoForLongerSources) {
  Hypergraph g;
  g.bitset_capacity = 4;
  const VertexId a = g.add_vertex();
  g.bitset_capacity = 1024;
  const VertexId b = g.add_vertex();
  g.add_causal_relation(a, b);
  EXPECT_GE(g.causal_future_sets.at(a).length(), g.causal_future_sets.at(b).length());
  EXPECT_TRUE(g.causal_future_sets.at(a).contains(b));
}
