// UndoRecord: what one rewrite removed and created, enough for
// Hypergraph::execute_undo_record to put the store back as it was before.
//
// Records name the graph by ids (and, for what the step created, the slots
// that held it), own the removed data, and keep their buffers' capacity when
// cleared: the engine reuses one record for every step, so a record costs
// O(what the step changed) and no allocation in steady state. The causal side
// of the step is kept by the CausalGraph; the record holds its token.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "hypergraph/byte_stream.hpp"
#include "hypergraph/ids.hpp"

namespace vorn {

using Observables = absl::flat_hash_map<std::string, double>;

struct UndoRecord {
  struct Created {
    uint32_t slot;
    uint64_t id;
  };
  struct RemovedVertex {
    VertexId id;
    bool has_observables;  // its observables are the next ones in `removed_observables`
  };
  struct RemovedEdge {
    EdgeId id;
    uint32_t first;  // its vertices: removed_edge_vertices[first, first + size)
    uint32_t size;
  };

  // In creation order.
  std::vector<Created> created_vertices;
  std::vector<Created> created_edges;
  // In removal order; each removed record once.
  std::vector<RemovedVertex> removed_vertices;
  std::vector<Observables> removed_observables;
  std::vector<RemovedEdge> removed_edges;
  std::vector<VertexId> removed_edge_vertices;
  // The structural pair count before the step. Re-adding and removing
  // hyperedges does not always retrace the count (it depends on the order in
  // which overlapping hyperedges came and went, and is cut off at 0), so the
  // undo puts the count itself back.
  uint64_t pair_count_before = 0;
  // The causal side of the step (CausalGraph::step_token).
  uint64_t causal_step = 0;

  void clear() {
    created_vertices.clear();
    created_edges.clear();
    removed_vertices.clear();
    removed_observables.clear();
    removed_edges.clear();
    removed_edge_vertices.clear();
    pair_count_before = 0;
    causal_step = 0;
  }

  // The record as bytes and back. `load` checks the record's own shape
  // (observables for exactly the vertices flagged as having them, vertex
  // lists as long as the sizes say); whether it fits a store is the
  // caller's check.
  void save(ByteWriter& out) const;
  static std::optional<UndoRecord> load(ByteReader& in);
};

// Observables in key order, so that equal maps give equal bytes.
void save_observables(ByteWriter& out, const Observables& values);
bool load_observables(ByteReader& in, Observables& values);

}  // namespace vorn
