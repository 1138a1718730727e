// Applying a match: removes one hyperedge per lhs pattern, deletes the
// vertices of unkept lhs variables with their remaining hyperedges, creates the
// rhs vertices and hyperedges with their causal relations, and returns the
// record that undoes all of it.
#pragma once

#include "grammar/matcher.hpp"
#include "grammar/rewrite_rule.hpp"
#include "hypergraph/hypergraph.hpp"
#include "rules/undo_record.hpp"

namespace vorn {

UndoRecord apply_match(const RewriteRule& rule, Hypergraph& graph, MatchState match);
// The same on a caller's match, whose bindings gain the created vertices.
UndoRecord apply_match_in_place(const RewriteRule& rule, Hypergraph& graph, MatchState& match);

}  // namespace vorn
