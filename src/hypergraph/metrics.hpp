// Read-only measurements of a store. Results follow the store's slot order;
// the Python layer only converts them.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "hypergraph/hypergraph.hpp"

namespace vorn {

// (vertex id, degree) for every vertex; degree counts incidence entries.
std::vector<std::pair<VertexId, uint64_t>> degree_map(const Hypergraph& graph);
// (hyperedge id, number of positions) for every hyperedge.
std::vector<std::pair<EdgeId, uint64_t>> edge_size_map(const Hypergraph& graph);
// Vertices of degree 0.
std::vector<VertexId> isolated_vertices(const Hypergraph& graph);
// Least number of shared-hyperedge steps from start to target; nothing when
// either is not a vertex or the target cannot be reached.
std::optional<uint64_t> shortest_path_distance(const Hypergraph& graph, VertexId start, VertexId target);

}  // namespace vorn
