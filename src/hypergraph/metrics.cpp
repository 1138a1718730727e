#include "hypergraph/metrics.hpp"

namespace vorn {

std::vector<std::pair<VertexId, uint64_t>> degree_map(const Hypergraph& graph) {
  std::vector<std::pair<VertexId, uint64_t>> out;
  out.reserve(graph.vertex_count());
  graph.for_each_vertex([&](Slot s) { out.emplace_back(graph.id_of(s), graph.incidence(s).size()); });
  return out;
}

std::vector<std::pair<EdgeId, uint64_t>> edge_size_map(const Hypergraph& graph) {
  std::vector<std::pair<EdgeId, uint64_t>> out;
  out.reserve(graph.edge_count());
  graph.for_each_hyperedge([&](EdgeSlot e) { out.emplace_back(graph.edge_id(e), graph.members(e).size()); });
  return out;
}

std::vector<VertexId> isolated_vertices(const Hypergraph& graph) {
  std::vector<VertexId> out;
  graph.for_each_vertex([&](Slot s) {
    if (graph.incidence(s).empty()) out.push_back(graph.id_of(s));
  });
  return out;
}

// Breadth-first by levels over slots: a step goes from a vertex to any other
// vertex on one of its hyperedges, and the search stops at the first level
// that reaches the target.
std::optional<uint64_t> shortest_path_distance(const Hypergraph& graph, VertexId start, VertexId target) {
  const auto from = graph.slot_of(start);
  const auto to = graph.slot_of(target);
  if (!from || !to) return std::nullopt;
  if (*from == *to) return 0;
  std::vector<uint8_t> visited(graph.slot_capacity(), 0);
  visited[*from] = 1;
  std::vector<Slot> level{*from};
  std::vector<Slot> next;
  uint64_t d = 0;
  while (!level.empty()) {
    ++d;
    next.clear();
    for (const Slot u : level) {
      for (const EdgeSlot e : graph.incidence(u)) {
        for (const Slot w : graph.members(e)) {
          if (w == u) continue;
          if (w == *to) return d;
          if (!visited[w]) {
            visited[w] = 1;
            next.push_back(w);
          }
        }
      }
    }
    level.swap(next);
  }
  return std::nullopt;
}

}  // namespace vorn
