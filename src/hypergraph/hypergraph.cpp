#include "hypergraph/hypergraph.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "hypergraph/assert.hpp"

namespace vorn {

std::atomic<uint64_t> VERTEX_ID_COUNTER{0};
std::atomic<uint64_t> EDGE_ID_COUNTER{0};

namespace {

const Observables kNoObservables;

// A free slot of `records` (the most recently freed one), or a new one.
// Always inlined: every step takes slots, and as a call it costs more than
// its body.
template <class Records>
[[gnu::always_inline]] inline uint32_t take_slot(SlotStack& free, Records& records) {
  if (free.empty()) return records.grow();
  const uint32_t s = free.back();
  free.pop_back();
  return s;
}

}  // namespace

Hypergraph::~Hypergraph() = default;

// --- Slots --------------------------------------------------------------------

Slot Hypergraph::allocate_vertex_slot(VertexId id) {
  const Slot s = take_slot(free_vertices_, vertices_);
  VertexRecord& r = vertices_[s];
  r.id = id;
  r.position = 0;
  r.refs = 0;
  r.flags = 0;
  r.incidence.reset(list_blocks_);
  index_.insert(id, s);
  return s;
}

Slot Hypergraph::slot_for_member(VertexId v) {
  // A new vertex's id is above every id held (no lookup needed).
  if (index_.all_below(v)) return allocate_vertex_slot(v);
  const Slot s = indexed_slot(v);
  return s != kNoSlot ? s : allocate_vertex_slot(v);
}

void Hypergraph::free_if_unused(Slot s) {
  VertexRecord& r = vertices_[s];
  if ((r.flags & (kLive | kHasList | kFree)) != 0 || r.refs != 0) return;
  r.incidence.reset(list_blocks_);
  r.flags = kFree;
  free_vertices_.push_back(s);
  if (index_.erased()) compact_index();
}

void Hypergraph::compact_index() {
  index_.compact([this](VertexId id, Slot s) {
    return s < vertices_.size() && (vertices_[s].flags & kFree) == 0 && vertices_[s].id == id;
  });
}

std::optional<Slot> Hypergraph::slot_of(VertexId v) const {
  const Slot s = indexed_slot(v);
  if (s == kNoSlot || (vertices_[s].flags & kLive) == 0) return std::nullopt;
  return s;
}

void Hypergraph::list_vertex(Slot s) {
  VertexRecord& r = vertices_[s];
  r.position = static_cast<uint32_t>(vertex_list_.size());
  r.flags |= kLive;
  vertex_list_.push_back(s);
}

void Hypergraph::unlist_vertex(Slot s) {
  VertexRecord& r = vertices_[s];
  const Slot last = vertex_list_.back();
  vertex_list_[r.position] = last;
  vertices_[last].position = r.position;
  vertex_list_.pop_back();
  r.flags &= ~kLive;
}

// A live vertex leaves the store: its place in the live list, its incidence
// list and its observables go; the slot stays while hyperedges name it.
void Hypergraph::unlink_vertex(Slot s) {
  unlist_vertex(s);
  VertexRecord& r = vertices_[s];
  r.incidence.reset(list_blocks_);
  r.flags &= ~(kHasList | kComplete);
  if ((r.flags & kObserved) != 0) {
    observables_.erase(r.id);
    r.flags &= ~kObserved;
  }
}

// --- Hyperedges -----------------------------------------------------------------

inline bool Hypergraph::pair_covered(Slot v, Slot u, EdgeSlot excluded) const {
  const VertexRecord& rv = vertices_[v];
  if ((rv.flags & kHasList) == 0) return false;
  // A complete list holds every stored hyperedge on its vertex, so when both
  // lists are complete, a hyperedge with both vertices lies on each and the
  // shorter one decides the same. (A new vertex's list is short.)
  const VertexRecord& ru = vertices_[u];
  const VertexRecord* scan = &rv;
  Slot other = u;
  if ((rv.flags & ru.flags & kComplete) != 0 && ru.incidence.size() < rv.incidence.size()) {
    scan = &ru;
    other = v;
  }
  for (const EdgeSlot f : scan->incidence) {
    if (f == excluded) continue;
    const EdgeRecord& r = edges_[f];
    if (r.code() == 2) {
      if (r.u.inl[0] == other || r.u.inl[1] == other) return true;
      continue;
    }
    const Slot* m = r.data();
    const uint32_t size = r.size();
    for (uint32_t i = 0; i < size; ++i) {
      if (m[i] == other) return true;
    }
  }
  return false;
}

// The loops run over the hyperedge's positions; with the arity known at
// compile time (kArity > 0, the common binary case) they unroll and the
// bookkeeping of a step's hyperedges costs about half as much.
template <uint32_t kArity>
EdgeSlot Hypergraph::store_members(EdgeId id, const Slot* members, uint32_t arity) {
  const uint32_t n = kArity > 0 ? kArity : arity;
  const EdgeSlot e = take_slot(free_edges_, edges_);
  Slot* out = edges_[e].assign(id, n);
  for (uint32_t i = 0; i < n; ++i) out[i] = members[i];
  ++edge_count_;
  // A list made now is complete unless hyperedges already name the slot.
  for (uint32_t i = 0; i < n; ++i) {
    VertexRecord& rv = vertices_[members[i]];
    if ((rv.flags & kHasList) == 0) rv.flags |= kHasList | (rv.refs == 0 ? kComplete : 0u);
    rv.incidence.push_back(e, list_blocks_);
    ++rv.refs;
  }
  // Every pair of positions not covered by another hyperedge counts.
  for (uint32_t i = 0; i + 1 < n; ++i) {
    for (uint32_t j = i + 1; j < n; ++j) {
      if (!pair_covered(members[i], members[j], e)) ++pair_count_;
    }
  }
  return e;
}

EdgeSlot Hypergraph::store_hyperedge(EdgeId id, std::span<const Slot> members) {
  const auto n = static_cast<uint32_t>(members.size());
  return n == 2 ? store_members<2>(id, members.data(), n) : store_members<0>(id, members.data(), n);
}

template <uint32_t kArity>
void Hypergraph::unstore_members(EdgeSlot e) {
  EdgeRecord& r = edges_[e];
  const uint32_t n = kArity > 0 ? kArity : r.size();
  // (A hyperedge of a known small arity holds its members inline.)
  const Slot* members = kArity > 0 && kArity <= EdgeRecord::kInline ? r.u.inl : r.data();
  --edge_count_;
  // One occurrence of e per position: together every occurrence.
  for (uint32_t i = 0; i < n; ++i) {
    VertexRecord& rv = vertices_[members[i]];
    if ((rv.flags & kHasList) != 0) rv.incidence.erase_one(e);
    --rv.refs;
  }
  // With e off every list, a pair is counted off unless something else
  // still covers it; the count stops at 0.
  for (uint32_t i = 0; i + 1 < n; ++i) {
    for (uint32_t j = i + 1; j < n; ++j) {
      if (pair_count_ > 0 && !pair_covered(members[i], members[j], kNoSlot)) --pair_count_;
    }
  }
  for (uint32_t i = 0; i < n; ++i) {
    const VertexRecord& rv = vertices_[members[i]];
    if ((rv.flags & (kLive | kHasList | kFree)) == 0 && rv.refs == 0) free_if_unused(members[i]);
  }
  r.release();
  free_edges_.push_back(e);
}

void Hypergraph::unstore_hyperedge(EdgeSlot e) {
  if (edges_[e].code() == 2) {
    unstore_members<2>(e);
  } else {
    unstore_members<0>(e);
  }
}

std::optional<EdgeSlot> Hypergraph::find_hyperedge(EdgeId e) const {
  for (EdgeSlot f = 0; f < edges_.size(); ++f) {
    if (edges_[f].live() && edges_[f].id() == e) return f;
  }
  return std::nullopt;
}

EdgeId Hypergraph::take_edge_id() {
  check_edge_ids(1);
  return EDGE_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst);
}

