// Matching: the worked example, the covering rules, exact undo of a failed
// search and the anchor that names no vertex.
#include <gtest/gtest.h>

#include <random>

#include "grammar/matcher.hpp"
#include "grammar/rewrite_rule.hpp"

using namespace vorn;

namespace {

RewriteRule rule_of(NamePatterns lhs, std::vector<std::string> kept = {}) {
  return RewriteRule::compile(std::move(lhs), std::move(kept), {}, 1.0);
}

bool state_equal(const MatchState& a, const MatchState& b) {
  return a.bindings == b.bindings && a.used_vertices == b.used_vertices &&
         a.candidate_vertices == b.candidate_vertices && a.frontier_vars == b.frontier_vars;
}

struct Path {
  Hypergraph g;
  VertexId v1, v2, v3;
  EdgeId e1, e2;
  Path() {
    v1 = g.add_vertex();
    v2 = g.add_vertex();
    v3 = g.add_vertex();
    e1 = g.add_hyperedge({v1, v2});
    e2 = g.add_hyperedge({v2, v3});
  }
};

}  // namespace

TEST(Matcher, WorkedExampleAnchors) {
  Path p;
  const RewriteRule rule = rule_of({{"x", "y"}, {"y", "z"}}, {"x", "y", "z"});
  auto m1 = find_match(rule, p.g, p.v1, true);
  ASSERT_TRUE(m1);
  EXPECT_EQ(m1->bindings, (absl::flat_hash_map<VarIndex, VertexId>{{0, p.v1}, {1, p.v2}, {2, p.v3}}));
  EXPECT_TRUE(m1->frontier_vars.empty());
  EXPECT_FALSE(find_match(rule, p.g, p.v2, true));  // neighbours have degree 1 < 2
  auto m3 = find_match(rule, p.g, p.v3, true);
  ASSERT_TRUE(m3);
  EXPECT_EQ(m3->bindings.at(1), p.v2);
  EXPECT_EQ(m3->bindings.at(2), p.v1);
}

TEST(Matcher, DanglingCheckUnderDpoOnly) {
  Path p;
  const RewriteRule rule = rule_of({{"x", "y"}, {"y", "z"}}, {"x", "z"});  // y deleted
  EXPECT_TRUE(find_match(rule, p.g, p.v1, true));
  const VertexId v4 = p.g.add_vertex();
  p.g.add_hyperedge({p.v2, v4});
  EXPECT_FALSE(find_match(rule, p.g, p.v1, true));
  auto spo = find_match(rule, p.g, p.v1, false);
  ASSERT_TRUE(spo);
  EXPECT_TRUE(spo->bindings.at(2) == p.v3 || spo->bindings.at(2) == v4);
}

TEST(Matcher, CoverIgnoresOrderAndMultiplicityButNeedsOneHyperedge) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex();
  EXPECT_FALSE(image_covered(g, {a, b}));
  const EdgeId acb = g.add_hyperedge({a, c, b});
  EXPECT_TRUE(image_covered(g, {a, b}));  // longer hyperedges cover
  EXPECT_TRUE(image_covered(g, {b, a}));  // order ignored
  g.remove_hyperedge(acb);
  g.add_hyperedge({a, c});
  g.add_hyperedge({c, b});
  EXPECT_FALSE(image_covered(g, {a, b}));  // not by two separate hyperedges
  EXPECT_FALSE(image_covered(g, {}));      // an empty pattern never covers
  const VertexId lone = g.add_vertex();
  g.add_hyperedge({lone});
  EXPECT_FALSE(image_covered(g, {lone, lone}));  // (x, x) needs length 2
  g.add_hyperedge({lone, c});
  EXPECT_TRUE(image_covered(g, {lone, lone}));
}

TEST(Matcher, RulesThatCannotMatch) {
  Path p;
  // [[x, y], [x, y]] needs two incidence entries for y's vertex.
  Hypergraph one;
  const VertexId a = one.add_vertex(), b = one.add_vertex();
  one.add_hyperedge({a, b});
  EXPECT_FALSE(find_match(rule_of({{"x", "y"}, {"x", "y"}}, {"x", "y"}), one, a, false));
  EXPECT_TRUE(find_match(rule_of({{"x", "y"}}, {"x", "y"}), one, a, false));
  // Patterns that are all empty never match; nor does an empty pattern once
  // there are two variables.
  EXPECT_FALSE(find_match(rule_of({{}}), p.g, p.v1, false));
  EXPECT_FALSE(find_match(rule_of({{}, {"x", "y"}}, {"x", "y"}), p.g, p.v1, false));
  // One variable: the empty pattern is never tested.
  EXPECT_TRUE(find_match(rule_of({{}, {"x"}}, {"x"}), p.g, p.v1, false));
  // An empty lhs matches anywhere, the empty graph included.
  Hypergraph empty;
  auto m = find_match(rule_of({}), empty, 0, true);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->bindings.empty() && m->used_vertices.empty());
}

