// Applying a match: removes one hyperedge per lhs pattern, deletes the
// vertices of unkept lhs variables with their remaining hyperedges, creates the
// rhs vertices and hyperedges with their causal relations, and fills the
// record that undoes all of it.
#pragma once

#include "grammar/matcher.hpp"
#include "grammar/rewrite_rule.hpp"
#include "hypergraph/hypergraph.hpp"
#include "hypergraph/undo_record.hpp"

namespace vorn {

// `match` is one that Matcher::find returned for this rule (a binding per
// variable, the lhs ones set); it gains the bindings of the vertices the
// rewrite creates. `record` is cleared first and keeps its capacity.
void apply_match(const RewriteRule& rule, Hypergraph& graph, MatchState& match, UndoRecord& record);

}  // namespace vorn
