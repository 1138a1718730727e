#include "grammar/rewrite_rule.hpp"

#include <algorithm>
#include <charconv>
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
  // The shortest round-trip digits come from the scientific form; fixed
  // notation would pick the fewest characters instead, which for large
  // magnitudes are the exact binary expansion (1e23 -> 99999999999999991611392).
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), std::fabs(weight),
                                    std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  // digits = d0 d1 d2 ..., value = d0.d1d2... x 10^exponent.
  std::string out = std::signbit(weight) ? "-" : "";
  const long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

std::optional<std::string> weight_error(double weight) {
  if (std::isfinite(weight) && weight > 0.0) return std::nullopt;
  return "Rule weight must be a finite positive number, got " + format_weight(weight) +
         ". A weight of 0.0 means the rule would never fire.";
}

}  // namespace vorn
