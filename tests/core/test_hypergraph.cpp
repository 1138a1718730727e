// The store: ids, incidence, the pair count, swap-removal, neighbours and
// the lengths of new causal sets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hypergraph/hypergraph.hpp"
#include "rewrite_engine/rewrite_engine.hpp"
#include "support/access.hpp"

using namespace vorn;

namespace {

// The live list, positions, causal sets and incidence of stored hyperedges
// agree (the full checker of the test support).
void expect_consistent(const Hypergraph& g) {
  const std::vector<std::string> problems = check_consistency(g);
  ASSERT_TRUE(problems.empty()) << problems.front();
}

std::vector<VertexId> live_list(const Hypergraph& g) {
  std::vector<VertexId> out;
  for (const Slot s : g.vertex_list()) out.push_back(g.id_of(s));
  return out;
}

}  // namespace

TEST(Hypergraph, IdsComeFromProcessWideCountersAndContinueAcrossStores) {
  Hypergraph g1;
  const VertexId a = g1.add_vertex();
  const EdgeId e = g1.add_hyperedge({a});
  Hypergraph g2;
  EXPECT_EQ(g2.add_vertex(), a + 1);
  EXPECT_EQ(g2.add_hyperedge({}), e + 1);
  g1 = Hypergraph{};  // a new store: ids go on
  EXPECT_EQ(g1.add_vertex(), a + 2);
}

TEST(Hypergraph, EmptyHyperedgeTakesAnIdAndChangesNothingElse) {
  Hypergraph g;
  const EdgeId e = g.add_hyperedge({});
  EXPECT_TRUE(g.hyperedge(e).has_value());
  EXPECT_EQ(g.edge_count(), 1u);
  EXPECT_EQ(g.structural_pair_count(), 0u);
}

TEST(Hypergraph, PairCountCoveredPairs) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex();
  // [a,b] then [b,a]: the second pair is covered by the first hyperedge.
  const EdgeId ab = g.add_hyperedge({a, b});
  EXPECT_EQ(g.structural_pair_count(), 1u);
  const EdgeId ba = g.add_hyperedge({b, a});
  EXPECT_EQ(g.structural_pair_count(), 1u);
  g.remove_hyperedge(ab);
  EXPECT_EQ(g.structural_pair_count(), 1u);
  g.remove_hyperedge(ba);
  EXPECT_EQ(g.structural_pair_count(), 0u);
  expect_consistent(g);

  // [a,a]: the entry holds the id twice and the count rises by one.
  const EdgeId aa = g.add_hyperedge({a, a});
  EXPECT_EQ(g.structural_pair_count(), 1u);
  EXPECT_EQ(g.edges_containing(a), (std::vector<EdgeId>{aa, aa}));
  g.remove_hyperedge(aa);
  EXPECT_EQ(g.structural_pair_count(), 0u);

  // [a,b,c] then [a,c]: 3; removing the first subtracts (a,b) and (b,c).
  const EdgeId abc = g.add_hyperedge({a, b, c});
  g.add_hyperedge({a, c});
  EXPECT_EQ(g.structural_pair_count(), 3u);
  g.remove_hyperedge(abc);
  EXPECT_EQ(g.structural_pair_count(), 1u);
  expect_consistent(g);
}

TEST(Hypergraph, PairCountSaturatesAtZero) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex();
  const EdgeId ab = g.add_hyperedge({a, b});
  const EdgeId abab = g.add_hyperedge({a, b, a, b});  // every pair already covered
  ASSERT_EQ(g.structural_pair_count(), 1u);
  g.remove_hyperedge(ab);  // (a, b) still covered by the other
  ASSERT_EQ(g.structural_pair_count(), 1u);
  g.remove_hyperedge(abab);  // six uncovered pairs against a count of 1
  EXPECT_EQ(g.structural_pair_count(), 0u);
}

