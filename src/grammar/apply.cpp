#include "grammar/apply.hpp"

#include <algorithm>
#include <utility>

namespace vorn {

namespace {

std::vector<VertexId> vertices_of(const std::vector<VarIndex>& pattern,
                                  const absl::flat_hash_map<VarIndex, VertexId>& bindings) {
  std::vector<VertexId> out;
  out.reserve(pattern.size());
  for (const VarIndex v : pattern) out.push_back(bindings.at(v));
  return out;
}

}  // namespace

UndoRecord apply_match(const RewriteRule& rule, Hypergraph& graph, MatchState match) {
  return apply_match_in_place(rule, graph, match);
}

UndoRecord apply_match_in_place(const RewriteRule& rule, Hypergraph& graph, MatchState& match) {
  UndoRecord record;
  record.pair_count_before = graph.structural_pair_count;
  graph.causal.begin_step();
  auto& bindings = match.bindings;

  // Phase 1: one hyperedge per lhs pattern, of exactly the pattern's length.
  for (const auto& pattern : rule.lhs) {
    if (pattern.empty()) continue;
    const std::vector<VertexId> image = vertices_of(pattern, bindings);
    const auto entry = graph.incidence.find(image.front());
    if (entry == graph.incidence.end()) continue;
    for (const EdgeId e : entry->second) {
      const auto edge = graph.hyperedges.find(e);
      if (edge == graph.hyperedges.end()) continue;
      const auto& list = edge->second.vertices;
      if (list.size() != image.size()) continue;
      const bool holds_all = std::all_of(image.begin(), image.end(), [&list](VertexId v) {
        return std::find(list.begin(), list.end(), v) != list.end();
      });
      if (!holds_all) continue;
      if (auto removed = graph.remove_hyperedge(e)) {
        record.removed_edges.emplace(e, std::move(*removed));
      }
      break;  // `entry` may have changed: stop walking it
    }
  }

  // Phase 2: delete the vertices of unkept lhs variables with the hyperedges
  // still on them. Any
  // order of the variables will do; index order needs no set.
  for (VarIndex v = 0; v < rule.var_count; ++v) {
    if (rule.kept.contains(v)) continue;
    const auto bound = bindings.find(v);
    if (bound == bindings.end()) continue;
    const VertexId m = bound->second;
    for (const EdgeId e : graph.edges_containing(m)) {
      if (auto removed = graph.remove_hyperedge(e)) {
        record.removed_edges.emplace(e, std::move(*removed));
      }
    }
    // (The causal state around m is saved for an undo when it is replayed.)
    if (auto removed = graph.remove_vertex(m)) {
      record.removed_vertices.emplace(m, std::move(*removed));
    }
  }

  // Phase 3: one new vertex per rhs-only variable, at its first occurrence.
  for (const auto& pattern : rule.rhs) {
    for (const VarIndex v : pattern) {
      if (bindings.contains(v)) continue;
      const VertexId id = graph.add_vertex();
      record.created_vertices.push_back(id);
      bindings.emplace(v, id);
    }
  }

  // Phase 4: the rhs hyperedges; each position is a cause of the next.
  for (const auto& pattern : rule.rhs) {
    std::vector<VertexId> list = vertices_of(pattern, bindings);
    const EdgeId e = graph.add_hyperedge(list);
    record.created_edges.push_back(e);
    for (std::size_t k = 0; k + 1 < list.size(); ++k) {
      graph.add_causal_relation(list[k], list[k + 1]);
    }
  }
  graph.causal.end_step();
  record.causal_step = graph.causal.step_token();
  return record;
}

}  // namespace vorn
