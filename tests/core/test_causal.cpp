// Causal relation: depths, direct links, propagation within the horizon.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "hypergraph/hypergraph.hpp"

using namespace vorn;
using Ids = absl::flat_hash_set<VertexId>;

TEST(Causal, ChainOfThree) {
  Hypergraph g;
  const VertexId w0 = g.add_vertex(), w1 = g.add_vertex(), w2 = g.add_vertex();
  g.add_causal_relation(w0, w1);
  g.add_causal_relation(w1, w2);
  EXPECT_EQ(g.causal.links(w0)->depth, 1u);
  EXPECT_EQ(g.causal.links(w1)->depth, 2u);
  EXPECT_EQ(g.causal.links(w2)->depth, 3u);
  EXPECT_EQ(g.causal_future(w0), (Ids{w0, w1, w2}));
  EXPECT_EQ(g.causal_future(w1), (Ids{w1, w2}));
  EXPECT_EQ(g.causal_future(w2), (Ids{w2}));
  EXPECT_EQ(g.causal_past(w0), (Ids{w0}));
  EXPECT_EQ(g.causal_past(w1), (Ids{w0, w1}));
  EXPECT_EQ(g.causal_past(w2), (Ids{w0, w1, w2}));
  EXPECT_EQ(g.causal.links(w1)->causes, (std::vector<VertexId>{w0}));
  EXPECT_EQ(g.causal.links(w1)->effects, (std::vector<VertexId>{w2}));
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
  const CausalLinks before_a = *g.causal.links(a);
  const uint64_t depth_b = g.causal.links(b)->depth;
  g.add_causal_relation(a, b);
  EXPECT_EQ(g.causal.links(b)->depth, depth_b);  // no re-raise
  EXPECT_EQ(g.causal.links(a)->effects, before_a.effects);
  EXPECT_EQ(g.causal.links(b)->causes, (std::vector<VertexId>{a}));
  g.add_causal_relation(a, a);
  EXPECT_EQ(g.causal.links(a)->causes, (std::vector<VertexId>{c}));
  EXPECT_EQ(g.causal.links(a)->depth, 2u);
}

TEST(Causal, IdsWithoutRecords) {
  Hypergraph g;
  const VertexId gone = g.add_vertex(), b = g.add_vertex();
  g.remove_vertex(gone);
  g.add_causal_relation(gone, b);
  EXPECT_EQ(g.causal.links(b)->depth, 2u);
  EXPECT_EQ(g.causal.links(b)->causes, (std::vector<VertexId>{gone}));
  EXPECT_EQ(g.causal_past(b), (Ids{b}));  // nothing to pass on

  const VertexId a = g.add_vertex(), gone2 = g.add_vertex();
  g.remove_vertex(gone2);
  g.add_causal_relation(a, gone2);
  EXPECT_EQ(g.causal.links(a)->effects, (std::vector<VertexId>{gone2}));
  EXPECT_EQ(g.causal_future(a), (Ids{a}));  // gone2 has no future set to give
}

TEST(Causal, DeeperEffectKeepsItsDepth) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex(),
                 d = g.add_vertex();
  g.add_causal_relation(a, b);
  g.add_causal_relation(b, c);  // c at depth 3
  g.add_causal_relation(d, c);  // d at depth 1: c stays at 3
  EXPECT_EQ(g.causal.links(c)->depth, 3u);
  EXPECT_EQ(g.causal.links(c)->causes, (std::vector<VertexId>{b, d}));
  EXPECT_EQ(g.causal_past(c), (Ids{a, b, c, d}));
}

TEST(Causal, SetsGrowToAPowerOfTwoForLongerSources) {
  Hypergraph g;
  g.bitset_capacity = 4;
  const VertexId a = g.add_vertex();
  g.bitset_capacity = 1024;
  const VertexId b = g.add_vertex();
  g.add_causal_relation(a, b);
  EXPECT_GE(g.causal.future(a)->length(), g.causal.future(b)->length());
  EXPECT_TRUE(g.causal.future(a)->contains(b));
}

