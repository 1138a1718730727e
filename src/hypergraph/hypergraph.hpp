// The hypergraph store: vertices and ordered hyperedges with process-wide
// ids, incidence, the live-vertex list for uniform anchor draws, the causal
// relation between vertices and an incrementally kept structural pair count.
//
// Layout. Vertex and hyperedge ids are process-wide 64-bit values at the
// boundary; inside, records live in dense slots (40 bytes per vertex, 16 per
// binary hyperedge), hyperedges list their vertices by slot and
// incidence lists name hyperedges by slot, each inline up to a small size. A
// vertex id enters through one id-to-slot lookup; the rewriting works on
// slots throughout. Slots of removed records are reused.
//
// Invariants kept by every operation:
// - the live-vertex list holds each live vertex's slot exactly once, and
//   each live vertex records its position there;
// - for every stored hyperedge, the incidence list of each of its vertices
//   holds the hyperedge once per occurrence (unless remove_vertex dropped that
//   vertex's list meanwhile: the list is then "incomplete" and covers only the
//   hyperedges added since); lists may be empty and outlive their hyperedges;
// - a slot stays allocated while it is a live vertex, has an incidence list,
//   or is named by a stored hyperedge; otherwise it is free and its id is
//   forgotten;
// - the causal relation may name removed vertices; readers tolerate this;
// - while the pair count is "exact" it equals the number of distinct vertex
//   pairs sharing a stored hyperedge. A new store's count is; it stays so
//   until a hyperedge that repeats a vertex is stored or a vertex is removed
//   while hyperedges name it, after which the count depends on the order in
//   which hyperedges came and went (confirm_pair_count may make it exact
//   again).
// The store trusts its callers: unknown ids give empty results, never errors.
// Iteration orders (vertices, hyperedges) are slot order: deterministic for
// a given sequence of operations, and otherwise unspecified.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "hypergraph/byte_stream.hpp"
#include "hypergraph/causal_graph.hpp"
#include "hypergraph/id_index.hpp"
#include "hypergraph/ids.hpp"
#include "hypergraph/slot_storage.hpp"
#include "hypergraph/undo_record.hpp"

namespace vorn {

// Process-wide id sources shared by every engine; never reset or decremented.
extern std::atomic<uint64_t> VERTEX_ID_COUNTER;
extern std::atomic<uint64_t> EDGE_ID_COUNTER;

// A vertex as handed back by remove_vertex.
struct Vertex {
  VertexId id = 0;
  Observables observables;
};

// A hyperedge as handed back by remove_hyperedge and hyperedge().
struct Hyperedge {
  EdgeId id = 0;
  std::vector<VertexId> vertices;
};

inline constexpr uint64_t kDefaultCausalHorizon = 6;
inline constexpr uint64_t kDefaultBitsetCapacity = 1024;

class Hypergraph {
 public:
  Hypergraph() = default;
  Hypergraph(Hypergraph&&) noexcept = default;
  Hypergraph& operator=(Hypergraph&&) noexcept = default;
  Hypergraph(const Hypergraph&) = delete;
  Hypergraph& operator=(const Hypergraph&) = delete;
  ~Hypergraph();

  // --- The store's operations, by id ----------------------------------------
  VertexId add_vertex();
  // The list is not checked: it may be empty, repeat a vertex, or name ids
  // that are no vertex (they get incidence lists all the same).
  EdgeId add_hyperedge(const std::vector<VertexId>& list);
  std::optional<Vertex> remove_vertex(VertexId v);
  // Finds e by a scan of the hyperedges: O(E). The rewriting removes by slot.
  std::optional<Hyperedge> remove_hyperedge(EdgeId e);
  std::vector<EdgeId> edges_containing(VertexId v) const;
  absl::flat_hash_set<VertexId> structural_neighbors(VertexId v) const;
  // Records a as a direct cause of b (propagated within the causal horizon).
  void add_causal_relation(VertexId a, VertexId b);
  // The ids in v's causal past or future set (v included); empty without one.
  // Not const: a read first propagates what was written since the last one.
  absl::flat_hash_set<VertexId> causal_past(VertexId v);
  absl::flat_hash_set<VertexId> causal_future(VertexId v);

