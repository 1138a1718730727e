// The store's section of a checkpoint: every slot as it stands, so that a
// loaded store hands out the same slots and walks its lists in the same
// order as the saved one, followed by the causal relation's own section.
#include <algorithm>
#include <utility>

#include "hypergraph/hypergraph.hpp"

namespace vorn {

void Hypergraph::save(ByteWriter& out) const {
  out.u64(pair_count_);
  out.u64(causal_horizon_);
  out.u64(bitset_capacity_);
  out.u32(vertices_.size());
  for (Slot s = 0; s < vertices_.size(); ++s) {
    const VertexRecord& r = vertices_[s];
    out.u64(r.id);
    out.u32(r.position);
    out.u32(r.flags);
    out.u32(r.incidence.size());
    for (const EdgeSlot e : r.incidence) out.u32(e);
  }
  out.u32(static_cast<uint32_t>(free_vertices_.size()));
  for (const Slot s : free_vertices_) out.u32(s);
  out.u32(static_cast<uint32_t>(vertex_list_.size()));
  for (const Slot s : vertex_list_) out.u32(s);
  out.u32(edges_.size());
  for (EdgeSlot e = 0; e < edges_.size(); ++e) {
    const EdgeRecord& r = edges_[e];
    out.u64(r.id());
    out.u8(r.live() ? 1 : 0);
    out.u32(r.size());
    if (r.live()) {
      for (const Slot s : r.members()) out.u32(s);
    }
  }
  out.u32(static_cast<uint32_t>(free_edges_.size()));
  for (const EdgeSlot e : free_edges_) out.u32(e);
  // (Observables by id, so that equal stores give equal bytes.)
  std::vector<VertexId> observed;
  for (const auto& [v, values] : observables_) observed.push_back(v);
  std::sort(observed.begin(), observed.end());
  out.u32(static_cast<uint32_t>(observed.size()));
  for (const VertexId v : observed) {
    out.u64(v);
    save_observables(out, observables_.at(v));
  }
  causal_.save(out);
}

std::optional<Hypergraph> Hypergraph::load(ByteReader& in, CausalGraph::LogSummary& summary) {
  Hypergraph g;
  g.pair_count_ = in.u64("the pair count");
  g.causal_horizon_ = in.u64("the causal horizon");
  g.bitset_capacity_ = in.u64("the bitset capacity");
  const uint32_t slots = in.count("the vertex records", 8 + 4 + 4 + 4);
  for (Slot s = 0; s < slots && in.ok(); ++s) {
    VertexRecord& r = g.vertices_[g.vertices_.grow()];
    r.id = in.u64("a vertex id");
    r.position = in.u32("a vertex's position");
    r.flags = in.u32("a vertex's flags");
    if ((r.flags & ~kKnownFlags) != 0) in.fail("a vertex record with unknown flags");
    const uint32_t n = in.count("an incidence list", 4);
    for (uint32_t i = 0; i < n && in.ok(); ++i)
      r.incidence.push_back(in.u32("an incidence entry"), g.list_blocks_);
  }
  const uint32_t free_vertices = in.count("the free vertex slots", 4);
  for (uint32_t i = 0; i < free_vertices && in.ok(); ++i)
    g.free_vertices_.push_back(in.u32("a free vertex slot"));
  const uint32_t live = in.count("the live vertices", 4);
  for (uint32_t i = 0; i < live && in.ok(); ++i) g.vertex_list_.push_back(in.u32("a live vertex"));
  const uint32_t edge_slots = in.count("the hyperedge records", 8 + 1 + 4);
  std::vector<Slot> members;
  for (EdgeSlot e = 0; e < edge_slots && in.ok(); ++e) {
    const EdgeId id = in.u64("a hyperedge id");
    const uint8_t is_live = in.u8("a hyperedge's live flag");
    const uint32_t size = in.count("a hyperedge's vertices", 4);
    if (is_live > 1 || (is_live == 0 && size != 0))
      in.fail("a hyperedge record that is neither live nor empty");
    if (id > EdgeRecord::kIdMask) in.fail("a hyperedge id past 2^56 - 1");
    members.clear();
    for (uint32_t i = 0; i < size && in.ok(); ++i) {
      const Slot s = in.u32("a hyperedge's vertex");
      if (s >= slots) in.fail("a hyperedge naming a vertex slot past the end");
      members.push_back(s);
    }
    if (!in.ok()) break;
    EdgeRecord& r = g.edges_[g.edges_.grow()];
    if (is_live != 0) {
      std::copy(members.begin(), members.end(), r.assign(id, size));
      ++g.edge_count_;
      for (const Slot s : members) ++g.vertices_[s].refs;
    } else {
      r.assign(id, 0);
      r.release();
    }
  }
  const uint32_t free_edges = in.count("the free hyperedge slots", 4);
  for (uint32_t i = 0; i < free_edges && in.ok(); ++i)
    g.free_edges_.push_back(in.u32("a free hyperedge slot"));
  const uint32_t observed = in.count("the observed vertices", 8 + 4);
  for (uint32_t i = 0; i < observed && in.ok(); ++i) {
    const VertexId v = in.u64("an observed vertex");
    Observables values;
    if (load_observables(in, values)) g.observables_.insert_or_assign(v, std::move(values));
  }
  std::optional<CausalGraph> causal = CausalGraph::load(in, summary);
  if (!in.ok()) return std::nullopt;
  g.causal_ = std::move(*causal);
  // The id index, over the slots in use (a slot's own flags say; the check
  // holds them against the free list).
  g.index_.rebuild_from([&](auto&& f) {
    for (Slot s = 0; s < slots; ++s) {
      if ((g.vertices_[s].flags & kFree) == 0) f(g.vertices_[s].id, s);
    }
  });
  // Exact when the count agrees with what the hyperedges determine; the
  // check below then holds the count to it.
  g.pair_count_exact_ = false;
  if (const std::vector<std::string> problems = g.check(1, false); !problems.empty()) {
    in.fail(problems.front());
    return std::nullopt;
  }
  // The vertices the log leaves with causal data are the live vertices: as
  // many, and each live one among them (both sets hold distinct ids).
  bool all_linked = g.vertex_count() == summary.linked.size();
  g.for_each_vertex([&](Slot s) {
    all_linked = all_linked && std::binary_search(summary.linked.begin(), summary.linked.end(), g.id_of(s));
  });
  if (!all_linked) {
    in.fail("a causal log that disagrees with the live vertices");
    return std::nullopt;
  }
  return g;
}

}  // namespace vorn