void Hypergraph::throw_edge_ids_exhausted() { throw std::length_error("hyperedge ids past 2^56 - 1"); }

// --- The store's operations, by id --------------------------------------------

VertexId Hypergraph::add_vertex() {
  const VertexId id = VERTEX_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst);
  list_vertex(slot_for_member(id));
  causal_.add_vertex(id, bitset_capacity_);
  return id;
}

EdgeId Hypergraph::add_hyperedge(const std::vector<VertexId>& list) {
  std::vector<Slot> members;
  members.reserve(list.size());
  for (const VertexId v : list) members.push_back(slot_for_member(v));
  const EdgeId e = take_edge_id();
  store_hyperedge(e, members);
  std::vector<Slot> sorted = members;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) pair_count_exact_ = false;
  return e;
}

std::optional<Vertex> Hypergraph::remove_vertex(VertexId v) {
  const auto s = slot_of(v);
  if (!s) return std::nullopt;
  Vertex out{v, {}};
  if ((vertices_[*s].flags & kObserved) != 0) out.observables = std::move(observables_[v]);
  unlink_vertex(*s);
  causal_.remove_vertex(v);
  // Hyperedges that still name the vertex lose their place on its list.
  if (vertices_[*s].refs != 0) pair_count_exact_ = false;
  free_if_unused(*s);
  return out;
}

