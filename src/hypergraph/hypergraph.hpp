// The hypergraph store: vertices and ordered hyperedges with process-wide ids,
// incidence, the live-vertex vector for uniform anchor draws, the causal
// relation between vertices and an incrementally kept structural pair count.
//
// Invariants kept by every writer:
// - `vertex_list` holds each key of `vertices` exactly once and
//   `vertex_positions` maps each of them to its index there;
// - a vertex made by `add_vertex` has both causal sets, with its own bit set,
//   until it is removed;
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
#include "hypergraph/fixed_bit_set.hpp"

namespace vorn {

using VertexId = uint64_t;
using EdgeId = uint64_t;

// Process-wide id sources shared by every engine; never reset or decremented.
extern std::atomic<uint64_t> VERTEX_ID_COUNTER;
extern std::atomic<uint64_t> EDGE_ID_COUNTER;

struct Vertex {
  VertexId id = 0;
  uint64_t causal_depth = 1;
  std::vector<VertexId> causes;
  std::vector<VertexId> effects;
  absl::flat_hash_map<std::string, double> observables;
};

struct Hyperedge {
  EdgeId id = 0;
  std::vector<VertexId> vertices;
};

struct UndoRecord;

inline constexpr uint64_t kDefaultCausalHorizon = 6;
inline constexpr uint64_t kDefaultBitsetCapacity = 1024;

// The smallest power of two not below max(a, b), 1 when that is below 2;
// saturates at 2^64 - 1 where the power of two does not fit.
uint64_t causal_set_length(uint64_t a, uint64_t b);

struct Hypergraph {
  std::vector<VertexId> vertex_list;
  absl::flat_hash_map<VertexId, Vertex> vertices;
  absl::flat_hash_map<EdgeId, Hyperedge> hyperedges;
  absl::flat_hash_map<VertexId, FixedBitSet> causal_future_sets;
  absl::flat_hash_map<VertexId, FixedBitSet> causal_past_sets;
  absl::flat_hash_map<VertexId, std::vector<EdgeId>> incidence;
  absl::flat_hash_map<VertexId, uint64_t> vertex_positions;
  uint64_t structural_pair_count = 0;
  uint64_t causal_horizon = kDefaultCausalHorizon;
  uint64_t bitset_capacity = kDefaultBitsetCapacity;

  // Store operations.
  VertexId add_vertex();
  EdgeId add_hyperedge(std::vector<VertexId> list);
  std::optional<Vertex> remove_vertex(VertexId v);
  std::optional<Hyperedge> remove_hyperedge(EdgeId e);
  std::vector<EdgeId> edges_containing(VertexId v) const;
  absl::flat_hash_set<VertexId> structural_neighbors(VertexId v) const;

  // Causal relation (causal.cpp).
  void add_causal_relation(VertexId a, VertexId b);
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
  uint64_t depth_of(VertexId v) const;
};

}  // namespace vorn
