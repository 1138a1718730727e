#include "grammar/rewrite_rule.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

namespace vorn {

namespace {

std::vector<std::vector<VarIndex>> index_patterns(const NamePatterns& patterns,
                                                  absl::flat_hash_map<std::string, VarIndex>& map,
                                                  VarIndex& counter) {
  std::vector<std::vector<VarIndex>> out;
  out.reserve(patterns.size());
  for (const auto& pattern : patterns) {
    std::vector<VarIndex> indices;
    indices.reserve(pattern.size());
    for (const auto& name : pattern) {
      auto [it, inserted] = map.try_emplace(name, counter);
      if (inserted) ++counter;
      indices.push_back(it->second);
    }
    out.push_back(std::move(indices));
  }
  return out;
}

}  // namespace

RewriteRule RewriteRule::compile(NamePatterns lhs, std::vector<std::string> kept, NamePatterns rhs,
                                 double weight) {
  RewriteRule rule;
  VarIndex counter = 0;
  rule.lhs = index_patterns(lhs, rule.var_index, counter);
  rule.lhs_var_count = counter;
  rule.rhs = index_patterns(rhs, rule.var_index, counter);
  rule.var_count = counter;
  for (const auto& name : kept) {
    if (const auto it = rule.var_index.find(name); it != rule.var_index.end()) {
      rule.kept.insert(it->second);
    }
  }
  // A left-hand-side variable that the right-hand side uses again keeps its
  // vertex: deleting it would leave new hyperedges over a vertex that is gone.
  for (const auto& pattern : rule.rhs) {
    for (const VarIndex v : pattern) {
      if (v < rule.lhs_var_count) rule.kept.insert(v);
    }
  }
  for (const auto& pattern : rule.lhs) {
    for (const VarIndex v : pattern) ++rule.lhs_occurrences[v];
  }
  rule.weight = weight;
  compile_matcher_facts(rule);
  return rule;
}

void RewriteRule::compile_matcher_facts(RewriteRule& rule) {
  const std::size_t n = rule.lhs_var_count;
  const std::size_t patterns = rule.lhs.size();
  constexpr uint32_t kNone = UINT32_MAX;
  for (const auto* side : {&rule.lhs, &rule.rhs}) {
    FlatPatterns& flat = side == &rule.lhs ? rule.flat_lhs : rule.flat_rhs;
    for (const auto& pattern : *side) {
      for (const VarIndex v : pattern) flat.vars.push_back(static_cast<uint32_t>(v));
      flat.begin.push_back(static_cast<uint32_t>(flat.vars.size()));
    }
  }
  rule.occurrences.assign(n, 0);
  for (const auto& [v, count] : rule.lhs_occurrences) rule.occurrences[v] = static_cast<uint32_t>(count);
  rule.is_kept.assign(rule.var_count, 0);
  for (const VarIndex v : rule.kept) rule.is_kept[v] = 1;
  for (VarIndex v = 0; v < n; ++v) {
    if (!rule.is_kept[v]) rule.deleted.push_back(static_cast<uint32_t>(v));
  }
  rule.new_vertices = static_cast<uint32_t>(rule.var_count - n);
  for (const auto& pattern : rule.rhs) {
    std::vector<VarIndex> sorted = pattern;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) rule.rhs_repeats = true;
  }
  // The lowest pattern-mate of each variable: per pattern, its lowest and
  // second-lowest distinct variables are all that matter.
  std::vector<uint32_t> lowest_mate(n, kNone);
  std::vector<uint32_t> count(n + 1, 0);
  std::vector<uint32_t> seen(n, kNone);  // last pattern counted, per variable
  for (std::size_t p = 0; p < patterns; ++p) {
    uint32_t lo = kNone, lo2 = kNone;
    for (const VarIndex v : rule.lhs[p]) {
      const auto x = static_cast<uint32_t>(v);
      if (x < lo) {
        lo2 = lo;
        lo = x;
      } else if (x != lo && x < lo2) {
        lo2 = x;
      }
      if (seen[x] != p) {
        seen[x] = static_cast<uint32_t>(p);
        ++count[x + 1];
      }
    }
    for (const VarIndex v : rule.lhs[p]) {
      const uint32_t mate = v == lo ? lo2 : lo;
      lowest_mate[v] = std::min(lowest_mate[v], mate);
    }
  }
  rule.in_frontier.assign(n, 0);
  rule.new_mates.assign(n, 0);
  for (VarIndex v = 0; v < n; ++v) {
    if (lowest_mate[v] != kNone && lowest_mate[v] < v) {
      rule.in_frontier[v] = 1;
      ++rule.new_mates[lowest_mate[v]];
    }
  }
  // The patterns of each variable.
  rule.mates_begin.assign(n + 1, 0);
  for (std::size_t v = 0; v < n; ++v) rule.mates_begin[v + 1] = rule.mates_begin[v] + count[v + 1];
  rule.mates_pattern.assign(rule.mates_begin[n], 0);
  std::vector<uint32_t> fill(rule.mates_begin.begin(), rule.mates_begin.end() - 1);
  std::fill(seen.begin(), seen.end(), kNone);
  for (std::size_t p = 0; p < patterns; ++p) {
    for (const VarIndex v : rule.lhs[p]) {
      if (seen[v] != p) {
        seen[v] = static_cast<uint32_t>(p);
        rule.mates_pattern[fill[v]++] = static_cast<uint32_t>(p);
      }
    }
  }
  // Cover tests: a pattern is complete once its largest variable is bound;
  // the first test happens at level 1 (patterns over variable 0 alone and
  // empty ones included), and none when there is no level 1.
  std::vector<uint32_t> at(patterns, kNone);
  rule.tests_begin.assign(n + 1, 0);
  for (std::size_t p = 0; p < patterns; ++p) {
    VarIndex largest = 0;
    for (const VarIndex v : rule.lhs[p]) largest = std::max(largest, v);
    const VarIndex level = std::max<VarIndex>(largest, 1);
    if (level < n) {
      at[p] = static_cast<uint32_t>(level);
      ++rule.tests_begin[level + 1];
    }
  }
  for (std::size_t t = 0; t < n; ++t) rule.tests_begin[t + 1] += rule.tests_begin[t];
  rule.tests_pattern.assign(rule.tests_begin[n], 0);
  fill.assign(rule.tests_begin.begin(), rule.tests_begin.end() - 1);
  for (std::size_t p = 0; p < patterns; ++p) {
    if (at[p] != kNone) rule.tests_pattern[fill[at[p]]++] = static_cast<uint32_t>(p);
  }
  rule.later_mates.assign(n, -1);
}

void RewriteRule::count_later_mates(std::size_t t) const {
  // Distinct later variables over the patterns holding t; a variable is met
  // when its mark is t + 1.
  if (met_.size() != lhs_var_count) met_.assign(lhs_var_count, 0);
  int64_t later = 0;
  for (uint32_t k = mates_begin[t]; k < mates_begin[t + 1]; ++k) {
    for (const VarIndex v : lhs[mates_pattern[k]]) {
      if (v > t && met_[v] != t + 1) {
        met_[v] = static_cast<uint32_t>(t + 1);
        ++later;
      }
    }
  }
  later_mates[t] = later;
}

}  // namespace vorn