// A vertex removed while a hyperedge names it loses its incidence list; a
// new hyperedge over the same pair is still covered by the old one, which
// lies on the other vertex's list.
TEST(Hypergraph, PairCoveredThroughTheVertexThatKeptItsList) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex();
  g.add_hyperedge({a, b});
  g.remove_vertex(b);
  g.add_hyperedge({a, b});
  EXPECT_EQ(g.structural_pair_count(), 1u);
  // With b's list incomplete the count no longer follows from the hyperedges.
  EXPECT_FALSE(g.pair_count_exact());
}

// While no hyperedge repeats a vertex the count is the number of distinct
// pairs sharing a hyperedge, and the check holds it to that through every
// addition and removal; a repeating hyperedge ends that.
TEST(Hypergraph, ExactPairCountFollowsTheHyperedges) {
  Hypergraph g;
  std::vector<VertexId> v;
  for (int i = 0; i < 6; ++i) v.push_back(g.add_vertex());
  std::vector<EdgeId> edges;
  for (int i = 0; i < 6; ++i) {
    edges.push_back(g.add_hyperedge({v[i], v[(i + 1) % 6], v[(i + 3) % 6]}));
    edges.push_back(g.add_hyperedge({v[(i + 1) % 6], v[i]}));
  }
  for (std::size_t i = 0; i < edges.size(); i += 3) {
    ASSERT_TRUE(g.pair_count_exact());
    EXPECT_EQ(g.structural_pair_count(), g.recount_pairs());
    expect_consistent(g);
    g.remove_hyperedge(edges[i]);
  }
  EXPECT_EQ(g.structural_pair_count(), g.recount_pairs());
  g.add_hyperedge({v[0], v[1], v[0]});
  EXPECT_FALSE(g.pair_count_exact());
  expect_consistent(g);
}

// Removals leave tombstones in the id index until it compacts them away,
// moving entries; every live vertex must still be found afterwards.
TEST(Hypergraph, VerticesAreFoundAfterTheIdIndexCompacts) {
  RewriteEngine engine(Hypergraph{}, 17);
  NamePatterns start;
  for (int i = 0; i < 1000; ++i) start.push_back({"a" + std::to_string(i), "b" + std::to_string(i)});
  ASSERT_FALSE(engine.add_rule({}, {}, start, 1.0));
  ASSERT_TRUE(engine.step());
  engine.clear_rules();
  engine.set_semantics(Semantics::spo);
  ASSERT_FALSE(engine.add_rule({{"x", "y"}}, {}, {{"y", "z"}}, 1.0));
  engine.run(10000);
  ASSERT_GT(engine.successful_rewrites(), 5000u);  // thousands of removals
  const Hypergraph& g = engine.graph();
  expect_consistent(g);
  std::vector<VertexId> live = live_list(g);
  ASSERT_EQ(live.size(), 2000u);
  for (const VertexId v : live) {
    ASSERT_TRUE(g.has_vertex(v)) << v;
    EXPECT_EQ(g.id_of(*g.slot_of(v)), v);
    ASSERT_TRUE(engine.set_observable(v, "seen", 1.0)) << v;
  }
  // And removing them all goes through the index's positions too.
  engine.clear_rules();
  ASSERT_FALSE(engine.add_rule({{"x", "y"}}, {}, {}, 1.0));
  engine.run(20000);
  expect_consistent(engine.graph());
}

TEST(Hypergraph, RemoveUnknownIdsChangesNothing) {
  Hypergraph g;
  const VertexId a = g.add_vertex();
  const EdgeId e = g.add_hyperedge({a, a});
  EXPECT_FALSE(g.remove_hyperedge(e + 1000).has_value());
  EXPECT_FALSE(g.remove_vertex(a + 1000).has_value());
  EXPECT_EQ(g.edge_count(), 1u);
  EXPECT_EQ(g.vertex_count(), 1u);
  // Removing the last hyperedge of a vertex leaves an empty, existing entry.
  ASSERT_TRUE(g.remove_hyperedge(e).has_value());
  EXPECT_TRUE(g.edges_containing(a).empty());
  EXPECT_TRUE(g.has_incidence_list(a));
}

