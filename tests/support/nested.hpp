// Test view of a rule's flat lists as nested vectors, for comparisons.
#pragma once

#include <vector>

#include "grammar/rewrite_rule.hpp"

namespace vorn {

inline std::vector<std::vector<VarIndex>> nested(const FlatLists& lists) {
  std::vector<std::vector<VarIndex>> out;
  for (const auto list : lists) out.emplace_back(list.begin(), list.end());
  return out;
}

}  // namespace vorn
