// RewriteRule: a rule compiled from variable names to dense indices, together
// with everything the matcher and rule application ask about it.
//
// Invariants: indices are 0..N-1 over the distinct names of lhs and rhs;
// left-hand-side variables are exactly 0..lhs_var_count-1 (variable 0 is the
// first name of the first non-empty lhs pattern) and right-hand-side-only ones
// lhs_var_count..N-1, each group numbered in order of first occurrence; every
// lhs variable occurs at least once; `kept` is sorted and holds the indices
// of kept names that occur somewhere. Every member is computed by `compile`
// and const afterwards.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "grammar/flat_lists.hpp"

namespace vorn {

using VarIndex = std::size_t;
using NamePatterns = std::vector<std::vector<std::string>>;

// What the search knows about the left-hand-side variable t before binding
// it. Variables are bound in index order, so at that point the bound ones are
// exactly 0..t-1 and all of this is fixed by the rule.
struct LhsVariable {
  // Positions of t over all lhs patterns: a candidate needs at least as many
  // incidence entries (the degree test).
  uint32_t occurrences = 0;
  // t shares a pattern with a bound variable, so its candidates are the
  // unbound neighbours of bound vertices (otherwise: every live vertex).
  bool adjacent_to_bound = false;
  // Look-ahead on the later variables that share a pattern with t: each needs
  // its own neighbour of the candidate. Those that also share a pattern with
  // a bound variable need one that is a candidate already ...
  uint32_t candidate_neighbours = 0;
  // ... and those whose lowest pattern-mate is t need one that is not.
  uint32_t fresh_neighbours = 0;
};

struct RewriteRule {
  // The patterns, as variable indices, in the order and with the repeats given.
  const FlatLists lhs;
  const FlatLists rhs;
  const std::vector<VarIndex> kept;
  const absl::flat_hash_map<std::string, VarIndex> var_index;
  const double weight = 1.0;
  const std::size_t lhs_var_count = 0;
  // Number of distinct names over lhs and rhs.
  const std::size_t var_count = 0;

  // Per lhs variable, what the search asks about it.
  const std::vector<LhsVariable> lhs_variables;
  // Per lhs variable t, the lhs patterns whose cover is tested once t is
  // bound: those whose largest variable is t (from variable 1 on; patterns
  // over variable 0 alone, and empty ones, are tested at variable 1).
  const FlatLists covered_at;
  // The lhs variables whose vertex a rewrite deletes, ascending.
  const std::vector<uint32_t> deleted;
  // Whether an rhs pattern names a variable twice (its hyperedges then
  // repeat a vertex, which the store's exact pair count does not follow).
  const bool rhs_repeats;

  // How many vertices a rewrite creates: one per rhs-only variable.
  std::size_t created_vertex_count() const { return var_count - lhs_var_count; }
  bool is_kept(VarIndex v) const;

  // Compiles the names, in time and space about linear in the rule's size.
  // Never fails. A name in both lhs and rhs is kept even when `kept` omits
  // it, so its vertex survives and is reused: a rewrite never creates a
  // hyperedge over a vertex it deleted.
  static RewriteRule compile(NamePatterns lhs, std::vector<std::string> kept, NamePatterns rhs,
                             double weight);

 private:
  RewriteRule(FlatLists lhs, FlatLists rhs, std::vector<VarIndex> kept,
              absl::flat_hash_map<std::string, VarIndex> var_index, double weight, std::size_t lhs_var_count,
              std::vector<LhsVariable> lhs_variables, FlatLists covered_at, std::vector<uint32_t> deleted);
};

// Whether a rule may have this weight: finite and positive (a weight of 0
// would never fire).
inline bool acceptable_weight(double weight) { return std::isfinite(weight) && weight > 0.0; }

}  // namespace vorn
