// CausalGraph: the causal relation between vertices. Per vertex it keeps a
// depth, the direct causes and effects, and a causal past and future set
// (each holding the vertex itself); a recorded relation propagates through
// the relations already known, within the causal horizon.
//
// Relations are recorded at once but propagated lazily: `add_vertex`,
// `add_relation` and `drop_vertex` append to a log that is replayed, in order and with the
// settings in force when each entry was made, before anything reads the
// causal state. The result is exactly that of propagating every relation
// when it is recorded; a run that never reads the causal state never pays
// for propagation, whose cost grows with the reachable past.
//
// Invariants: after `sync()` the log is empty. A vertex has links while it is
// a live vertex of the store (or restored by an undo); ids without links
// count as depth 1 and are skipped where links or sets are needed.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "hypergraph/causal_list.hpp"
#include "hypergraph/fixed_bit_set.hpp"

namespace vorn {

using VertexId = uint64_t;

struct CausalLinks {
  uint64_t depth = 1;
  CausalList causes;
  CausalList effects;
};

class CausalGraph {
 public:
  // A new vertex: depth 1, no links, both sets of length
  // causal_set_length(capacity, id + 1) or `capacity`, with the own bit set.
  void add_vertex(VertexId id, uint64_t capacity);
  // Records a as a direct cause of b.
  void add_relation(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity);
  // Drops v's links and sets and nothing else (other vertices keep their
  // references to v).
  void drop_vertex(VertexId v);
  // Drops v's links and sets after clearing v's bit from the future sets of
  // its past and the past sets of its future. Returns v's links, if any.
  std::optional<CausalLinks> remove_vertex(VertexId v);

  // Reads, each after bringing the state up to date. Null when absent.
  const CausalLinks* links(VertexId v) const;
  const FixedBitSet* past(VertexId v) const;
  const FixedBitSet* future(VertexId v) const;

  // Writes used by undo; they replace what is there.
  void restore_links(VertexId v, CausalLinks links);
  void restore_past(VertexId v, FixedBitSet set);
  void restore_future(VertexId v, FixedBitSet set);
  // Replaces v's causes or effects when v has links; otherwise does nothing.
  void replace_causes(VertexId v, CausalList causes);
  void replace_effects(VertexId v, CausalList effects);

  // Replays the log. Logically const: it changes no result of any read.
  void sync() const;
  std::size_t pending() const { return log_.size(); }

 private:
  enum class Kind : uint8_t { relate, drop, create };
  struct Entry {
    Kind kind;
    VertexId a;
    VertexId b;  // relations only
    uint64_t horizon;   // relations only
    uint64_t capacity;  // relations and creations
  };
  void create(VertexId id, uint64_t capacity) const;
  void relate(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity) const;
  void erase(VertexId v) const;
  uint64_t depth_of(VertexId v) const;

  mutable std::vector<Entry> log_;
  mutable absl::flat_hash_map<VertexId, CausalLinks> links_;
  mutable absl::flat_hash_map<VertexId, FixedBitSet> future_;
  mutable absl::flat_hash_map<VertexId, FixedBitSet> past_;
  // Scratch for the breadth-first passes, kept to avoid per-call allocation.
  mutable absl::flat_hash_set<VertexId> visited_;
  mutable std::vector<VertexId> queue_;
};

// The smallest power of two not below max(a, b), 1 when that is below 2;
// saturates at 2^64 - 1 where the power of two does not fit.
uint64_t causal_set_length(uint64_t a, uint64_t b);

}  // namespace vorn
