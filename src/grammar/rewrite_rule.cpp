#include "grammar/rewrite_rule.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
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
  rule.lhs_neighbours.resize(rule.lhs_var_count);
  rule.cover_tests.resize(rule.lhs_var_count);
  for (std::size_t p = 0; p < rule.lhs.size(); ++p) {
    const auto& pattern = rule.lhs[p];
    VarIndex largest = 0;
    for (const VarIndex t : pattern) {
      largest = std::max(largest, t);
      auto& neighbours = rule.lhs_neighbours[t];
      for (const VarIndex v : pattern) {
        if (v != t && std::find(neighbours.begin(), neighbours.end(), v) == neighbours.end()) {
          neighbours.push_back(v);
        }
      }
    }
    // Variables are bound in index order, so a pattern is complete exactly
    // when its largest variable is bound; the first test happens at t = 1.
    const VarIndex at = std::max<VarIndex>(largest, 1);
    if (at < rule.lhs_var_count) rule.cover_tests[at].push_back(p);
  }
  return rule;
}

std::string format_weight(double weight) {
  if (std::isnan(weight)) return "NaN";
  if (std::isinf(weight)) return weight > 0 ? "inf" : "-inf";
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), weight,
                                    std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

std::optional<std::string> weight_error(double weight) {
  if (std::isfinite(weight) && weight > 0.0) return std::nullopt;
  return "Rule weight must be a finite positive number, got " + format_weight(weight) +
         ". A weight of 0.0 means the rule would never fire.";
}

}  // namespace vorn
