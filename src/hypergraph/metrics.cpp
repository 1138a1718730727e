#include "hypergraph/metrics.hpp"

namespace vorn {

std::vector<std::pair<VertexId, uint64_t>> degree_map(const Hypergraph& graph) {
  std::vector<std::pair<VertexId, uint64_t>> out;
  out.reserve(graph.vertices.size());
  for (const auto& [v, vertex] : graph.vertices) {
    const auto entry = graph.incidence.find(v);
    out.emplace_back(v, entry == graph.incidence.end() ? 0 : entry->second.size());
  }
  return out;
}

std::vector<std::pair<EdgeId, uint64_t>> edge_size_map(const Hypergraph& graph) {
  std::vector<std::pair<EdgeId, uint64_t>> out;
  out.reserve(graph.hyperedges.size());
  for (const auto& [e, edge] : graph.hyperedges) out.emplace_back(e, edge.vertices.size());
  return out;
}

std::vector<VertexId> isolated_vertices(const Hypergraph& graph) {
  std::vector<VertexId> out;
  for (const auto& [v, vertex] : graph.vertices) {
    const auto entry = graph.incidence.find(v);
    if (entry == graph.incidence.end() || entry->second.empty()) out.push_back(v);
  }
  return out;
}

std::optional<uint64_t> shortest_path_distance(const Hypergraph& graph, VertexId start,
                                               VertexId target) {
  if (!graph.vertices.contains(start) || !graph.vertices.contains(target)) return std::nullopt;
  if (start == target) return 0;
  absl::flat_hash_set<VertexId> visited{start};
  std::vector<VertexId> level{start};
  std::vector<VertexId> next;
  uint64_t d = 0;
  while (!level.empty()) {
    ++d;
    next.clear();
    for (const VertexId u : level) {
      for (const VertexId w : graph.structural_neighbors(u)) {
        if (w == target) return d;
        if (visited.insert(w).second) next.push_back(w);
      }
    }
    level.swap(next);
  }
  return std::nullopt;
}

}  // namespace vorn
