// The engine: weighted choice, uniform draws, the step frame, rollback
// counters, settings and rule compilation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "rewrite_engine/rewrite_engine.hpp"
#include "support/access.hpp"
#include "support/nested.hpp"

using namespace vorn;

namespace {

// One choice from a table built for it, as the engine's step makes it.
std::size_t weighted_choice(ChaCha12& rng, const std::vector<RewriteRule>& rules,
                            std::vector<double>& /*unused*/) {
  WeightTable table;
  table.rebuild(rules);
  return table.choose(rng);
}

}  // namespace

TEST(WeightedChoice, PointsOnBoundariesGoToTheLaterRule) {
  const std::vector<double> one_three{1.0};
  EXPECT_EQ(index_for_point(one_three, 0.0), 0u);
  EXPECT_EQ(index_for_point(one_three, 0.999999), 0u);
  EXPECT_EQ(index_for_point(one_three, 1.0), 1u);
  EXPECT_EQ(index_for_point(one_three, 3.9), 1u);
  const std::vector<double> many{1.0, 2.0, 3.0, 4.0, 5.0};
  for (int i = 0; i <= 5; ++i) {
    EXPECT_EQ(index_for_point(many, i), static_cast<std::size_t>(i));
    EXPECT_EQ(index_for_point(many, i + 0.5), static_cast<std::size_t>(i));
  }
  EXPECT_EQ(index_for_point({}, 0.7), 0u);
}

TEST(WeightedChoice, OneDrawPerChoiceEvenWithOneRule) {
  std::vector<RewriteRule> rules{RewriteRule::compile({}, {}, {}, 2.0)};
  std::vector<double> scratch;
  ChaCha12 rng = ChaCha12::from_u64_seed(7);
  ChaCha12 reference = ChaCha12::from_u64_seed(7);
  EXPECT_EQ(weighted_choice(rng, rules, scratch), 0u);
  reference.next_u64();
  EXPECT_EQ(rng.next_u32(), reference.next_u32());
}

TEST(WeightedChoice, SeededChoicesFollowTheDraws) {
  std::vector<RewriteRule> rules{RewriteRule::compile({}, {}, {}, 1.0),
                                 RewriteRule::compile({}, {}, {}, 3.0)};
  std::vector<double> scratch;
  ChaCha12 rng = ChaCha12::from_u64_seed(99);
  ChaCha12 reference = ChaCha12::from_u64_seed(99);
  int first = 0;
  for (int i = 0; i < 4000; ++i) {
    const double x = static_cast<double>(reference.next_u64() >> 12) * std::ldexp(1.0, -52) * 4.0;
    const std::size_t k = weighted_choice(rng, rules, scratch);
    ASSERT_EQ(k, x < 1.0 ? 0u : 1u);
    first += k == 0;
  }
  EXPECT_NEAR(first / 4000.0, 0.25, 0.03);
}

// Subnormal weights: the chosen point would round to a multiple of the
// smallest subnormal (two rules at 5e-324 came out 25/75), so the table is
// scaled by a power of two first.
TEST(WeightedChoice, TinyWeightsKeepTheirProportions) {
  for (const std::size_t m : {std::size_t{2}, std::size_t{3}}) {
    std::vector<RewriteRule> rules;
    for (std::size_t i = 0; i < m; ++i) rules.push_back(RewriteRule::compile({}, {}, {}, 5e-324));
    std::vector<double> scratch;
    ChaCha12 rng = ChaCha12::from_u64_seed(5);
    std::vector<int> counts(m, 0);
    const int draws = 30000;
    for (int i = 0; i < draws; ++i) ++counts[weighted_choice(rng, rules, scratch)];
    for (const int c : counts) EXPECT_NEAR(c, draws / static_cast<double>(m), draws * 0.02) << m;
  }
  // Mixed magnitudes below the threshold keep the ratio 1 : 3.
  std::vector<RewriteRule> rules{RewriteRule::compile({}, {}, {}, 1e-320),
                                 RewriteRule::compile({}, {}, {}, 3e-320)};
  std::vector<double> scratch;
  ChaCha12 rng = ChaCha12::from_u64_seed(6);
  int first = 0;
  for (int i = 0; i < 40000; ++i) first += weighted_choice(rng, rules, scratch) == 0;
  EXPECT_NEAR(first / 40000.0, 0.25, 0.015);
}

