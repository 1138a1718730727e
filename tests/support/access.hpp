// Test helpers over the engine's public interface: the store's check with
// the causal state included, as the tests and fuzzers run it.
#pragma once

#include <string>
#include <vector>

#include "hypergraph/hypergraph.hpp"

namespace vorn {

// The store's invariants, checked in full (Hypergraph::check, causal state
// included): one line per violation, at most `limit`; empty when consistent.
inline std::vector<std::string> check_consistency(const Hypergraph& graph, std::size_t limit = 32) {
  return graph.check(limit, true);
}

}  // namespace vorn
