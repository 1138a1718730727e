// Matching: the worked example, the covering rules, the anchor that names no
// vertex, and a matcher reused between searches.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "grammar/matcher.hpp"
#include "grammar/rewrite_rule.hpp"
#include "support/find_match.hpp"

using namespace vorn;

namespace {

RewriteRule rule_of(NamePatterns lhs, std::vector<std::string> kept = {}) {
  return RewriteRule::compile(std::move(lhs), std::move(kept), {}, 1.0);
}

using Ids = std::vector<VertexId>;

bool covered(const Hypergraph& g, const Ids& image) {
  std::vector<Slot> slots;
  for (const VertexId v : image) slots.push_back(*g.slot_of(v));
  return image_covered(g, slots);
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
  EXPECT_EQ(find_match(rule, p.g, p.v1, true), (Ids{p.v1, p.v2, p.v3}));
  EXPECT_FALSE(find_match(rule, p.g, p.v2, true));  // neighbours have degree 1 < 2
  EXPECT_EQ(find_match(rule, p.g, p.v3, true), (Ids{p.v3, p.v2, p.v1}));
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
  EXPECT_TRUE(spo->at(2) == p.v3 || spo->at(2) == v4);
}

TEST(Matcher, CoverIgnoresOrderAndMultiplicityButNeedsOneHyperedge) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex();
  EXPECT_FALSE(covered(g, {a, b}));
  const EdgeId acb = g.add_hyperedge({a, c, b});
  EXPECT_TRUE(covered(g, {a, b}));  // longer hyperedges cover
  EXPECT_TRUE(covered(g, {b, a}));  // order ignored
  g.remove_hyperedge(acb);
  g.add_hyperedge({a, c});
  g.add_hyperedge({c, b});
  EXPECT_FALSE(covered(g, {a, b}));  // not by two separate hyperedges
  EXPECT_FALSE(covered(g, {}));      // an empty pattern never covers
  const VertexId lone = g.add_vertex();
  g.add_hyperedge({lone});
  EXPECT_FALSE(covered(g, {lone, lone}));  // (x, x) needs length 2
  g.add_hyperedge({lone, c});
  EXPECT_TRUE(covered(g, {lone, lone}));
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
  EXPECT_TRUE(m->empty());
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
  EXPECT_EQ(m->at(1), b);
  Hypergraph single;
  const VertexId s = single.add_vertex();
  single.add_hyperedge({s});
  EXPECT_FALSE(find_match(rule_of({{"x"}, {"y"}}, {"x", "y"}), single, s, true));
}

// One matcher serves every step of an engine: whatever its scratch holds
// after a search (failed or not) must not change the next one. Its results
// on random graphs equal those of fresh matchers, and its matches are
// injective and cover every pattern.
TEST(Matcher, AReusedMatcherAgreesWithFreshOnes) {
  std::mt19937_64 gen(2024);
  const std::vector<NamePatterns> lhss = {
      {{"a", "b"}, {"b", "c"}, {"c", "d"}},
      {{"a", "b"}, {"a", "c"}},
      {{"a", "b", "c"}, {"c", "d"}},
      {{"a", "b"}, {"c", "d"}},
      {{"a", "a", "b"}, {"b", "c"}, {"c", "a"}},
  };
  Matcher reused;
  MatchState state;
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
      const auto fresh = find_match(rule, g, anchor, dpo);
      const bool found = reused.find(rule, g, *g.slot_of(anchor), dpo, state);
      ASSERT_EQ(found, fresh.has_value()) << "round " << round;
      if (!found) {
        ++failures;
        continue;
      }
      ++matches;
      std::vector<VertexId> ids;
      for (std::size_t x = 0; x < rule.lhs_var_count; ++x) ids.push_back(g.id_of(state.binding[x]));
      ASSERT_EQ(ids, *fresh);
      ASSERT_EQ(std::set<VertexId>(ids.begin(), ids.end()).size(), ids.size());  // injective
      for (const auto& pattern : rule.lhs) {
        Ids image;
        for (const VarIndex x : pattern) image.push_back(ids[x]);
        ASSERT_TRUE(covered(g, image));
      }
    }
  }
  EXPECT_GT(matches, 50);
  EXPECT_GT(failures, 50);
}
