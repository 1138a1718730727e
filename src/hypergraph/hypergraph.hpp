// The hypergraph store: vertices and ordered hyperedges with process-wide ids,
// incidence, the live-vertex vector for uniform anchor draws, the causal
// relation between vertices and an incrementally kept structural pair count.
//
// Invariants kept by every writer:
// - `vertex_list` holds each key of `vertices` exactly once and
//   `vertex_positions` maps each of them to its index there;
// - a vertex made by `add_vertex` has causal links and both causal sets, with
//   its own bit set, until it is removed;
// - for every stored hyperedge, the incidence entry of each of its vertices
//   holds the hyperedge id once per occurrence (unless `remove_vertex` dropped
//   the entry). Entries may be empty and outlive their hyperedges.
// - `causes`, `effects` and causal sets may name removed vertices.
// The store trusts its callers: unknown ids give empty results, never errors.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "hypergraph/causal_graph.hpp"
#include "hypergraph/fixed_bit_set.hpp"

namespace vorn {

using VertexId = uint64_t;
using EdgeId = uint64_t;

// Process-wide id sources shared by every engine; never reset or decremented.
extern std::atomic<uint64_t> VERTEX_ID_COUNTER;
extern std::atomic<uint64_t> EDGE_ID_COUNTER;

// A live vertex. Its causal data lives in the store's CausalGraph.
struct Vertex {
  VertexId id = 0;
  absl::flat_hash_map<std::string, double> observables;
};

// A removed vertex with everything needed to put it back (its causal links
// are kept by the CausalGraph's undo of the step).
struct VertexRecord {
  Vertex vertex;
};

struct Hyperedge {
  EdgeId id = 0;
  std::vector<VertexId> vertices;
};

struct UndoRecord;

inline constexpr uint64_t kDefaultCausalHorizon = 6;
inline constexpr uint64_t kDefaultBitsetCapacity = 1024;

struct Hypergraph {
  std::vector<VertexId> vertex_list;
  absl::flat_hash_map<VertexId, Vertex> vertices;
  absl::flat_hash_map<EdgeId, Hyperedge> hyperedges;
  // Per vertex: depth, direct causes and effects, past and future sets.
  CausalGraph causal;
  absl::flat_hash_map<VertexId, std::vector<EdgeId>> incidence;
  absl::flat_hash_map<VertexId, uint64_t> vertex_positions;
  uint64_t structural_pair_count = 0;
  uint64_t causal_horizon = kDefaultCausalHorizon;
  uint64_t bitset_capacity = kDefaultBitsetCapacity;

  // Store operations.
  VertexId add_vertex();
  EdgeId add_hyperedge(std::vector<VertexId> list);
  std::optional<VertexRecord> remove_vertex(VertexId v);
  std::optional<Hyperedge> remove_hyperedge(EdgeId e);
  std::vector<EdgeId> edges_containing(VertexId v) const;
  absl::flat_hash_set<VertexId> structural_neighbors(VertexId v) const;

  // Causal relation: a is recorded as a direct cause of b and the relation
  // propagates within `causal_horizon`.
  void add_causal_relation(VertexId a, VertexId b) {
    causal.add_relation(a, b, causal_horizon, bitset_capacity,
                        vertices.contains(a) && vertices.contains(b));
  }
  // The ids in v's causal past or future set (v included); empty without one.
  absl::flat_hash_set<VertexId> causal_past(VertexId v) const;
  absl::flat_hash_set<VertexId> causal_future(VertexId v) const;

  // Undo (undo.cpp): puts the store back to its state before the step that
  // filled the record.
  void execute_undo_record(UndoRecord record);

  // Helpers shared by the operations above.
  // Whether the pair (v, u) is covered by a stored hyperedge in v's incidence
  // entry other than `excluded` that contains u.
  bool pair_covered(VertexId v, VertexId u, std::optional<EdgeId> excluded) const;
  // Step 3 of add_hyperedge: incidence and pair count for a stored hyperedge e.
  void link_hyperedge(EdgeId e, const std::vector<VertexId>& list);
  // Removes v from `vertex_list` by moving the last id into its place.
  void unlist_vertex(VertexId v);
};

}  // namespace vorn
