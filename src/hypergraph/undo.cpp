// Executing an undo record: the created records go, the removed ones come
// back under their old ids, and the causal data is put back as it was.
#include <utility>

#include "hypergraph/hypergraph.hpp"
#include "rules/undo_record.hpp"

namespace vorn {

void Hypergraph::execute_undo_record(UndoRecord record) {
  // 1. Created vertices go; other vertices keep their causal references to
  // them (the ids are never handed out again).
  for (const VertexId v : record.created_vertices) {
    vertices.erase(v);
    incidence.erase(v);
    unlist_vertex(v);
  }
  // 2. Created hyperedges go.
  for (const EdgeId e : record.created_edges) remove_hyperedge(e);
  // 3. Removed vertices come back at the end of vertex_list.
  for (auto& [id, removed] : record.removed_vertices) {
    if (vertex_positions.contains(id)) unlist_vertex(id);  // never listed twice
    vertices.insert_or_assign(id, std::move(removed.vertex));
    vertex_positions.insert_or_assign(id, vertex_list.size());
    vertex_list.push_back(id);
  }
  // 4. Removed hyperedges come back under their old ids.
  for (auto& [e, edge] : record.removed_edges) {
    auto [it, inserted] = hyperedges.insert_or_assign(e, Hyperedge{e, edge.vertices});
    (void)inserted;
    link_hyperedge(e, it->second.vertices);
  }
  // The causal side: created vertices lose their causal data, deleted ones
  // get their links back, and the data saved around them is put back.
  causal.undo_step(record.causal_step);
  // 9. The pair count as it was: the steps above follow the hyperedges, but
  // the count of a hyperedge depends on what covered its pairs at the time.
  structural_pair_count = record.pair_count_before;
}

}  // namespace vorn
