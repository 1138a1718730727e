#include "grammar/apply.hpp"

#include <algorithm>
#include <vector>

namespace vorn {

namespace {

bool holds(std::span<const Slot> list, Slot s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

void apply_match(const RewriteRule& rule, Hypergraph& graph, MatchState& match,
                 UndoRecord& record) {
  std::vector<Slot>& binding = match.binding;
  graph.begin_rewrite(record);

  // Phase 1: one hyperedge per lhs pattern, of exactly the pattern's length,
  // holding every vertex of the pattern (order and multiplicity aside).
  for (const auto& pattern : rule.lhs) {
    if (pattern.empty()) continue;
    const Slot first = binding[pattern.front()];
    for (const EdgeSlot e : graph.incidence(first)) {
      const std::span<const Slot> members = graph.members(e);
      if (members.size() != pattern.size()) continue;
      const bool holds_all = std::all_of(pattern.begin(), pattern.end(),
                                         [&](VarIndex v) { return holds(members, binding[v]); });
      if (!holds_all) continue;
      graph.remove_hyperedge(e, record);
      break;  // the incidence list changed: stop walking it
    }
  }

  // Phase 2: delete the vertices of unkept lhs variables with the hyperedges
  // still on them. (The causal state around each is saved for an undo when
  // the causal log is replayed.)
  for (const uint32_t v : rule.deleted) {
    const Slot m = binding[v];
    if (!graph.is_vertex(m)) continue;
    while (!graph.incidence(m).empty()) graph.remove_hyperedge(graph.incidence(m).front(), record);
    graph.remove_vertex(m, record);
  }

  // Phase 3: one new vertex per rhs-only variable, at its first occurrence.
  for (const auto& pattern : rule.rhs) {
    for (const VarIndex v : pattern) {
      if (binding[v] == kNoSlot) binding[v] = graph.add_vertex(record);
    }
  }

  // Phase 4: the rhs hyperedges; each position is a cause of the next.
  std::vector<Slot>& members = match.scratch;
  for (const auto& pattern : rule.rhs) {
    members.clear();
    for (const VarIndex v : pattern) members.push_back(binding[v]);
    graph.add_hyperedge(members, record);
    for (std::size_t k = 0; k + 1 < members.size(); ++k) {
      graph.add_causal_relation(members[k], members[k + 1]);
    }
  }
  graph.end_rewrite(record);
}

}  // namespace vorn