TEST(UniformIndex, StaysInRangeAndIsRoughlyUniform) {
  ChaCha12 rng = ChaCha12::from_u64_seed(1);
  int counts[3] = {0, 0, 0};
  for (int i = 0; i < 30000; ++i) ++counts[uniform_index(rng, 3)];
  for (int c : counts) EXPECT_NEAR(c, 10000, 400);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(uniform_index(rng, 1), 0u);
  const uint64_t big = (uint64_t{1} << 40) + 3;
  for (int i = 0; i < 1000; ++i) EXPECT_LT(uniform_index(rng, big), big);
}

TEST(Engine, StepFrameWithoutRules) {
  RewriteEngine engine(Hypergraph{}, 1);
  EXPECT_FALSE(engine.step());
  engine.run(4);
  EXPECT_EQ(engine.attempted_rewrites(), 5u);
  EXPECT_EQ(engine.successful_rewrites(), 0u);
  EXPECT_EQ(engine.step_count(), 5u);
  EXPECT_FALSE(engine.rollback());
  EXPECT_EQ(engine.step_count(), 5u);
}

TEST(Engine, EmptyLhsOnEmptyGraphDrawsNoAnchor) {
  RewriteEngine engine(Hypergraph{}, 3);
  ChaCha12 reference = ChaCha12::from_u64_seed(3);
  ASSERT_FALSE(engine.add_rule({}, {}, {{"a", "b"}}, 1.0));
  EXPECT_TRUE(engine.step());
  reference.next_u64();  // the rule draw only
  ChaCha12 rng = engine.rng();
  EXPECT_EQ(rng.next_u32(), reference.next_u32());
  EXPECT_EQ(engine.graph().vertex_count(), 2u);
}

TEST(Engine, RollbackCountersAndOneLevelOfUndo) {
  RewriteEngine engine(Hypergraph{}, 5);
  ASSERT_FALSE(engine.add_rule({}, {}, {{"a"}}, 1.0));
  engine.step();
  engine.step();
  engine.reset_counters();
  EXPECT_TRUE(engine.rollback());  // reverts the second step only
  EXPECT_EQ(engine.graph().vertex_count(), 1u);
  EXPECT_EQ(engine.attempted_rewrites(), 0u);
  EXPECT_EQ(engine.successful_rewrites(), 0u);
  EXPECT_EQ(engine.step_count(), 1u);
  EXPECT_FALSE(engine.rollback());
  // A failed step drops the record of the step before it.
  engine.step();
  engine.clear_rules();
  EXPECT_FALSE(engine.step());
  EXPECT_FALSE(engine.rollback());
}

TEST(Engine, ClearGraphDropsTheUndoRecordAndResetsStoreSettings) {
  RewriteEngine engine(Hypergraph{}, 11);
  ASSERT_FALSE(engine.add_rule({}, {}, {{"a", "b"}}, 1.0));
  engine.set_causal_horizon(3);
  engine.set_bitset_capacity(7);
  engine.set_semantics(Semantics::spo);
  engine.step();
  engine.clear_graph();
  EXPECT_FALSE(engine.rollback());
  EXPECT_TRUE(engine.graph().vertex_count() == 0);
  EXPECT_EQ(engine.graph().causal_horizon(), 6u);
  EXPECT_EQ(engine.graph().bitset_capacity(), 1024u);
  EXPECT_EQ(engine.step_count(), 0u);
  EXPECT_EQ(engine.rules().size(), 1u);
  EXPECT_FALSE(engine.dpo());
}

// Rules that make parallel and reversed hyperedges and remove one of a
// parallel pair: pairs are covered twice over and uncovered again, and the
// store's check recounts the pair count after every step and rollback.
TEST(Engine, PairCountFollowsParallelHyperedgesThroughStepsAndRollbacks) {
  RewriteEngine e(Hypergraph{}, 31);
  e.add_rule({}, {}, {{"a", "b"}, {"b", "c"}}, 1.0);
  e.step();
  e.clear_rules();
  e.add_rule({{"x", "y"}}, {"x", "y"}, {{"x", "y"}, {"y", "x"}}, 1.0);  // a reversed twin
  e.add_rule({{"x", "y"}}, {"x", "y"}, {}, 0.3);                        // drops one hyperedge
  e.add_rule({{"x", "y"}}, {"x", "y"}, {{"x", "y"}, {"y", "z"}}, 0.6);  // grows
  uint64_t before = 0;
  for (int i = 0; i < 600; ++i) {
    before = e.graph().structural_pair_count();
    const bool rewrote = e.step();
    if (i % 7 == 3 && rewrote) {
      ASSERT_TRUE(e.rollback());
      ASSERT_EQ(e.graph().structural_pair_count(), before) << i;
    }
    ASSERT_TRUE(e.graph().pair_count_exact()) << i;
    const std::vector<std::string> problems = check_consistency(e.graph());
    ASSERT_TRUE(problems.empty()) << i << ": " << problems.front();
  }
  EXPECT_GT(e.graph().edge_count(), 10u);
}

