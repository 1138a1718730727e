#include "hypergraph/hypergraph.hpp"

#include <algorithm>
#include <utility>

namespace vorn {

std::atomic<uint64_t> VERTEX_ID_COUNTER{0};
std::atomic<uint64_t> EDGE_ID_COUNTER{0};

VertexId Hypergraph::add_vertex() {
  const VertexId id = VERTEX_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst);
  causal.add_vertex(id, bitset_capacity);
  vertices.insert_or_assign(id, Vertex{id, {}});
  vertex_positions.insert_or_assign(id, vertex_list.size());
  vertex_list.push_back(id);
  return id;
}

bool Hypergraph::pair_covered(VertexId v, VertexId u, std::optional<EdgeId> excluded) const {
  const auto entry = incidence.find(v);
  if (entry == incidence.end()) return false;
  for (const EdgeId e : entry->second) {
    if (excluded && e == *excluded) continue;
    const auto edge = hyperedges.find(e);
    if (edge == hyperedges.end()) continue;
    const auto& list = edge->second.vertices;
    if (std::find(list.begin(), list.end(), u) != list.end()) return true;
  }
  return false;
}

void Hypergraph::link_hyperedge(EdgeId e, const std::vector<VertexId>& list) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    const VertexId v = list[i];
    incidence[v].push_back(e);
    for (std::size_t j = i + 1; j < list.size(); ++j) {
      if (!pair_covered(v, list[j], e)) ++structural_pair_count;
    }
  }
}

EdgeId Hypergraph::add_hyperedge(std::vector<VertexId> list) {
  const EdgeId e = EDGE_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst);
  auto [it, inserted] = hyperedges.insert_or_assign(e, Hyperedge{e, std::move(list)});
  (void)inserted;
  link_hyperedge(e, it->second.vertices);
  return e;
}

std::optional<Hyperedge> Hypergraph::remove_hyperedge(EdgeId e) {
  auto node = hyperedges.extract(e);
  if (node.empty()) return std::nullopt;
  Hyperedge removed = std::move(node.mapped());
  const auto& list = removed.vertices;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const VertexId v = list[i];
    const auto entry = incidence.find(v);
    if (entry != incidence.end()) {
      auto& ids = entry->second;
      ids.erase(std::remove(ids.begin(), ids.end(), e), ids.end());
    }
    for (std::size_t j = i + 1; j < list.size(); ++j) {
      if (!pair_covered(v, list[j], std::nullopt) && structural_pair_count > 0) {
        --structural_pair_count;
      }
    }
  }
  return removed;
}

void Hypergraph::unlist_vertex(VertexId v) {
  const auto pos = vertex_positions.find(v);
  if (pos == vertex_positions.end()) return;
  const uint64_t p = pos->second;
  vertex_positions.erase(pos);
  if (vertex_list.empty() || p >= vertex_list.size()) return;  // broken invariant: leave as is
  vertex_list[p] = vertex_list.back();
  vertex_list.pop_back();
  if (p < vertex_list.size()) vertex_positions[vertex_list[p]] = p;
}

std::optional<VertexRecord> Hypergraph::remove_vertex(VertexId v) {
  auto node = vertices.extract(v);
  if (node.empty()) return std::nullopt;
  unlist_vertex(v);
  causal.remove_vertex(v);
  VertexRecord record{std::move(node.mapped())};
  incidence.erase(v);
  return record;
}

std::vector<EdgeId> Hypergraph::edges_containing(VertexId v) const {
  const auto entry = incidence.find(v);
  if (entry == incidence.end()) return {};
  return entry->second;
}

absl::flat_hash_set<VertexId> Hypergraph::structural_neighbors(VertexId v) const {
  absl::flat_hash_set<VertexId> out;
  const auto entry = incidence.find(v);
  if (entry == incidence.end()) return out;
  for (const EdgeId e : entry->second) {
    const auto edge = hyperedges.find(e);
    if (edge == hyperedges.end()) continue;
    for (const VertexId u : edge->second.vertices) {
      if (u != v) out.insert(u);
    }
  }
  return out;
}

namespace {

absl::flat_hash_set<VertexId> ids_of(const FixedBitSet* set) {
  absl::flat_hash_set<VertexId> out;
  if (set != nullptr) set->for_each_one([&out](uint64_t i) { out.insert(i); });
  return out;
}

}  // namespace

absl::flat_hash_set<VertexId> Hypergraph::causal_past(VertexId v) const {
  return ids_of(causal.past(v));
}

absl::flat_hash_set<VertexId> Hypergraph::causal_future(VertexId v) const {
  return ids_of(causal.future(v));
}

}  // namespace vorn
