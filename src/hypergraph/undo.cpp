// Executing an undo record: the created records go, the removed ones come
// back under their old ids, and the saved causal data is put back in full.
#include <utility>

#include "hypergraph/hypergraph.hpp"
#include "rules/undo_record.hpp"

namespace vorn {

void Hypergraph::execute_undo_record(UndoRecord record) {
  // 1. Created vertices go; other vertices keep their references to them.
  for (const VertexId v : record.created_vertices) {
    vertices.erase(v);
    causal_future_sets.erase(v);
    causal_past_sets.erase(v);
    incidence.erase(v);
    unlist_vertex(v);
  }
  // 2. Created hyperedges go.
  for (const EdgeId e : record.created_edges) remove_hyperedge(e);
  // 3. Removed vertices come back at the end of vertex_list.
  for (auto& [id, vertex] : record.removed_vertices) {
    if (vertex_positions.contains(id)) unlist_vertex(id);  // never listed twice
    vertices.insert_or_assign(id, std::move(vertex));
    vertex_positions.insert_or_assign(id, vertex_list.size());
    vertex_list.push_back(id);
  }
  // 4. Removed hyperedges come back under their old ids.
  for (auto& [e, edge] : record.removed_edges) {
    auto [it, inserted] = hyperedges.insert_or_assign(e, Hyperedge{e, edge.vertices});
    (void)inserted;
    link_hyperedge(e, it->second.vertices);
  }
  // 5-8. Saved causal data replaces what is there.
  for (auto& [id, set] : record.saved_future_sets) {
    causal_future_sets.insert_or_assign(id, std::move(set));
  }
  for (auto& [id, set] : record.saved_past_sets) {
    causal_past_sets.insert_or_assign(id, std::move(set));
  }
  for (auto& [id, list] : record.saved_causes) {
    if (const auto it = vertices.find(id); it != vertices.end()) it->second.causes = std::move(list);
  }
  for (auto& [id, list] : record.saved_effects) {
    if (const auto it = vertices.find(id); it != vertices.end()) {
      it->second.effects = std::move(list);
    }
  }
}

}  // namespace vorn
