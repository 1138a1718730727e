// A match by vertex ids, for tests: the bindings of variables 0..n-1 of a
// fresh search from `anchor`, or nothing.
#pragma once

#include <optional>
#include <vector>

#include "grammar/matcher.hpp"

namespace vorn {

inline std::optional<std::vector<VertexId>> find_match(const RewriteRule& rule, const Hypergraph& graph,
                                                       VertexId anchor, bool dpo) {
  Matcher matcher;
  MatchState match;
  const Slot slot = graph.slot_of(anchor).value_or(kNoSlot);
  if (!matcher.find(rule, graph, slot, dpo, match)) return std::nullopt;
  std::vector<VertexId> out;
  for (std::size_t v = 0; v < rule.lhs_var_count; ++v) out.push_back(graph.id_of(match.binding[v]));
  return out;
}

}  // namespace vorn
