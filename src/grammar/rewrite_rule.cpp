#include "grammar/rewrite_rule.hpp"

#include <algorithm>
#include <utility>

namespace vorn {

namespace {

// Whether some list names an item twice.
bool repeats_a_variable(const FlatLists& lists) {
  for (std::size_t i = 0; i < lists.size(); ++i) {
    std::vector<uint32_t> sorted(lists[i].begin(), lists[i].end());
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return true;
  }
  return false;
}

constexpr uint32_t kNoVariable = UINT32_MAX;

// The patterns as indices; a name met first takes the next index.
FlatLists index_patterns(const NamePatterns& patterns, absl::flat_hash_map<std::string, VarIndex>& var_index,
                         VarIndex& next) {
  std::vector<uint32_t> begin{0};
  std::vector<uint32_t> items;
  for (const auto& pattern : patterns) {
    for (const auto& name : pattern) {
      const auto [it, inserted] = var_index.try_emplace(name, next);
      if (inserted) ++next;
      items.push_back(static_cast<uint32_t>(it->second));
    }
    begin.push_back(static_cast<uint32_t>(items.size()));
  }
  return FlatLists(std::move(begin), std::move(items));
}

// The kept names that occur somewhere, and every lhs variable that the rhs
// uses again (deleting it would leave new hyperedges over a vertex that is
// gone); sorted, each once.
std::vector<VarIndex> kept_variables(const std::vector<std::string>& names,
                                     const absl::flat_hash_map<std::string, VarIndex>& var_index,
                                     const FlatLists& rhs, std::size_t lhs_var_count) {
  std::vector<VarIndex> kept;
  for (const auto& name : names) {
    if (const auto it = var_index.find(name); it != var_index.end()) kept.push_back(it->second);
  }
  for (const uint32_t v : rhs.items()) {
    if (v < lhs_var_count) kept.push_back(v);
  }
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  return kept;
}

// The lhs variables outside `kept` (which is sorted), ascending.
std::vector<uint32_t> deleted_variables(const std::vector<VarIndex>& kept, std::size_t lhs_var_count) {
  std::vector<uint32_t> deleted;
  for (VarIndex v = 0; v < lhs_var_count; ++v) {
    if (!std::binary_search(kept.begin(), kept.end(), v)) deleted.push_back(static_cast<uint32_t>(v));
  }
  return deleted;
}

// Per pattern, its distinct variables in ascending order.
FlatLists distinct_sorted(const FlatLists& patterns) {
  std::vector<uint32_t> begin{0};
  std::vector<uint32_t> items;
  items.reserve(patterns.items().size());
  for (const std::span<const uint32_t> pattern : patterns) {
    const auto first = static_cast<std::ptrdiff_t>(items.size());
    items.insert(items.end(), pattern.begin(), pattern.end());
    std::sort(items.begin() + first, items.end());
    items.erase(std::unique(items.begin() + first, items.end()), items.end());
    begin.push_back(static_cast<uint32_t>(items.size()));
  }
  return FlatLists(std::move(begin), std::move(items));
}

// Per variable, the patterns that hold it, ascending.
FlatLists patterns_holding(const FlatLists& distinct, std::size_t n) {
  std::vector<uint32_t> begin(n + 1, 0);
  for (const uint32_t v : distinct.items()) ++begin[v + 1];
  for (std::size_t v = 0; v < n; ++v) begin[v + 1] += begin[v];
  std::vector<uint32_t> items(begin[n]);
  std::vector<uint32_t> fill(begin.begin(), begin.end() - 1);
  for (std::size_t p = 0; p < distinct.size(); ++p) {
    for (const uint32_t v : distinct[p]) items[fill[v]++] = static_cast<uint32_t>(p);
  }
  return FlatLists(std::move(begin), std::move(items));
}

// Per variable, its lowest pattern-mate (another variable sharing a pattern
// with it), or kNoVariable. In a pattern, the mate of its lowest variable is
// the second-lowest and everyone else's the lowest.
std::vector<uint32_t> lowest_mates(const FlatLists& distinct, std::size_t n) {
  std::vector<uint32_t> lowest(n, kNoVariable);
  for (const std::span<const uint32_t> vars : distinct) {
    if (vars.size() < 2) continue;
    lowest[vars[0]] = std::min(lowest[vars[0]], vars[1]);
    for (std::size_t i = 1; i < vars.size(); ++i) lowest[vars[i]] = std::min(lowest[vars[i]], vars[0]);
  }
  return lowest;
}

// Per variable t, how many distinct later variables share a pattern with t.
// Only t's patterns past t are read; a variable in one pattern needs no
// marking at all, so a single pattern of k names costs O(k log k).
std::vector<uint32_t> later_mate_counts(const FlatLists& distinct, const FlatLists& holding, std::size_t n) {
  std::vector<uint32_t> later(n, 0);
  std::vector<uint32_t> met(n, kNoVariable);  // the last t that counted a variable
  for (std::size_t t = 0; t < n; ++t) {
    const std::span<const uint32_t> patterns = holding[t];
    for (const uint32_t p : patterns) {
      const std::span<const uint32_t> vars = distinct[p];
      const auto after = std::upper_bound(vars.begin(), vars.end(), t);
      if (patterns.size() == 1) {
        later[t] = static_cast<uint32_t>(vars.end() - after);
        break;
      }
      for (auto it = after; it != vars.end(); ++it) {
        if (met[*it] != t) {
          met[*it] = static_cast<uint32_t>(t);
          ++later[t];
        }
      }
    }
  }
  return later;
}

// What the search asks about each lhs variable before binding it.
std::vector<LhsVariable> lhs_variable_facts(const FlatLists& lhs, const FlatLists& distinct, std::size_t n) {
  std::vector<LhsVariable> facts(n);
  for (const uint32_t v : lhs.items()) ++facts[v].occurrences;
  const std::vector<uint32_t> lowest = lowest_mates(distinct, n);
  for (std::size_t v = 0; v < n; ++v) {
    if (lowest[v] < v) {
      facts[v].adjacent_to_bound = true;
      ++facts[lowest[v]].fresh_neighbours;
    }
  }
  const std::vector<uint32_t> later = later_mate_counts(distinct, patterns_holding(distinct, n), n);
  for (std::size_t t = 0; t < n; ++t) facts[t].candidate_neighbours = later[t] - facts[t].fresh_neighbours;
  return facts;
}

// Per lhs variable, the patterns completed when it is bound: a pattern is
// complete once its largest variable is bound. The first test happens at
// variable 1 (patterns over variable 0 alone and empty ones included), and
// none when there is no variable 1.
FlatLists cover_tests(const FlatLists& distinct, std::size_t n) {
  std::vector<uint32_t> level(distinct.size(), kNoVariable);
  std::vector<uint32_t> begin(n + 1, 0);
  for (std::size_t p = 0; p < distinct.size(); ++p) {
    const std::span<const uint32_t> vars = distinct[p];
    const uint32_t at = std::max<uint32_t>(vars.empty() ? 0 : vars.back(), 1);
    if (at < n) {
      level[p] = at;
      ++begin[at + 1];
    }
  }
  for (std::size_t t = 0; t < n; ++t) begin[t + 1] += begin[t];
  std::vector<uint32_t> items(begin[n]);
  std::vector<uint32_t> fill(begin.begin(), begin.end() - 1);
  for (std::size_t p = 0; p < distinct.size(); ++p) {
    if (level[p] != kNoVariable) items[fill[level[p]]++] = static_cast<uint32_t>(p);
  }
  return FlatLists(std::move(begin), std::move(items));
}

}  // namespace

RewriteRule::RewriteRule(FlatLists lhs, FlatLists rhs, std::vector<VarIndex> kept,
                         absl::flat_hash_map<std::string, VarIndex> var_index, double weight,
                         std::size_t lhs_var_count, std::vector<LhsVariable> lhs_variables,
                         FlatLists covered_at, std::vector<uint32_t> deleted)
    : lhs(std::move(lhs)),
      rhs(std::move(rhs)),
      kept(std::move(kept)),
      var_index(std::move(var_index)),
      weight(weight),
      lhs_var_count(lhs_var_count),
      var_count(this->var_index.size()),
      lhs_variables(std::move(lhs_variables)),
      covered_at(std::move(covered_at)),
      deleted(std::move(deleted)),
      rhs_repeats(repeats_a_variable(this->rhs)) {}

bool RewriteRule::is_kept(VarIndex v) const { return std::binary_search(kept.begin(), kept.end(), v); }

RewriteRule RewriteRule::compile(NamePatterns lhs_names, std::vector<std::string> kept_names,
                                 NamePatterns rhs_names, double weight) {
  absl::flat_hash_map<std::string, VarIndex> var_index;
  VarIndex next = 0;
  FlatLists lhs = index_patterns(lhs_names, var_index, next);
  const std::size_t n = next;
  FlatLists rhs = index_patterns(rhs_names, var_index, next);
  std::vector<VarIndex> kept = kept_variables(kept_names, var_index, rhs, n);
  std::vector<uint32_t> deleted = deleted_variables(kept, n);
  const FlatLists distinct = distinct_sorted(lhs);
  std::vector<LhsVariable> facts = lhs_variable_facts(lhs, distinct, n);
  FlatLists covered_at = cover_tests(distinct, n);
  return RewriteRule(std::move(lhs), std::move(rhs), std::move(kept), std::move(var_index), weight, n,
                     std::move(facts), std::move(covered_at), std::move(deleted));
}

}  // namespace vorn