TEST(Matcher, AnchorThatNamesNoVertexNeverMatches) {
  Hypergraph g;
  const RewriteRule one = rule_of({{"x"}}, {"x"});
  EXPECT_FALSE(find_match(one, g, 0, false));
  const VertexId v = g.add_vertex();
  EXPECT_TRUE(find_match(one, g, v, false));  // an isolated vertex still does
  EXPECT_FALSE(find_match(one, g, v + 1, false));
}

TEST(Matcher, DisjointPatternsDrawFromAllVertices) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex();
  g.add_hyperedge({a});
  g.add_hyperedge({b});
  auto m = find_match(rule_of({{"x"}, {"y"}}, {"x", "y"}), g, a, true);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->bindings.at(1), b);
  Hypergraph single;
  const VertexId s = single.add_vertex();
  single.add_hyperedge({s});
  EXPECT_FALSE(find_match(rule_of({{"x"}, {"y"}}, {"x", "y"}), single, s, true));
}

// The state find_match hands to the first level of the search.
MatchState initial_state(const RewriteRule& rule, const Hypergraph& g, VertexId anchor) {
  MatchState state;
  state.bindings.emplace(0, anchor);
  state.used_vertices.insert(anchor);
  for (const VarIndex v : rule.lhs_neighbours[0]) state.frontier_vars.insert(v);
  for (const EdgeId e : g.edges_containing(anchor)) {
    for (const VertexId x : g.hyperedges.at(e).vertices) {
      if (x != anchor) state.candidate_vertices.insert(x);
    }
  }
  return state;
}

TEST(Matcher, FailedSearchLeavesStateAsItFoundIt) {
  // The worked example with (2, 4): both completions bind z, then fail the
  // dangling check, so two levels bind and undo.
  Path p;
  const VertexId v4 = p.g.add_vertex();
  p.g.add_hyperedge({p.v2, v4});
  const RewriteRule rule = rule_of({{"x", "y"}, {"y", "z"}}, {"x", "z"});
  MatchState state = initial_state(rule, p.g, p.v1);
  const MatchState before = state;
  EXPECT_FALSE(backtrack_search(rule, 1, rule.lhs_var_count, state, p.g, /*dpo=*/true));
  EXPECT_TRUE(state_equal(state, before));
  EXPECT_TRUE(backtrack_search(rule, 1, rule.lhs_var_count, state, p.g, /*dpo=*/false));
  EXPECT_EQ(state.bindings.size(), 3u);
  EXPECT_TRUE(state.frontier_vars.empty());
}

TEST(Matcher, RandomSearchesUndoExactlyAndMatchesAreCovered) {
  std::mt19937_64 gen(2024);
  const std::vector<NamePatterns> lhss = {
      {{"a", "b"}, {"b", "c"}, {"c", "d"}},
      {{"a", "b"}, {"a", "c"}},
      {{"a", "b", "c"}, {"c", "d"}},
      {{"a", "b"}, {"c", "d"}},
      {{"a", "a", "b"}, {"b", "c"}, {"c", "a"}},
  };
  int matches = 0, failures = 0;
  for (int round = 0; round < 300; ++round) {
    Hypergraph g;
    std::vector<VertexId> v;
    for (int i = 0; i < 7; ++i) v.push_back(g.add_vertex());
    for (int i = 0; i < 9; ++i) {
      std::vector<VertexId> list;
      const int len = 1 + static_cast<int>(gen() % 3);
      for (int k = 0; k < len; ++k) list.push_back(v[gen() % v.size()]);
      g.add_hyperedge(list);
    }
    const RewriteRule rule = rule_of(lhss[gen() % lhss.size()], {"a"});
    const bool dpo = gen() % 2;
    for (const VertexId anchor : v) {
      MatchState state = initial_state(rule, g, anchor);
      const MatchState before = state;
      if (backtrack_search(rule, 1, rule.lhs_var_count, state, g, dpo)) {
        ++matches;
        ASSERT_EQ(state.bindings.size(), rule.lhs_var_count);
        ASSERT_EQ(state.used_vertices.size(), rule.lhs_var_count);  // injective
        for (const auto& pattern : rule.lhs) {
          std::vector<VertexId> image;
          for (const VarIndex x : pattern) image.push_back(state.bindings.at(x));
          ASSERT_TRUE(image_covered(g, image));
        }
      } else {
        ++failures;
        ASSERT_TRUE(state_equal(state, before)) << "round " << round;
      }
    }
  }
  EXPECT_GT(matches, 50);
  EXPECT_GT(failures, 50);
}