std::optional<Hyperedge> Hypergraph::remove_hyperedge(EdgeId e) {
  const auto f = find_hyperedge(e);
  if (!f) return std::nullopt;
  Hyperedge out{e, {}};
  for (const Slot s : members(*f)) out.vertices.push_back(id_of(s));
  unstore_hyperedge(*f);
  return out;
}

std::optional<Hyperedge> Hypergraph::hyperedge(EdgeId e) const {
  const auto f = find_hyperedge(e);
  if (!f) return std::nullopt;
  Hyperedge out{e, {}};
  for (const Slot s : members(*f)) out.vertices.push_back(id_of(s));
  return out;
}

std::vector<EdgeId> Hypergraph::edges_containing(VertexId v) const {
  std::vector<EdgeId> out;
  const Slot s = indexed_slot(v);
  if (s == kNoSlot) return out;
  for (const EdgeSlot e : incidence(s)) out.push_back(edges_[e].id());
  return out;
}

bool Hypergraph::has_incidence_list(VertexId v) const {
  const Slot s = indexed_slot(v);
  return s != kNoSlot && (vertices_[s].flags & kHasList) != 0;
}

absl::flat_hash_set<VertexId> Hypergraph::structural_neighbors(VertexId v) const {
  absl::flat_hash_set<VertexId> out;
  const Slot s = indexed_slot(v);
  if (s == kNoSlot) return out;
  for (const EdgeSlot e : incidence(s)) {
    for (const Slot u : members(e)) {
      if (u != s) out.insert(id_of(u));
    }
  }
  return out;
}

void Hypergraph::add_causal_relation(VertexId a, VertexId b) {
  causal_.add_relation(a, b, causal_horizon_, bitset_capacity_, has_vertex(a) && has_vertex(b));
}

namespace {

absl::flat_hash_set<VertexId> ids_of(const FixedBitSet* set) {
  absl::flat_hash_set<VertexId> out;
  if (set != nullptr) set->for_each_one([&out](uint64_t i) { out.insert(i); });
  return out;
}

}  // namespace

absl::flat_hash_set<VertexId> Hypergraph::causal_past(VertexId v) { return ids_of(causal_.past(v)); }

absl::flat_hash_set<VertexId> Hypergraph::causal_future(VertexId v) { return ids_of(causal_.future(v)); }

bool Hypergraph::set_observable(VertexId v, std::string key, double value) {
  const auto s = slot_of(v);
  if (!s) return false;
  observables_[v].insert_or_assign(std::move(key), value);
  vertices_[*s].flags |= kObserved;
  return true;
}

