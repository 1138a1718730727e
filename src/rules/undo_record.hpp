// UndoRecord: what one rewrite removed and created, and the token of its
// causal side. It owns everything in it and names the
// graph only by ids; executing it (Hypergraph::execute_undo_record) puts the
// store back to its state before the rewrite.
#pragma once

#include <vector>

#include "absl/container/flat_hash_map.h"
#include "hypergraph/fixed_bit_set.hpp"
#include "hypergraph/hypergraph.hpp"

namespace vorn {

struct UndoRecord {
  std::vector<VertexId> created_vertices;
  std::vector<EdgeId> created_edges;
  absl::flat_hash_map<VertexId, VertexRecord> removed_vertices;
  absl::flat_hash_map<EdgeId, Hyperedge> removed_edges;
  // The causal side of the step (CausalGraph::step_token); the CausalGraph
  // keeps what its undo needs.
  uint64_t causal_step = 0;
  // The structural pair count before the step. Re-adding and removing
  // hyperedges does not always retrace the count (it depends on the order in
  // which overlapping hyperedges came and went, and is cut off at 0), so the
  // undo puts the count itself back.
  uint64_t pair_count_before = 0;
};

}  // namespace vorn