TEST(Hypergraph, SwapRemovalKeepsPositions) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex();
  ASSERT_TRUE(g.remove_vertex(c).has_value());  // the last: only shortens
  EXPECT_EQ(live_list(g), (std::vector<VertexId>{a, b}));
  const VertexId d = g.add_vertex();
  ASSERT_TRUE(g.remove_vertex(a).has_value());  // the first: d moves to 0
  EXPECT_EQ(live_list(g), (std::vector<VertexId>{d, b}));
  EXPECT_FALSE(g.has_vertex(a));
  expect_consistent(g);
}

TEST(Hypergraph, RemoveVertexDropsItsEntriesAndItsBitsElsewhere) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex();
  g.add_hyperedge({a, b});
  g.add_causal_relation(a, b);
  g.set_observable(b, "mass", 2.0);
  ASSERT_TRUE(g.causal().future(a)->contains(b));
  auto removed = g.remove_vertex(b);
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->id, b);
  EXPECT_EQ(removed->observables.at("mass"), 2.0);
  EXPECT_FALSE(g.causal().future(a)->contains(b));
  EXPECT_FALSE(g.has_incidence_list(b));
  EXPECT_EQ(g.causal().past(b), nullptr);
  EXPECT_EQ(g.causal().links(b), nullptr);
  EXPECT_EQ(g.edge_count(), 1u);  // hyperedges are the caller's business
}

TEST(Hypergraph, EdgesContainingAndNeighbours) {
  Hypergraph g;
  const VertexId v = g.add_vertex(), w = g.add_vertex(), lone = g.add_vertex();
  const EdgeId e1 = g.add_hyperedge({v, v, w});
  const EdgeId e2 = g.add_hyperedge({w, v});
  EXPECT_EQ(g.edges_containing(v), (std::vector<EdgeId>{e1, e1, e2}));
  EXPECT_EQ(g.structural_neighbors(v), (absl::flat_hash_set<VertexId>{w}));
  EXPECT_TRUE(g.structural_neighbors(lone).empty());
  EXPECT_TRUE(g.edges_containing(lone).empty());
  expect_consistent(g);
  // Lists keep creation order through removals, inline and on the heap
  // (application removes the first fitting hyperedge in this order).
  std::vector<EdgeId> expected = g.edges_containing(w);
  for (int i = 0; i < 12; ++i) expected.push_back(g.add_hyperedge({w, lone}));
  for (const std::size_t k : {3u, 0u, 9u}) {
    ASSERT_TRUE(g.remove_hyperedge(expected[k]));
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(k));
    EXPECT_EQ(g.edges_containing(w), expected);
  }
  expect_consistent(g);
}

TEST(Hypergraph, CausalSetLengthsAtCreation) {
  EXPECT_EQ(causal_set_length(1024, 1), 1024u);
  EXPECT_EQ(causal_set_length(1024, 1024), 1024u);
  EXPECT_EQ(causal_set_length(1024, 1025), 2048u);
  EXPECT_EQ(causal_set_length(1024, 3001), 4096u);
  EXPECT_EQ(causal_set_length(0, 1), 1u);
  EXPECT_EQ(causal_set_length(0, 0), 1u);
  EXPECT_EQ(causal_set_length(0, 5), 8u);
  // Rounding up never overflows: past 2^63 the length saturates.
  EXPECT_EQ(causal_set_length(~uint64_t{0}, 1), ~uint64_t{0});

  Hypergraph g;
  const VertexId v = g.add_vertex();
  const uint64_t expected = v < 1024 ? 1024 : causal_set_length(1024, v + 1);
  EXPECT_EQ(g.causal().future(v)->length(), expected);
  EXPECT_EQ(g.causal().past(v)->length(), expected);
  g.set_bitset_capacity(0);
  const VertexId w = g.add_vertex();
  EXPECT_EQ(g.causal().past(w)->length(), causal_set_length(0, w + 1));
  g.set_bitset_capacity(~uint64_t{0});  // no allocation follows the length
  const VertexId x = g.add_vertex();
  EXPECT_EQ(g.causal().past(x)->length(), ~uint64_t{0});
  EXPECT_TRUE(g.causal().past(x)->contains(x));
}