const Observables* Hypergraph::observables(VertexId v) const {
  const auto s = slot_of(v);
  if (!s) return nullptr;
  if ((vertices_[*s].flags & kObserved) == 0) return &kNoObservables;
  return &observables_.find(v)->second;
}

// --- Rule application -----------------------------------------------------------

void Hypergraph::begin_rewrite(UndoRecord& record, uint32_t new_vertices, uint32_t new_edges) {
  // (First, so that running out of hyperedge ids changes nothing.)
  check_edge_ids(new_edges);
  record.clear();
  record.pair_count_before = pair_count_;
  causal_.begin_step();
  // The ids the rewrite will take, in one atomic add per counter: the same
  // ids, in the same order, as one add per creation (a rewrite runs under the
  // interpreter lock, so nothing takes ids in between), and taken before the
  // rewrite's writes are in flight, which a locked add waits for.
  next_vertex_ = VERTEX_ID_COUNTER.fetch_add(new_vertices, std::memory_order_seq_cst);
  vertices_left_ = new_vertices;
  next_edge_ = EDGE_ID_COUNTER.fetch_add(new_edges, std::memory_order_seq_cst);
  edges_left_ = new_edges;
}

void Hypergraph::end_rewrite(UndoRecord& record) {
  vertices_left_ = edges_left_ = 0;
  causal_.end_step();
  record.causal_step = causal_.step_token();
}

Slot Hypergraph::add_vertex(UndoRecord& record) {
  const VertexId id = vertices_left_ > 0 ? (--vertices_left_, next_vertex_++)
                                         : VERTEX_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst);
  const Slot s = slot_for_member(id);
  list_vertex(s);
  causal_.add_vertex(id, bitset_capacity_);
  record.created_vertices.push_back({s, id});
  return s;
}

EdgeSlot Hypergraph::add_hyperedge(std::span<const Slot> members, UndoRecord& record) {
  const EdgeId id = edges_left_ > 0 ? (--edges_left_, next_edge_++) : take_edge_id();
  const EdgeSlot e = store_hyperedge(id, members);
  record.created_edges.push_back({e, id});
  return e;
}

void Hypergraph::remove_hyperedge(EdgeSlot e, UndoRecord& record) {
  VORN_ASSERT(e < edges_.size() && edges_[e].live());
  const EdgeRecord& r = edges_[e];
  const std::span<const Slot> m = r.members();
  record.removed_edges.push_back(
      {r.id(), static_cast<uint32_t>(record.removed_edge_vertices.size()), static_cast<uint32_t>(m.size())});
  for (const Slot s : m) record.removed_edge_vertices.push_back(id_of(s));
  unstore_hyperedge(e);
}

void Hypergraph::remove_vertex(Slot s, UndoRecord& record) {
  VORN_ASSERT(s < vertices_.size() && is_vertex(s));
  const VertexId id = vertices_[s].id;
  const bool observed = (vertices_[s].flags & kObserved) != 0;
  record.removed_vertices.push_back({id, observed});
  if (observed) record.removed_observables.push_back(std::move(observables_[id]));
  unlink_vertex(s);
  causal_.remove_vertex(id);
  if (vertices_[s].refs != 0) pair_count_exact_ = false;
  free_if_unused(s);
}

Hypergraph::Memory Hypergraph::memory() const {
  Memory m{};
  m.vertices = vertices_.reserved_bytes() + vertex_list_.capacity() * sizeof(Slot) +
               free_vertices_.capacity() * sizeof(Slot);
  m.vertices += list_blocks_.bytes();
  m.hyperedges = edges_.reserved_bytes() + free_edges_.capacity() * sizeof(EdgeSlot);
  for (EdgeSlot e = 0; e < edges_.size(); ++e) {
    if (edges_[e].code() == EdgeRecord::kHeapCode) m.hyperedges += (edges_[e].size() + 1) * sizeof(Slot);
  }
  m.index = index_.reserved_bytes();
  m.causal_log = causal_.log_capacity_bytes();
  return m;
}

}  // namespace vorn
