// RewriteRule: a rule compiled from variable names to dense indices.
//
// Invariants: indices are 0..N-1 over the distinct names of lhs and rhs;
// left-hand-side variables are exactly 0..lhs_var_count-1 (variable 0 is the
// first name of the first non-empty lhs pattern); `lhs_occurrences` has an
// entry >= 1 for exactly the lhs variables; `kept` holds the indices of kept
// names that occur somewhere. A rule never changes after compilation.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"

namespace vorn {

using VarIndex = std::size_t;
using NamePatterns = std::vector<std::vector<std::string>>;

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

  // Derived for the matcher. For each lhs variable t: the other lhs variables
  // that share a pattern with t, each once, in pattern order.
  std::vector<std::vector<VarIndex>> lhs_neighbours;
  // For each lhs variable t >= 1: the patterns whose cover must be tested
  // once t is bound (those whose largest variable is t; at t = 1 also those
  // over variable 0 alone and the empty ones).
  std::vector<std::vector<std::size_t>> cover_tests;

  // Compiles the names. Never fails. A name in both lhs and rhs is kept even
  // when `kept` omits it, so its vertex survives and is reused: a rewrite
  // never creates a hyperedge over a vertex it deleted.
  static RewriteRule compile(NamePatterns lhs, std::vector<std::string> kept,
                             NamePatterns rhs, double weight);
};

// The weight as text for error messages: the shortest decimal that reads
// back to the same double, positional, "NaN", "inf" or "-inf".
std::string format_weight(double weight);

// The message of the error for a weight that is not finite and positive, or
// nothing when the weight is acceptable.
std::optional<std::string> weight_error(double weight);

}  // namespace vorn
