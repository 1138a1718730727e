// Matching a rule's left-hand side around an anchor vertex by backtracking.
//
// MatchState invariants during a search: `used_vertices` equals the values of
// `bindings`; `candidate_vertices` is disjoint from `used_vertices`;
// `frontier_vars` holds unbound variables only. A failed backtrack_search
// leaves the state exactly as it found it.
#pragma once

#include <cstddef>
#include <optional>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "grammar/rewrite_rule.hpp"
#include "hypergraph/hypergraph.hpp"

namespace vorn {

struct MatchState {
  absl::flat_hash_map<VarIndex, VertexId> bindings;
  absl::flat_hash_set<VertexId> used_vertices;
  absl::flat_hash_set<VertexId> candidate_vertices;
  absl::flat_hash_set<VarIndex> frontier_vars;
};

// A match of the rule's left-hand side with variable 0 bound to `anchor`, or
// nothing. An empty left-hand side matches everywhere. A non-empty one never
// matches at an anchor that names no vertex of `graph`.
std::optional<MatchState> find_match(const RewriteRule& rule, const Hypergraph& graph,
                                     VertexId anchor, bool dpo);

// The same search into a caller's state, which is cleared first and keeps its
// capacity between calls; true when a match was found (the state holds it).
bool find_match_into(const RewriteRule& rule, const Hypergraph& graph, VertexId anchor, bool dpo,
                     MatchState& state);

// Binds variables t..n-1; true when the assignment is a match (the state then
// holds it), false with the state unchanged otherwise.
bool backtrack_search(const RewriteRule& rule, std::size_t t, std::size_t n, MatchState& state,
                      const Hypergraph& graph, bool dpo);

// Whether the pattern image is covered: some hyperedge on the first image
// vertex's incidence list at least as long as the image contains every image
// vertex. An empty image is never covered.
bool image_covered(const Hypergraph& graph, const std::vector<VertexId>& image);

}  // namespace vorn
