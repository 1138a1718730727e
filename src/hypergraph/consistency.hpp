// A full check of the store's invariants, for tests and fuzzers. It walks the
// whole store, so it never runs on the engine's own paths.
//
// Checked: `vertex_list` and `vertex_positions` agree with `vertices`; every
// stored hyperedge is filed under its own id and names live vertices only;
// the incidence entry of every vertex holds each hyperedge id exactly once per
// occurrence of the vertex in that hyperedge and nothing else; every live
// vertex has causal links (depth at least 1) and past and future sets that
// hold its own bit. The causal state is read through the CausalGraph's public
// reads, which bring deferred propagation up to date first.
#pragma once

#include <string>
#include <vector>

#include "hypergraph/hypergraph.hpp"

namespace vorn {

// One line per violation found; empty when the store is consistent. At most
// `limit` lines are returned so that a badly broken store stays readable.
std::vector<std::string> check_consistency(const Hypergraph& graph, std::size_t limit = 32);

}  // namespace vorn