// Hyperedges that repeat a vertex make the pair count depend on the order
// in which hyperedges come and go. The engine tells the store as soon as it
// has such a rule, and again for the store clear_graph makes, so the check
// does not hold the count to a recount there.
TEST(Engine, RulesThatRepeatAVertexEndAnExactPairCount) {
  RewriteEngine e(Hypergraph{}, 37);
  e.add_rule({}, {}, {{"a", "b"}, {"b", "c"}}, 1.0);
  e.step();
  ASSERT_TRUE(e.graph().pair_count_exact());
  e.clear_rules();
  e.add_rule({{"x", "y"}}, {"x", "y"}, {{"x", "y", "x"}, {"x", "y"}}, 1.0);
  e.add_rule({{"x", "y", "z"}}, {"x", "y", "z"}, {}, 1.0);
  EXPECT_FALSE(e.graph().pair_count_exact());
  for (int i = 0; i < 300; ++i) {
    e.step();
    const std::vector<std::string> problems = check_consistency(e.graph());
    ASSERT_TRUE(problems.empty()) << i << ": " << problems.front();
  }
  EXPECT_NE(e.graph().structural_pair_count(), e.graph().recount_pairs());  // it did drift
  e.clear_graph();
  EXPECT_FALSE(e.graph().pair_count_exact());
}

TEST(Engine, WeightsAreCheckedAloneAndInTotal) {
  RewriteEngine engine(Hypergraph{}, 2);
  EXPECT_FALSE(engine.add_rule({}, {}, {}, 1e-320));
  for (double bad : {0.0, -0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    auto refusal = engine.add_rule({}, {}, {}, bad);
    ASSERT_TRUE(refusal) << bad;
    EXPECT_EQ(refusal->kind, RuleRefusal::Kind::weight);
  }
  EXPECT_FALSE(engine.add_rule({}, {}, {}, 1e308));
  auto refusal = engine.add_rule({}, {}, {}, 1e308);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->kind, RuleRefusal::Kind::total);
  EXPECT_EQ(refusal->weight, 1e308);
  EXPECT_EQ(refusal->total, std::numeric_limits<double>::infinity());
  EXPECT_EQ(engine.rules().size(), 2u);
}

TEST(Compile, NamesBecomeDenseIndices) {
  const RewriteRule r =
      RewriteRule::compile({{"a", "b"}, {"b", "c"}}, {"a", "b", "z"}, {{"a", "d"}, {"d", "b"}}, 2.5);
  EXPECT_EQ(nested(r.lhs), (std::vector<std::vector<VarIndex>>{{0, 1}, {1, 2}}));
  EXPECT_EQ(nested(r.rhs), (std::vector<std::vector<VarIndex>>{{0, 3}, {3, 1}}));
  EXPECT_EQ(r.lhs_var_count, 3u);
  EXPECT_EQ(r.var_count, 4u);
  EXPECT_EQ(r.kept, (std::vector<VarIndex>{0, 1}));
  EXPECT_EQ(r.deleted, (std::vector<uint32_t>{2}));
  std::vector<uint32_t> occurrences;
  for (const LhsVariable& v : r.lhs_variables) occurrences.push_back(v.occurrences);
  EXPECT_EQ(occurrences, (std::vector<uint32_t>{1, 2, 1}));
  EXPECT_EQ(r.var_index.at("d"), 3u);
  EXPECT_EQ(r.created_vertex_count(), 1u);
  // Empty patterns and an empty lhs.
  const RewriteRule e = RewriteRule::compile({{}, {"a", "a"}}, {}, {}, 1.0);
  EXPECT_EQ(nested(e.lhs), (std::vector<std::vector<VarIndex>>{{}, {0, 0}}));
  EXPECT_EQ(e.lhs_variables.at(0).occurrences, 2u);
  const RewriteRule g = RewriteRule::compile({}, {"x"}, {{"x"}}, 1.0);
  EXPECT_EQ(g.lhs_var_count, 0u);
  EXPECT_TRUE(g.is_kept(0));  // kept rhs-only names keep their index
}
