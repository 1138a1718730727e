#include "hypergraph/undo_record.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

namespace vorn {

void save_observables(ByteWriter& out, const Observables& values) {
  std::vector<std::pair<std::string_view, double>> sorted(values.begin(), values.end());
  std::sort(sorted.begin(), sorted.end());
  out.u32(static_cast<uint32_t>(sorted.size()));
  for (const auto& [key, value] : sorted) {
    out.str(key);
    out.f64(value);
  }
}

bool load_observables(ByteReader& in, Observables& values) {
  const uint32_t n = in.count("observables", 16);
  for (uint32_t i = 0; i < n && in.ok(); ++i) {
    const std::string_view key = in.str("an observable's key");
    const double value = in.f64("an observable's value");
    values.insert_or_assign(std::string(key), value);
  }
  return in.ok();
}

void UndoRecord::save(ByteWriter& out) const {
  for (const auto* created : {&created_vertices, &created_edges}) {
    out.u32(static_cast<uint32_t>(created->size()));
    for (const auto& [slot, id] : *created) {
      out.u32(slot);
      out.u64(id);
    }
  }
  out.u32(static_cast<uint32_t>(removed_vertices.size()));
  for (const auto& v : removed_vertices) {
    out.u64(v.id);
    out.u8(v.has_observables ? 1 : 0);
  }
  out.u32(static_cast<uint32_t>(removed_observables.size()));
  for (const auto& values : removed_observables) save_observables(out, values);
  out.u32(static_cast<uint32_t>(removed_edges.size()));
  for (const auto& r : removed_edges) {
    out.u64(r.id);
    out.u32(r.size);
  }
  out.u32(static_cast<uint32_t>(removed_edge_vertices.size()));
  for (const VertexId v : removed_edge_vertices) out.u64(v);
  out.u64(pair_count_before);
  out.u64(causal_step);
}

std::optional<UndoRecord> UndoRecord::load(ByteReader& in) {
  UndoRecord u;
  auto& [created_vertices, created_edges, removed_vertices, removed_observables, removed_edges,
         removed_edge_vertices, pair_count_before, causal_step] = u;
  for (auto* created : {&created_vertices, &created_edges}) {
    const uint32_t n = in.count("the undo record's creations", 12);
    for (uint32_t i = 0; i < n && in.ok(); ++i) {
      const uint32_t slot = in.u32("a created record's slot");
      const uint64_t id = in.u64("a created record's id");
      created->push_back({slot, id});
    }
  }
  const uint32_t removed = in.count("the undo record's removed vertices", 9);
  uint32_t observed = 0;
  for (uint32_t i = 0; i < removed && in.ok(); ++i) {
    const VertexId id = in.u64("a removed vertex");
    const bool has = in.flag("a removed vertex's observables flag");
    observed += has ? 1 : 0;
    removed_vertices.push_back({id, has});
  }
  const uint32_t observables = in.count("the undo record's observables", 4);
  if (observables != observed) in.fail("undo observables that match no removed vertex");
  for (uint32_t i = 0; i < observables && in.ok(); ++i) {
    Observables values;
    load_observables(in, values);
    removed_observables.push_back(std::move(values));
  }
  const uint32_t edges = in.count("the undo record's removed hyperedges", 12);
  uint64_t total = 0;
  for (uint32_t i = 0; i < edges && in.ok(); ++i) {
    const EdgeId id = in.u64("a removed hyperedge");
    const uint32_t size = in.u32("a removed hyperedge's size");
    removed_edges.push_back({id, static_cast<uint32_t>(total), size});
    total += size;
  }
  const uint32_t members = in.count("the removed hyperedges' vertices", 8);
  if (members != total) in.fail("removed hyperedges whose sizes disagree with their vertices");
  for (uint32_t i = 0; i < members && in.ok(); ++i) {
    removed_edge_vertices.push_back(in.u64("a removed hyperedge's vertex"));
  }
  pair_count_before = in.u64("the pair count before the undone step");
  causal_step = in.u64("the undo record's causal step");
  if (!in.ok()) return std::nullopt;
  return u;
}

}  // namespace vorn
