#include "grammar/apply.hpp"

#include <algorithm>

#include "hypergraph/assert.hpp"

namespace vorn {

void apply_match(const RewriteRule& rule, Hypergraph& graph, MatchState& match, UndoRecord& record) {
  VORN_ASSERT(match.binding.size() == rule.var_count);
  Slot* binding = match.binding.data();
  graph.begin_rewrite(record, static_cast<uint32_t>(rule.created_vertex_count()),
                      static_cast<uint32_t>(rule.rhs.size()));

  // Phase 1: one hyperedge per lhs pattern, of exactly the pattern's length,
  // holding every vertex of the pattern (order and multiplicity aside). A
  // hyperedge on the first vertex's incidence list holds that vertex.
  const FlatLists& lhs = rule.lhs;
  for (std::size_t p = 0; p < lhs.size(); ++p) {
    const std::span<const uint32_t> pattern = lhs[p];
    if (pattern.empty()) continue;
    const std::size_t size = pattern.size();
    for (const EdgeSlot e : graph.incidence(binding[pattern[0]])) {
      const std::span<const Slot> members = graph.members(e);
      if (members.size() != size) continue;
      bool holds_all = true;
      if (size == 2) {
        holds_all = members[0] == binding[pattern[1]] || members[1] == binding[pattern[1]];
      } else {
        for (std::size_t i = 1; i < size && holds_all; ++i) {
          holds_all = std::find(members.begin(), members.end(), binding[pattern[i]]) != members.end();
        }
      }
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

  // Phase 3: one new vertex per rhs-only variable, in the order of their
  // first occurrences (which is their index order).
  for (std::size_t v = rule.lhs_var_count; v < rule.var_count; ++v) binding[v] = graph.add_vertex(record);
  const FlatLists& rhs = rule.rhs;

  // Phase 4: the rhs hyperedges; each position is a cause of the next.
  std::vector<Slot>& scratch = match.scratch;
  for (std::size_t p = 0; p < rhs.size(); ++p) {
    const std::span<const uint32_t> pattern = rhs[p];
    Slot few[8];
    Slot* members = few;
    if (pattern.size() > std::size(few)) {
      scratch.resize(pattern.size());
      members = scratch.data();
    }
    for (std::size_t i = 0; i < pattern.size(); ++i) members[i] = binding[pattern[i]];
    graph.add_hyperedge({members, pattern.size()}, record);
    for (std::size_t k = 0; k + 1 < pattern.size(); ++k) {
      graph.add_causal_relation(members[k], members[k + 1]);
    }
  }
  graph.end_rewrite(record);
}

}  // namespace vorn