// Propagation is deferred until the causal state is read. Two stores receive
// the same relations, drops and setting changes; one is read after every
// operation, the other only at the end: their causal states must agree.
TEST(Causal, DeferredPropagationEqualsImmediate) {
  std::mt19937_64 gen(77);
  for (int round = 0; round < 20; ++round) {
    Hypergraph eager, lazy;
    std::vector<VertexId> ve, vl;
    const auto add = [&] {
      ve.push_back(eager.add_vertex());
      vl.push_back(lazy.add_vertex());
    };
    for (int i = 0; i < 4; ++i) add();
    std::vector<bool> dropped(4, false);
    for (int op = 0; op < 120; ++op) {
      const uint64_t kind = gen() % 10;
      if (kind < 6) {
        const std::size_t i = gen() % ve.size(), j = gen() % ve.size();
        eager.add_causal_relation(ve[i], ve[j]);
        lazy.add_causal_relation(vl[i], vl[j]);
      } else if (kind < 8) {
        add();
        dropped.push_back(false);
      } else if (kind < 9) {
        const std::size_t i = gen() % ve.size();
        if (!dropped[i]) {  // as an undo drops a vertex it created
          eager.causal.drop_vertex(ve[i]);
          lazy.causal.drop_vertex(vl[i]);
          dropped[i] = true;
        }
      } else {
        const uint64_t horizon = gen() % 4;
        eager.causal_horizon = lazy.causal_horizon = horizon;
      }
      eager.causal.sync();
    }
    EXPECT_GT(lazy.causal.pending(), 0u);
    absl::flat_hash_map<VertexId, VertexId> to_lazy;
    for (std::size_t i = 0; i < ve.size(); ++i) to_lazy[ve[i]] = vl[i];
    const auto map_ids = [&](std::vector<VertexId> ids) {
      for (auto& id : ids) id = to_lazy.at(id);
      return ids;
    };
    for (std::size_t i = 0; i < ve.size(); ++i) {
      const CausalLinks* le = eager.causal.links(ve[i]);
      const CausalLinks* ll = lazy.causal.links(vl[i]);
      ASSERT_EQ(le == nullptr, ll == nullptr);
      if (le == nullptr) continue;
      EXPECT_EQ(le->depth, ll->depth);
      EXPECT_EQ(map_ids(le->causes), ll->causes);
      EXPECT_EQ(map_ids(le->effects), ll->effects);
      EXPECT_EQ(map_ids(eager.causal.past(ve[i])->ones()), lazy.causal.past(vl[i])->ones());
      EXPECT_EQ(map_ids(eager.causal.future(ve[i])->ones()), lazy.causal.future(vl[i])->ones());
    }
  }
}

// Lists share storage with their copies: a copy taken before appends keeps
// seeing its own prefix, and appending to a copy that is behind the shared
// end does not disturb the other views.
TEST(CausalList, CopiesKeepTheirPrefix) {
  CausalList live{5, 9};
  const CausalList snapshot = live;
  live.append_unique(12);
  live.append_unique(9);  // already there
  live.append_unique(3);  // below the maximum: found absent by a scan
  EXPECT_EQ(live, (std::vector<VertexId>{5, 9, 12, 3}));
  EXPECT_EQ(snapshot, (std::vector<VertexId>{5, 9}));
  CausalList restored = snapshot;  // an undo puts the snapshot back
  restored.append_unique(7);
  EXPECT_EQ(restored, (std::vector<VertexId>{5, 9, 7}));
  EXPECT_EQ(live, (std::vector<VertexId>{5, 9, 12, 3}));
  EXPECT_EQ(snapshot, (std::vector<VertexId>{5, 9}));
  EXPECT_TRUE(restored.contains(7) && !restored.contains(12));
}
