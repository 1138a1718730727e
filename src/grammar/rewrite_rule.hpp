// RewriteRule: a rule compiled from variable names to dense indices.
//
// Invariants: indices are 0..N-1 over the distinct names of lhs and rhs;
// left-hand-side variables are exactly 0..lhs_var_count-1 (variable 0 is the
// first name of the first non-empty lhs pattern) and right-hand-side-only ones
// lhs_var_count..N-1, each group numbered in order of first occurrence; `lhs_occurrences` has an
// entry >= 1 for exactly the lhs variables; `kept` holds the indices of kept
// names that occur somewhere. A rule never changes after compilation.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"

namespace vorn {

using VarIndex = std::size_t;
using NamePatterns = std::vector<std::vector<std::string>>;

// Patterns laid out flat: pattern p's variables are
// vars[begin[p] .. begin[p + 1]).
struct FlatPatterns {
  std::vector<uint32_t> begin{0};
  std::vector<uint32_t> vars;
  std::size_t size() const { return begin.size() - 1; }
  std::span<const uint32_t> operator[](std::size_t p) const {
    return {vars.data() + begin[p], begin[p + 1] - begin[p]};
  }
};

struct RewriteRule {
  std::vector<std::vector<VarIndex>> lhs;
  std::vector<std::vector<VarIndex>> rhs;
  absl::flat_hash_set<VarIndex> kept;
  absl::flat_hash_map<std::string, VarIndex> var_index;
  absl::flat_hash_map<VarIndex, std::size_t> lhs_occurrences;
  double weight = 1.0;
  std::size_t lhs_var_count = 0;
  // Number of distinct names over lhs and rhs.
  std::size_t var_count = 0;

  // Facts the matcher and rule application read, compiled once in time and
  // space linear in the rule's size (a pattern of 10^4 names compiles as
  // fast as 10^4 patterns of one name).
  //
  // Variables are bound in index order, so at the level that binds t the
  // bound variables are exactly 0..t-1 and everything the search asks about
  // variables is static: whether t shares a pattern with a bound variable
  // (`in_frontier`), how many later variables share one with t and with a
  // bound variable (look-ahead A) or with t as their lowest pattern-mate
  // (look-ahead B).
  FlatPatterns flat_lhs, flat_rhs;        // lhs and rhs, flat
  std::vector<uint32_t> occurrences;      // per lhs variable
  std::vector<uint8_t> is_kept;           // per variable
  std::vector<uint8_t> in_frontier;       // per lhs variable
  std::vector<uint32_t> new_mates;        // per lhs variable: look-ahead B
  std::vector<uint32_t> mates_begin;      // CSR: the lhs patterns holding each lhs
  std::vector<uint32_t> mates_pattern;    //   variable, each once, in pattern order
  std::vector<uint32_t> tests_begin;      // CSR: the patterns whose cover is tested
  std::vector<uint32_t> tests_pattern;    //   once variable t is bound
  std::vector<uint32_t> deleted;          // lhs variables whose vertex is deleted
  uint32_t new_vertices = 0;              // rhs-only variables: vertices a rewrite creates
  bool rhs_repeats = false;               // an rhs pattern names a variable twice
                                          // (its hyperedges repeat a vertex)
  // Per lhs variable t: the number of later variables sharing a pattern with
  // t (A + B), worked out on first use (its cost is that of the patterns
  // holding t, which a search reaching t pays anyway); -1 until then.
  mutable std::vector<int64_t> later_mates;
  mutable std::vector<uint32_t> met_;
  // Look-ahead A for variable t (fills later_mates[t] on first use).
  uint32_t old_mates(std::size_t t) const {
    if (later_mates[t] < 0) count_later_mates(t);
    return static_cast<uint32_t>(later_mates[t]) - new_mates[t];
  }

  // Compiles the names. Never fails. A name in both lhs and rhs is kept even
  // when `kept` omits it, so its vertex survives and is reused: a rewrite
  // never creates a hyperedge over a vertex it deleted.
  static RewriteRule compile(NamePatterns lhs, std::vector<std::string> kept,
                             NamePatterns rhs, double weight);

 private:
  static void compile_matcher_facts(RewriteRule& rule);
  void count_later_mates(std::size_t t) const;
};

// Whether a rule may have this weight: finite and positive (a weight of 0
// would never fire).
inline bool acceptable_weight(double weight) { return std::isfinite(weight) && weight > 0.0; }

}  // namespace vorn
