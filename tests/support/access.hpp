// Test-only access to the engine's insides: the store's raw records for the
// consistency checker, and a mutable store for tests that build states the
// rewriting would not. Built into the test-support library, never into the
// extension.
#pragma once

#include <string>
#include <vector>

#include "hypergraph/hypergraph.hpp"
#include "rewrite_engine/rewrite_engine.hpp"

namespace vorn {

struct StoreAccess {
  // One line per violated invariant of the store (at most `limit`); empty
  // when the store is consistent. Walks the whole store and reads the causal
  // state (which replays the causal log).
  static std::vector<std::string> check(const Hypergraph& graph, std::size_t limit);

  // Damage on purpose, for the checker's own tests.
  static void drop_last_live(Hypergraph& g) { g.vertex_list_.pop_back(); }
  static void swap_positions(Hypergraph& g, VertexId a, VertexId b) {
    std::swap(g.vertices_[*g.slot_of(a)].position, g.vertices_[*g.slot_of(b)].position);
  }
  static void drop_last_incidence(Hypergraph& g, VertexId v) {
    auto& list = g.vertices_[*g.slot_of(v)].incidence;
    const uint32_t last = list[list.size() - 1];
    list.erase_all(last);
  }
  static void add_stale_incidence(Hypergraph& g, VertexId v) {
    g.vertices_[*g.slot_of(v)].incidence.push_back(g.edges_.size() + 7);
  }
  static void drop_causal(Hypergraph& g, VertexId v) { g.causal_.drop_vertex(v); }
  // Puts a removed hyperedge back under its old id, as an undo does.
  static void restore_hyperedge(Hypergraph& g, EdgeId e, const std::vector<VertexId>& list) {
    std::vector<Slot> members;
    for (const VertexId v : list) members.push_back(g.slot_for_member(v));
    g.store_hyperedge(e, members);
  }
};

struct EngineAccess {
  static Hypergraph& graph(RewriteEngine& engine) { return engine.graph_; }
  static ChaCha12& rng(RewriteEngine& engine) { return engine.rng_; }
};

// The store's invariants, checked in full (see StoreAccess::check).
inline std::vector<std::string> check_consistency(const Hypergraph& graph, std::size_t limit = 32) {
  return StoreAccess::check(graph, limit);
}

}  // namespace vorn