  // --- Queries ----------------------------------------------------------------
  std::size_t vertex_count() const { return vertex_list_.size(); }
  std::size_t edge_count() const { return edge_count_; }
  bool has_vertex(VertexId v) const { return slot_of(v).has_value(); }
  // O(E), as remove_hyperedge.
  std::optional<Hyperedge> hyperedge(EdgeId e) const;
  // Whether v has an incidence list (possibly empty).
  bool has_incidence_list(VertexId v) const;
  uint64_t structural_pair_count() const { return pair_count_; }
  // Whether the pair count is known to be exact (see the invariants), and
  // the count recounted from the stored hyperedges as that would make it.
  bool pair_count_exact() const { return pair_count_exact_; }
  uint64_t recount_pairs() const;
  // For a caller that stores hyperedges repeating a vertex through the slot
  // interface (the engine, for a rule that makes such; the slot interface
  // does not look).
  void mark_pair_count_inexact() { pair_count_exact_ = false; }
  // Marks the count exact when the hyperedges determine it (none repeats a
  // vertex, every member's incidence list is complete) and it agrees with
  // them; from then on every change that keeps to such hyperedges keeps it
  // so. Returns whether the count is exact.
  bool confirm_pair_count();
  // Calls f(slot) for every live vertex / stored hyperedge, in slot order.
  template <class F>
  void for_each_vertex(F&& f) const;
  template <class F>
  void for_each_hyperedge(F&& f) const;

  uint64_t causal_horizon() const { return causal_horizon_; }
  void set_causal_horizon(uint64_t horizon) { causal_horizon_ = horizon; }
  uint64_t bitset_capacity() const { return bitset_capacity_; }
  void set_bitset_capacity(uint64_t capacity) { bitset_capacity_ = capacity; }
  const CausalGraph& causal() const { return causal_; }
  // For reads of the propagated state, which replay the causal log.
  CausalGraph& causal() { return causal_; }

  // Observables of a live vertex: false / null when v is no vertex.
  bool set_observable(VertexId v, std::string key, double value);
  const Observables* observables(VertexId v) const;

  // --- Slots: the rewriting's view --------------------------------------------
  // The slot of a live vertex.
  std::optional<Slot> slot_of(VertexId v) const;
  VertexId id_of(Slot s) const { return vertices_[s].id; }
  bool is_vertex(Slot s) const { return (vertices_[s].flags & kLive) != 0; }
  // The live vertices' slots: every one exactly once, order unspecified.
  std::span<const Slot> vertex_list() const { return vertex_list_; }
  std::span<const EdgeSlot> incidence(Slot s) const {
    const auto& list = vertices_[s].incidence;
    return {list.begin(), list.size()};
  }
  // Whether s's incidence list holds every stored hyperedge that names s.
  bool has_complete_list(Slot s) const { return (vertices_[s].flags & kComplete) != 0; }
  [[gnu::always_inline]] std::span<const Slot> members(EdgeSlot e) const { return edges_[e].members(); }
  EdgeId edge_id(EdgeSlot e) const { return edges_[e].id(); }
  uint32_t slot_capacity() const { return vertices_.size(); }
  // Whether slot s is in use (a live vertex, or an id that has an incidence
  // list or is named by a hyperedge) and whether it has an incidence list.
  bool slot_in_use(Slot s) const { return (vertices_[s].flags & kFree) == 0; }
  bool has_list(Slot s) const { return (vertices_[s].flags & kHasList) != 0; }
  uint32_t edge_slot_capacity() const { return edges_.size(); }
  bool is_hyperedge(EdgeSlot e) const { return edges_[e].live(); }

  // Hints for a step to come, which change nothing: ask the caches for a
  // vertex's record, or for the records of the hyperedges on its inline
  // incidence entries. s is any slot below slot_capacity().
  void prefetch_vertex(Slot s) const {
    const char* p = reinterpret_cast<const char*>(&vertices_[s]);
    __builtin_prefetch(p);
    __builtin_prefetch(p + sizeof(VertexRecord) - 1);
  }
  void prefetch_incident_edges(Slot s) const {
    const SlotList<5>& list = vertices_[s].incidence;
    const uint32_t n = std::min<uint32_t>(list.size(), 4);
    const EdgeSlot* e = list.begin();
    for (uint32_t i = 0; i < n; ++i) __builtin_prefetch(&edges_[e[i]]);
  }

