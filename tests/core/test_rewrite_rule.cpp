// Compiled rules against the definitions of what the search asks: every fact
// is recomputed here by brute force over random rules, wide patterns included.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "grammar/rewrite_rule.hpp"
#include "support/nested.hpp"

namespace vorn {
namespace {

struct Names {
  NamePatterns lhs, rhs;
  std::vector<std::string> kept;
};

Names random_names(std::mt19937_64& gen) {
  const int alphabet = 2 + static_cast<int>(gen() % 9);
  auto name = [&] { return std::string(1, static_cast<char>('a' + gen() % alphabet)); };
  auto patterns = [&] {
    NamePatterns out(gen() % 5);
    for (auto& pattern : out) {
      // Now and then a wide pattern, which compiles by a different path.
      const std::size_t size = gen() % 12 == 0 ? 20 + gen() % 40 : gen() % 5;
      for (std::size_t i = 0; i < size; ++i) pattern.push_back(name());
    }
    return out;
  };
  Names n{patterns(), patterns(), {}};
  for (int i = 0, k = static_cast<int>(gen() % 4); i < k; ++i) n.kept.push_back(name());
  return n;
}

// The variables that share an lhs pattern with v (v itself excluded).
std::vector<std::set<std::size_t>> mates_of(const std::vector<std::vector<VarIndex>>& lhs, std::size_t n) {
  std::vector<std::set<std::size_t>> mates(n);
  for (const auto& pattern : lhs) {
    for (const VarIndex a : pattern) {
      for (const VarIndex b : pattern) {
        if (a != b) mates[a].insert(b);
      }
    }
  }
  return mates;
}

TEST(RewriteRule, SearchFactsMatchTheirDefinitions) {
  std::mt19937_64 gen(2024);
  for (int round = 0; round < 3000; ++round) {
    const Names names = random_names(gen);
    const RewriteRule rule = RewriteRule::compile(names.lhs, names.kept, names.rhs, 1.0);
    const auto lhs = nested(rule.lhs);
    const auto rhs = nested(rule.rhs);
    const std::size_t n = rule.lhs_var_count;
    ASSERT_EQ(rule.lhs_variables.size(), n);
    ASSERT_EQ(rule.covered_at.size(), n);
    const auto mates = mates_of(lhs, n);
    auto has_lower_mate = [&](std::size_t v, std::size_t below) {
      return !mates[v].empty() && *mates[v].begin() < below;
    };
    for (std::size_t t = 0; t < n; ++t) {
      const LhsVariable& f = rule.lhs_variables[t];
      uint32_t occurrences = 0, near = 0, fresh = 0;
      for (const auto& pattern : lhs) occurrences += std::count(pattern.begin(), pattern.end(), t);
      for (const std::size_t v : mates[t]) {
        if (v <= t) continue;
        ++(has_lower_mate(v, t) ? near : fresh);
      }
      EXPECT_EQ(f.occurrences, occurrences) << round << " t=" << t;
      EXPECT_EQ(f.adjacent_to_bound, has_lower_mate(t, t)) << round << " t=" << t;
      EXPECT_EQ(f.candidate_neighbours, near) << round << " t=" << t;
      EXPECT_EQ(f.fresh_neighbours, fresh) << round << " t=" << t;
      // Cover tests: the patterns whose largest variable is t (from 1 on).
      std::vector<uint32_t> covered;
      for (std::size_t p = 0; p < lhs.size(); ++p) {
        const VarIndex largest = lhs[p].empty() ? 0 : *std::max_element(lhs[p].begin(), lhs[p].end());
        if (std::max<VarIndex>(largest, 1) == t) covered.push_back(static_cast<uint32_t>(p));
      }
      const auto got = rule.covered_at[t];
      EXPECT_EQ(std::vector<uint32_t>(got.begin(), got.end()), covered) << round << " t=" << t;
    }
    // Kept: the named ones that occur, and the lhs variables that rhs reuses.
    std::set<VarIndex> kept;
    for (const auto& name : names.kept) {
      if (rule.var_index.contains(name)) kept.insert(rule.var_index.at(name));
    }
    for (const auto& pattern : rhs) {
      for (const VarIndex v : pattern) {
        if (v < n) kept.insert(v);
      }
    }
    EXPECT_EQ(rule.kept, std::vector<VarIndex>(kept.begin(), kept.end())) << round;
    std::vector<uint32_t> deleted;
    for (std::size_t v = 0; v < n; ++v) {
      EXPECT_EQ(rule.is_kept(v), kept.contains(v));
      if (!kept.contains(v)) deleted.push_back(static_cast<uint32_t>(v));
    }
    EXPECT_EQ(rule.deleted, deleted) << round;
    EXPECT_EQ(rule.created_vertex_count(), rule.var_count - n);
  }
}

// Patterns shared by few variables and one pattern of many: the counts of
// later pattern-mates of a variable in several patterns are a union, not a sum.
TEST(RewriteRule, LaterMatesAreCountedOncePerVariable) {
  std::vector<std::string> wide;
  for (int i = 0; i < 300; ++i) wide.push_back("v" + std::to_string(i));
  // v0 lies in the wide pattern and in two small ones over v1, v2 (which are
  // in the wide one too): v0 still has 299 distinct later mates.
  const RewriteRule rule =
      RewriteRule::compile({wide, {"v0", "v1"}, {"v2", "v0", "v1"}, {"v1", "x"}}, {}, {}, 1.0);
  ASSERT_EQ(rule.lhs_var_count, 301u);
  EXPECT_EQ(rule.lhs_variables[0].fresh_neighbours, 299u);
  EXPECT_EQ(rule.lhs_variables[0].candidate_neighbours, 0u);
  // v1: v2..v299 and x are later; all but x already neighbour v0.
  EXPECT_EQ(rule.lhs_variables[1].candidate_neighbours, 298u);
  EXPECT_EQ(rule.lhs_variables[1].fresh_neighbours, 1u);
  EXPECT_EQ(rule.lhs_variables[299].candidate_neighbours, 0u);
  EXPECT_TRUE(rule.lhs_variables[300].adjacent_to_bound);
}

}  // namespace
}  // namespace vorn
