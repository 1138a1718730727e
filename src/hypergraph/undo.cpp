// Executing an undo record: the created records go, the removed ones come
// back under their old ids, and the causal data is put back as it was.
#include <vector>

#include "hypergraph/hypergraph.hpp"

namespace vorn {

void Hypergraph::execute_undo_record(UndoRecord& record) {
  // 1. Created vertices go (their incidence lists too, while the created
  // hyperedges still name them); other vertices keep their causal references
  // to them (the ids are never handed out again).
  for (const auto& [s, id] : record.created_vertices) {
    if (s < vertices_.size() && vertices_[s].id == id && is_vertex(s)) {
      unlink_vertex(s);
      free_if_unused(s);
    }
  }
  // 2. Created hyperedges go.
  for (const auto& [e, id] : record.created_edges) {
    if (e < edges_.size() && edges_[e].live() && edges_[e].id() == id) unstore_hyperedge(e);
  }
  // 3. Removed vertices come back at the end of the live list, with the
  // observables they had.
  std::size_t observed = 0;
  for (const auto& removed : record.removed_vertices) {
    const Slot s = slot_for_member(removed.id);
    if (!is_vertex(s)) list_vertex(s);
    if (removed.has_observables) {
      observables_.insert_or_assign(removed.id, std::move(record.removed_observables[observed++]));
      vertices_[s].flags |= kObserved;
    }
  }
  // 4. Removed hyperedges come back under their old ids, at the end of their
  // vertices' incidence lists.
  std::vector<Slot> members;
  for (const auto& removed : record.removed_edges) {
    members.clear();
    for (uint32_t i = 0; i < removed.size; ++i) {
      members.push_back(slot_for_member(record.removed_edge_vertices[removed.first + i]));
    }
    const EdgeSlot e = store_hyperedge(removed.id, members);
    for (const Slot s : edges_[e].members()) {
      if ((vertices_[s].flags & kComplete) == 0) pair_count_exact_ = false;
    }
  }
  // 5. The causal side: created vertices lose their causal data, deleted ones
  // get their links back, and the data saved around them is put back.
  causal_.undo_step(record.causal_step);
  // 6. The pair count as it was: the steps above follow the hyperedges, but
  // the count of a hyperedge depends on what covered its pairs at the time.
  pair_count_ = record.pair_count_before;
  record.clear();
}

}  // namespace vorn