  // Rule application: every change of one rewrite goes into `record`,
  // which begin_rewrite clears. Between begin_rewrite and end_rewrite the
  // causal writes form one step that execute_undo_record can undo.
  // `new_vertices` and `new_edges`: how many the rewrite creates (their ids
  // are taken at once; creations beyond them take ids one by one).
  void begin_rewrite(UndoRecord& record, uint32_t new_vertices = 0, uint32_t new_edges = 0);
  void end_rewrite(UndoRecord& record);
  Slot add_vertex(UndoRecord& record);
  EdgeSlot add_hyperedge(std::span<const Slot> members, UndoRecord& record);
  // Removes a stored hyperedge.
  void remove_hyperedge(EdgeSlot e, UndoRecord& record);
  // Removes a live vertex (its hyperedges are the caller's business).
  void remove_vertex(Slot s, UndoRecord& record);
  // Records a as a direct cause of b; both are live vertices.
  void add_causal_relation(Slot a, Slot b) {
    causal_.add_relation(id_of(a), id_of(b), causal_horizon_, bitset_capacity_, true);
  }
  // Puts the store back to its state before the rewrite that filled the
  // record, and clears the record.
  void execute_undo_record(UndoRecord& record);

  // Bytes held by the store's own structures, by part (for memory reports).
  struct Memory {
    std::size_t vertices, hyperedges, index, causal_log;
  };
  Memory memory() const;

  // Every violated invariant, one line each (at most `limit`); empty when
  // the store is consistent. With `causal`, also the causal state of every
  // live vertex, as a replay of the whole causal log of its own gives it (the
  // store's replayed state is neither read nor advanced).
  std::vector<std::string> check(std::size_t limit, bool causal) const;

  // The store's section of a checkpoint, its causal relation included:
  // every record in its slot, lists and free lists in their order, so that
  // a loaded store behaves exactly as the saved one. `load` rebuilds the
  // store, runs `check` (without replaying the causal log) and checks that
  // the log's vertices are the live ones; `summary` receives the loaded
  // log's summary. The pair count's exactness is not part of the section: a
  // loaded store's count counts as history-dependent until the caller
  // confirms it (confirm_pair_count).
  void save(ByteWriter& out) const;
  static std::optional<Hypergraph> load(ByteReader& in, CausalGraph::LogSummary& summary);

 private:
  enum Flag : uint32_t {
    kLive = 1,      // a live vertex
    kHasList = 2,   // has an incidence list
    kComplete = 4,  // the list holds every stored hyperedge naming the slot
    kObserved = 8,  // has observables (in observables_)
    kFree = 16,     // on the free list
  };
  static constexpr uint32_t kKnownFlags = kLive | kHasList | kComplete | kObserved | kFree;
  // Both record types are relocated by byte copies (RecordArray): neither
  // may point into itself.
  // A vertex in 48 bytes: most vertices of a grown graph lie on a few
  // hyperedges, so five incidence entries are inline.
  struct VertexRecord {
    VertexId id = 0;
    uint32_t position = 0;  // in vertex_list_, while live
    uint32_t refs = 0;      // positions of stored hyperedges that name the slot
    uint32_t flags = 0;
    SlotList<5> incidence;
  };
  // A hyperedge in 16 bytes: its id in the low 56 bits of one word and an
  // arity code in the top byte; up to two members inline (the common binary
  // case), longer lists in a heap block that starts with their count. A free
  // record keeps its last id under the free code.
  struct EdgeRecord {
    static constexpr unsigned kIdBits = 56;
    static constexpr uint64_t kIdMask = (uint64_t{1} << kIdBits) - 1;
    static constexpr uint32_t kInline = 2;
    static constexpr uint64_t kHeapCode = 0xfe;
    static constexpr uint64_t kFreeCode = 0xff;

    uint64_t word = kFreeCode << kIdBits;
    union {
      Slot inl[kInline];
      Slot* heap;
    } u{};

    // (Always inlined: the step reads every record it touches through these,
    // and as calls they cost more than their bodies.)
    [[gnu::always_inline]] EdgeId id() const { return word & kIdMask; }
    [[gnu::always_inline]] uint32_t code() const { return static_cast<uint32_t>(word >> kIdBits); }
    [[gnu::always_inline]] bool live() const { return code() != kFreeCode; }
    [[gnu::always_inline]] uint32_t size() const {
      const uint32_t c = code();
      return c <= kInline ? c : c == kHeapCode ? u.heap[0] : 0;
    }
    [[gnu::always_inline]] const Slot* data() const { return code() == kHeapCode ? u.heap + 1 : u.inl; }
    // (The code read once: the inline case is the common one.)
    [[gnu::always_inline]] std::span<const Slot> members() const {
      const uint32_t c = code();
      if (c <= kInline) [[likely]]
        return {u.inl, c};
      return c == kHeapCode ? std::span<const Slot>{u.heap + 1, u.heap[0]} : std::span<const Slot>{};
    }
    // Makes the record a live hyperedge of n members under `id` (at most
    // kIdMask) and returns where the members go.
    Slot* assign(EdgeId id, uint32_t n) {
      if (n <= kInline) {
        word = id | (uint64_t{n} << kIdBits);
        return u.inl;
      }
      u.heap = new Slot[std::size_t{n} + 1];
      u.heap[0] = n;
      word = id | (kHeapCode << kIdBits);
      return u.heap + 1;
    }
    EdgeRecord() = default;
    EdgeRecord(EdgeRecord&& o) noexcept : word(o.word), u(o.u) { o.word = kFreeCode << kIdBits; }
    EdgeRecord(const EdgeRecord&) = delete;
    EdgeRecord& operator=(const EdgeRecord&) = delete;
    ~EdgeRecord() { release(); }
    // Frees the record (keeping its id).
    void release() {
      if (code() == kHeapCode) delete[] u.heap;
      word = id() | (kFreeCode << kIdBits);
    }
  };
  static_assert(sizeof(VertexRecord) == 48 && sizeof(EdgeRecord) == 16);

  // A hyperedge id from the process counter (throws when the ids a record
  // can hold run out), and the check begin_rewrite makes for a batch (a
  // rewrite runs under the interpreter lock, so nothing takes ids between
  // the check and the add that follows it).
  static EdgeId take_edge_id();
  static void check_edge_ids(uint32_t count) {
    if (EDGE_ID_COUNTER.load(std::memory_order_relaxed) > EdgeRecord::kIdMask + 1 - count) [[unlikely]]
      throw_edge_ids_exhausted();
  }
  [[noreturn, gnu::cold]] static void throw_edge_ids_exhausted();
  Slot allocate_vertex_slot(VertexId id);
  // The slot for an id named by a hyperedge: the vertex's, or one that only
  // carries an incidence list.
  Slot slot_for_member(VertexId v);
  void free_if_unused(Slot s);
  // The slot in use under id v (a live vertex or not), or kNoSlot.
  Slot indexed_slot(VertexId v) const {
    const Slot s = index_.candidate(v);
    return s < vertices_.size() && (vertices_[s].flags & kFree) == 0 && vertices_[s].id == v ? s : kNoSlot;
  }
  void compact_index();
  void list_vertex(Slot s);
  void unlist_vertex(Slot s);
  void unlink_vertex(Slot s);  // drops a live vertex from the store's structures
  EdgeSlot store_hyperedge(EdgeId id, std::span<const Slot> members);
  void unstore_hyperedge(EdgeSlot e);
  template <uint32_t kArity>
  EdgeSlot store_members(EdgeId id, const Slot* members, uint32_t arity);
  template <uint32_t kArity>
  void unstore_members(EdgeSlot e);
  // Whether the pair (v, u) is covered by a stored hyperedge other than
  // `excluded` that lies on v's incidence list and contains u.
  [[gnu::always_inline]] inline bool pair_covered(Slot v, Slot u, EdgeSlot excluded) const;
  std::optional<EdgeSlot> find_hyperedge(EdgeId e) const;
  bool pairs_determined() const;

  ListBlocks list_blocks_;  // the blocks of incidence lists past their inline room
  RecordArray<VertexRecord> vertices_;
  RecordArray<EdgeRecord> edges_;
  SlotStack free_vertices_;
  SlotStack free_edges_;
  SlotStack vertex_list_;
  IdIndex index_;
  absl::flat_hash_map<VertexId, Observables> observables_;
  std::size_t edge_count_ = 0;
  // Ids taken by begin_rewrite and not used yet.
  VertexId next_vertex_ = 0;
  EdgeId next_edge_ = 0;
  uint32_t vertices_left_ = 0;
  uint32_t edges_left_ = 0;
  uint64_t pair_count_ = 0;
  bool pair_count_exact_ = true;
  uint64_t causal_horizon_ = kDefaultCausalHorizon;
  uint64_t bitset_capacity_ = kDefaultBitsetCapacity;
  CausalGraph causal_;
};

template <class F>
void Hypergraph::for_each_vertex(F&& f) const {
  for (Slot s = 0; s < vertices_.size(); ++s) {
    if ((vertices_[s].flags & kLive) != 0) f(s);
  }
}

template <class F>
void Hypergraph::for_each_hyperedge(F&& f) const {
  for (EdgeSlot e = 0; e < edges_.size(); ++e) {
    if (edges_[e].live()) f(e);
  }
}

}  // namespace vorn
