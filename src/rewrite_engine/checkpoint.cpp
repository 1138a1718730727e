#include "rewrite_engine/checkpoint.hpp"

#include "absl/container/flat_hash_set.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace vorn {

namespace {

static_assert(std::endian::native == std::endian::little, "checkpoints are written little-endian");

// Ids at or above this are refused: the counters could not move past them.
constexpr uint64_t kIdLimit = uint64_t{1} << 62;

class Writer {
 public:
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) { raw(&v, sizeof v); }
  void u64(uint64_t v) { raw(&v, sizeof v); }
  void f64(double v) { raw(&v, sizeof v); }
  void str(std::string_view s) {
    u64(s.size());
    out_.append(s);
  }
  void raw(const void* p, std::size_t n) { out_.append(static_cast<const char*>(p), n); }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Reads with bounds checks; the first failure sticks and names what was read.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool ok() const { return damage_.part == nullptr; }
  const CheckpointDamage& damage() const { return damage_; }
  void fail(const char* what) {
    if (ok()) damage_ = {false, what};
  }
  void truncated(const char* what) {
    if (ok()) damage_ = {true, what};
  }
  bool at_end() const { return pos_ == in_.size(); }

  uint8_t u8(const char* what) {
    uint8_t v = 0;
    raw(&v, 1, what);
    return v;
  }
  uint32_t u32(const char* what) {
    uint32_t v = 0;
    raw(&v, sizeof v, what);
    return v;
  }
  uint64_t u64(const char* what) {
    uint64_t v = 0;
    raw(&v, sizeof v, what);
    return v;
  }
  double f64(const char* what) {
    double v = 0;
    raw(&v, sizeof v, what);
    return v;
  }
  std::string_view str(const char* what) {
    const uint64_t n = u64(what);
    if (!ok() || n > in_.size() - pos_) {
      truncated(what);
      return {};
    }
    std::string_view s = in_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  // A count of items of at least `item_bytes` each: refused when the bytes
  // left cannot hold that many (so no count makes a huge allocation).
  uint32_t count(const char* what, std::size_t item_bytes) {
    const uint32_t n = u32(what);
    if (ok() && item_bytes > 0 && n > (in_.size() - pos_) / item_bytes) {
      truncated(what);
      return 0;
    }
    return ok() ? n : 0;
  }

 private:
  void raw(void* p, std::size_t n, const char* what) {
    if (!ok()) return;
    if (n > in_.size() - pos_) {
      truncated(what);
      return;
    }
    std::memcpy(p, in_.data() + pos_, n);
    pos_ += n;
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  CheckpointDamage damage_;
};

void write_observables(Writer& w, const Observables& values) {
  std::vector<std::pair<std::string_view, double>> sorted(values.begin(), values.end());
  std::sort(sorted.begin(), sorted.end());
  w.u32(static_cast<uint32_t>(sorted.size()));
  for (const auto& [key, value] : sorted) {
    w.str(key);
    w.f64(value);
  }
}

}  // namespace

// The file's sections, in order: engine settings and counters, generator,
// rules, store, causal state, undo record.
std::string Checkpoint::save(const RewriteEngine& e) {
  Writer w;
  w.u64(VERTEX_ID_COUNTER.load());
  w.u64(EDGE_ID_COUNTER.load());
  w.u64(e.step_count_);
  w.u64(e.print_interval_);
  w.u64(e.attempted_rewrites_);
  w.u64(e.successful_rewrites_);
  w.u8(e.verbose_ ? 1 : 0);
  w.u8(e.dpo_ ? 1 : 0);
  // Generator.
  for (const uint32_t k : e.rng_.key_) w.u32(k);
  w.u64(e.rng_.counter_);
  w.u32(static_cast<uint32_t>(e.rng_.index_));
  for (const uint32_t b : e.rng_.buffer_) w.u32(b);
  // Rules, as the names they were compiled from (compiling them again gives
  // the same rule).
  w.u32(static_cast<uint32_t>(e.rules_.size()));
  for (const RewriteRule& rule : e.rules_) {
    std::vector<std::string_view> names(rule.var_count);
    for (const auto& [name, index] : rule.var_index) names[index] = name;
    w.f64(rule.weight);
    for (const auto* side : {&rule.lhs, &rule.rhs}) {
      w.u32(static_cast<uint32_t>(side->size()));
      for (const auto& pattern : *side) {
        w.u32(static_cast<uint32_t>(pattern.size()));
        for (const VarIndex v : pattern) w.str(names[v]);
      }
    }
    std::vector<VarIndex> kept(rule.kept.begin(), rule.kept.end());
    std::sort(kept.begin(), kept.end());
    w.u32(static_cast<uint32_t>(kept.size()));
    for (const VarIndex v : kept) w.str(names[v]);
  }
  // Store.
  const Hypergraph& g = e.graph_;
  w.u64(g.pair_count_);
  w.u64(g.causal_horizon_);
  w.u64(g.bitset_capacity_);
  w.u32(g.vertices_.size());
  for (Slot s = 0; s < g.vertices_.size(); ++s) {
    const auto& r = g.vertices_[s];
    w.u64(r.id);
    w.u32(r.position);
    w.u32(r.flags);
    w.u32(r.incidence.size());
    for (const EdgeSlot f : r.incidence) w.u32(f);
  }
  w.u32(static_cast<uint32_t>(g.free_vertices_.size()));
  for (const Slot s : g.free_vertices_) w.u32(s);
  w.u32(static_cast<uint32_t>(g.vertex_list_.size()));
  for (const Slot s : g.vertex_list_) w.u32(s);
  w.u32(g.edges_.size());
  for (EdgeSlot f = 0; f < g.edges_.size(); ++f) {
    const auto& r = g.edges_[f];
    w.u64(r.id);
    w.u8(r.live != 0 ? 1 : 0);
    w.u32(r.live != 0 ? r.size : 0);
    if (r.live != 0) {
      for (const Slot s : r.members()) w.u32(s);
    }
  }
  w.u32(static_cast<uint32_t>(g.free_edges_.size()));
  for (const EdgeSlot f : g.free_edges_) w.u32(f);
  // (Maps in a fixed order, so that equal engines give equal bytes.)
  std::vector<VertexId> observed;
  for (const auto& [id, values] : g.observables_) observed.push_back(id);
  std::sort(observed.begin(), observed.end());
  w.u32(static_cast<uint32_t>(observed.size()));
  for (const VertexId id : observed) {
    w.u64(id);
    write_observables(w, g.observables_.at(id));
  }
  // Causal state: the log and the writer's bookkeeping between steps.
  const CausalGraph& c = g.causal_;
  w.str(c.log_.to_bytes());
  w.u64(c.steps_);
  w.u64(c.token_);
  w.u64(c.undoable_);
  w.u8(c.tail_open_ ? 1 : 0);
  // (The cache of relations known to be in force is left out: it only saves
  // log entries, and a loaded engine starts with it empty.)
  // Undo record.
  w.u8(e.has_undo_ ? 1 : 0);
  if (e.has_undo_) {
    const UndoRecord& u = e.undo_;
    for (const auto* created : {&u.created_vertices, &u.created_edges}) {
      w.u32(static_cast<uint32_t>(created->size()));
      for (const auto& [slot, id] : *created) {
        w.u32(slot);
        w.u64(id);
      }
    }
    w.u32(static_cast<uint32_t>(u.removed_vertices.size()));
    for (const auto& v : u.removed_vertices) {
      w.u64(v.id);
      w.u8(v.has_observables ? 1 : 0);
    }
    w.u32(static_cast<uint32_t>(u.removed_observables.size()));
    for (const auto& values : u.removed_observables) write_observables(w, values);
    w.u32(static_cast<uint32_t>(u.removed_edges.size()));
    for (const auto& r : u.removed_edges) {
      w.u64(r.id);
      w.u32(r.size);
    }
    w.u32(static_cast<uint32_t>(u.removed_edge_vertices.size()));
    for (const VertexId v : u.removed_edge_vertices) w.u64(v);
    w.u64(u.pair_count_before);
    w.u64(u.causal_step);
  }
  return w.take();
}

namespace {

bool read_observables(Reader& in, Observables& out) {
  const uint32_t n = in.count("observables", 16);
  for (uint32_t i = 0; i < n && in.ok(); ++i) {
    const std::string_view key = in.str("an observable's key");
    const double value = in.f64("an observable's value");
    out.insert_or_assign(std::string(key), value);
  }
  return in.ok();
}

}  // namespace

std::optional<RewriteEngine> Checkpoint::load(std::string_view bytes, CheckpointDamage& damage) {
  Reader in(bytes);
  RewriteEngine e(Hypergraph{}, 0);
  uint64_t max_vertex_id = 0, max_edge_id = 0;
  const auto note_vertex = [&](uint64_t id) {
    if (id >= kIdLimit) in.fail("a vertex id above 2^62");
    max_vertex_id = std::max(max_vertex_id, id + 1);
  };
  const auto note_edge = [&](uint64_t id) {
    if (id >= kIdLimit) in.fail("a hyperedge id above 2^62");
    max_edge_id = std::max(max_edge_id, id + 1);
  };
  // The counters when saved: every id below them may be named.
  if (const uint64_t counter = in.u64("the vertex id counter"); counter > 0) note_vertex(counter - 1);
  if (const uint64_t counter = in.u64("the hyperedge id counter"); counter > 0) note_edge(counter - 1);
  e.step_count_ = in.u64("the step count");
  e.print_interval_ = in.u64("the print interval");
  e.attempted_rewrites_ = in.u64("the attempted rewrites");
  e.successful_rewrites_ = in.u64("the successful rewrites");
  const uint8_t verbose = in.u8("the verbose flag");
  const uint8_t dpo = in.u8("the semantics");
  if (verbose > 1 || dpo > 1) in.fail("a flag that is neither 0 nor 1");
  e.verbose_ = verbose == 1;
  e.dpo_ = dpo == 1;
  for (uint32_t& k : e.rng_.key_) k = in.u32("the generator's key");
  e.rng_.counter_ = in.u64("the generator's counter");
  e.rng_.index_ = in.u32("the generator's position");
  if (e.rng_.index_ > ChaCha12::kBufferWords) in.fail("a generator position past its buffer");
  for (uint32_t& b : e.rng_.buffer_) b = in.u32("the generator's buffer");

  // Rules.
  const uint32_t rules = in.count("the rules", 8 + 4 + 4 + 4);
  for (uint32_t r = 0; r < rules && in.ok(); ++r) {
    const double weight = in.f64("a rule's weight");
    NamePatterns sides[2];
    for (NamePatterns& side : sides) {
      const uint32_t patterns = in.count("a rule's patterns", 4);
      for (uint32_t p = 0; p < patterns && in.ok(); ++p) {
        const uint32_t names = in.count("a rule's pattern", 8);
        std::vector<std::string> pattern;
        for (uint32_t k = 0; k < names && in.ok(); ++k) pattern.emplace_back(in.str("a rule's name"));
        side.push_back(std::move(pattern));
      }
    }
    const uint32_t kept_count = in.count("a rule's kept names", 8);
    std::vector<std::string> kept;
    for (uint32_t k = 0; k < kept_count && in.ok(); ++k) kept.emplace_back(in.str("a kept name"));
    if (!in.ok()) break;
    if (e.add_rule(std::move(sides[0]), std::move(kept), std::move(sides[1]), weight)) {
      in.fail("a rule the engine refuses");
    }
  }

  // Store.
  Hypergraph& g = e.graph_;
  g.pair_count_ = in.u64("the pair count");
  g.causal_horizon_ = in.u64("the causal horizon");
  g.bitset_capacity_ = in.u64("the bitset capacity");
  const uint32_t slots = in.count("the vertex records", 8 + 4 + 4 + 4);
  constexpr uint32_t kKnownFlags = Hypergraph::kLive | Hypergraph::kHasList |
                                   Hypergraph::kComplete | Hypergraph::kObserved |
                                   Hypergraph::kFree;
  std::vector<std::vector<EdgeSlot>> lists(slots);
  for (Slot s = 0; s < slots && in.ok(); ++s) {
    const Slot made = g.vertices_.grow();
    auto& r = g.vertices_[made];
    r.id = in.u64("a vertex id");
    r.position = in.u32("a vertex's position");
    r.flags = in.u32("a vertex's flags");
    if ((r.flags & ~kKnownFlags) != 0) in.fail("a vertex record with unknown flags");
    const uint32_t n = in.count("an incidence list", 4);
    for (uint32_t i = 0; i < n && in.ok(); ++i) lists[s].push_back(in.u32("an incidence entry"));
    if ((r.flags & Hypergraph::kFree) == 0) note_vertex(r.id);
  }
  const uint32_t free_vertices = in.count("the free vertex slots", 4);
  for (uint32_t i = 0; i < free_vertices && in.ok(); ++i) g.free_vertices_.push_back(in.u32("a free vertex slot"));
  const uint32_t live = in.count("the live vertices", 4);
  for (uint32_t i = 0; i < live && in.ok(); ++i) g.vertex_list_.push_back(in.u32("a live vertex"));
  const uint32_t edge_slots = in.count("the hyperedge records", 8 + 1 + 4);
  for (EdgeSlot f = 0; f < edge_slots && in.ok(); ++f) {
    const EdgeId id = in.u64("a hyperedge id");
    const uint8_t is_live = in.u8("a hyperedge's live flag");
    const uint32_t size = in.count("a hyperedge's vertices", 4);
    if (is_live > 1 || (is_live == 0 && size != 0)) in.fail("a hyperedge record that is neither live nor empty");
    std::vector<Slot> members;
    for (uint32_t i = 0; i < size && in.ok(); ++i) {
      const Slot s = in.u32("a hyperedge's vertex");
      if (s >= slots) in.fail("a hyperedge naming a vertex slot past the end");
      members.push_back(s);
    }
    if (!in.ok()) break;
    const EdgeSlot made = g.edges_.grow();
    auto& r = g.edges_[made];
    r.id = id;
    if (is_live != 0) {
      note_edge(id);
      r.size = size;
      Slot* out = size > 4 ? (r.u.heap = new Slot[size]) : r.u.inl;
      std::copy(members.begin(), members.end(), out);
      r.live = 1;
      ++g.edge_count_;
    }
  }
  const uint32_t free_edges = in.count("the free hyperedge slots", 4);
  for (uint32_t i = 0; i < free_edges && in.ok(); ++i) g.free_edges_.push_back(in.u32("a free hyperedge slot"));
  const uint32_t observed = in.count("the observed vertices", 8 + 4);
  for (uint32_t i = 0; i < observed && in.ok(); ++i) {
    const VertexId id = in.u64("an observed vertex");
    Observables values;
    if (read_observables(in, values)) g.observables_.insert_or_assign(id, std::move(values));
  }

  // The store's cross-references.
  std::vector<uint8_t> free_slot(slots, 0), listed(slots, 0);
  for (const Slot s : g.free_vertices_) {
    if (s >= slots || free_slot[s]) {
      in.fail("a free vertex slot out of range or listed twice");
      break;
    }
    free_slot[s] = 1;
  }
  for (std::size_t i = 0; i < g.vertex_list_.size() && in.ok(); ++i) {
    const Slot s = g.vertex_list_[i];
    if (s >= slots || listed[s]) {
      in.fail("a live vertex out of range or listed twice");
      break;
    }
    listed[s] = 1;
  }
  std::vector<uint8_t> free_edge(edge_slots, 0);
  for (const EdgeSlot f : g.free_edges_) {
    if (f >= edge_slots || free_edge[f] || g.edges_[f].live != 0) {
      in.fail("a free hyperedge slot out of range, live or listed twice");
      break;
    }
    free_edge[f] = 1;
  }
  for (EdgeSlot f = 0; f < edge_slots && in.ok(); ++f) {
    if (g.edges_[f].live == 0 && !free_edge[f]) in.fail("a removed hyperedge slot that is not free");
  }
  // Ids are unique among the slots in use and among live hyperedges.
  std::vector<VertexId> ids;
  std::vector<EdgeId> edge_ids;
  for (Slot s = 0; s < slots && in.ok(); ++s) {
    auto& r = g.vertices_[s];
    const bool is_free = (r.flags & Hypergraph::kFree) != 0;
    if (is_free != (free_slot[s] != 0)) in.fail("a vertex slot's free flag disagrees with the free list");
    if (is_free && (r.flags != Hypergraph::kFree || !lists[s].empty())) in.fail("a free vertex slot in use");
    const bool is_live = (r.flags & Hypergraph::kLive) != 0;
    if (is_live != (listed[s] != 0)) in.fail("a vertex's live flag disagrees with the live list");
    if (is_live && (r.position >= g.vertex_list_.size() || g.vertex_list_[r.position] != s)) {
      in.fail("a live vertex whose position is wrong");
    }
    if (!lists[s].empty() && (r.flags & Hypergraph::kHasList) == 0) in.fail("an incidence list without its flag");
    // A rewriting engine's store holds live vertices only, each with a
    // complete list once it has one (ids named only by hyperedges, or lists
    // left behind by a removal, arise from the store's own operations alone).
    if (!is_free && !is_live) in.fail("a vertex slot that is neither live nor free");
    if ((r.flags & Hypergraph::kHasList) != 0 && (r.flags & Hypergraph::kComplete) == 0) {
      in.fail("an incomplete incidence list");
    }
    if ((r.flags & Hypergraph::kObserved) != 0 && (!is_live || !g.observables_.contains(r.id))) {
      in.fail("an observed flag without observables");
    }
    if (!is_free) ids.push_back(r.id);
  }
  std::sort(ids.begin(), ids.end());
  if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) in.fail("two vertex slots with one id");
  for (EdgeSlot f = 0; f < edge_slots && in.ok(); ++f) {
    if (g.edges_[f].live != 0) edge_ids.push_back(g.edges_[f].id);
  }
  std::sort(edge_ids.begin(), edge_ids.end());
  if (std::adjacent_find(edge_ids.begin(), edge_ids.end()) != edge_ids.end()) {
    in.fail("two hyperedges with one id");
  }
  // Incidence: every entry names a live hyperedge holding the vertex, never
  // more often than it holds it, and a complete list exactly as often. Both
  // sides as sorted (slot, hyperedge) keys, one per occurrence.
  std::vector<uint64_t> held, listed_keys;
  for (EdgeSlot f = 0; f < edge_slots && in.ok(); ++f) {
    if (g.edges_[f].live == 0) continue;
    for (const Slot s : g.edges_[f].members()) {
      if (free_slot[s]) in.fail("a hyperedge naming a free vertex slot");
      held.push_back(uint64_t{s} << 32 | f);
      ++g.vertices_[s].refs;
    }
  }
  for (Slot s = 0; s < slots && in.ok(); ++s) {
    for (const EdgeSlot f : lists[s]) {
      if (f >= edge_slots || g.edges_[f].live == 0) {
        in.fail("an incidence entry naming no live hyperedge");
        break;
      }
      listed_keys.push_back(uint64_t{s} << 32 | f);
    }
  }
  std::sort(held.begin(), held.end());
  std::sort(listed_keys.begin(), listed_keys.end());
  std::vector<uint8_t> short_list(in.ok() ? slots : 0, 0);
  for (std::size_t i = 0, j = 0; in.ok() && (i < held.size() || j < listed_keys.size());) {
    if (j == listed_keys.size() || (i < held.size() && held[i] < listed_keys[j])) {
      short_list[held[i] >> 32] = 1;  // held but not listed
      ++i;
    } else if (i == held.size() || listed_keys[j] < held[i]) {
      in.fail("an incidence entry its hyperedge does not hold");
    } else {
      ++i;
      ++j;
    }
  }
  for (Slot s = 0; s < slots && in.ok(); ++s) {
    auto& r = g.vertices_[s];
    if ((r.flags & Hypergraph::kComplete) != 0 && short_list[s]) {
      in.fail("a complete incidence list that misses a hyperedge");
    }
    if ((r.flags & (Hypergraph::kLive | Hypergraph::kHasList | Hypergraph::kFree)) == 0 && r.refs == 0) {
      in.fail("a vertex slot in no use that is not free");
    }
    for (const EdgeSlot f : lists[s]) r.incidence.push_back(f);
  }
  if (in.ok()) {
    for (Slot s = 0; s < slots; ++s) {
      auto& r = g.vertices_[s];
      if ((r.flags & Hypergraph::kFree) == 0) r.index = g.index_.insert(r.id, s, g.index_moves());
    }
    for (const auto& [id, values] : g.observables_) {
      const Slot s = g.index_.find(id);
      if (s == kNoSlot || (g.vertices_[s].flags & Hypergraph::kObserved) == 0) {
        in.fail("observables of no observed vertex");
        break;
      }
    }
  }

  // Causal state.
  const std::string_view log = in.str("the causal log");
  CausalGraph& c = g.causal_;
  if (const char* problem = nullptr; in.ok() && !c.log_.from_bytes(log, problem)) in.fail(problem);
  c.steps_ = in.u64("the causal step count");
  c.token_ = in.u64("the causal step token");
  c.undoable_ = in.u64("the undoable causal step");
  const uint8_t tail_open = in.u8("the causal tail flag");
  if (tail_open > 1) in.fail("a flag that is neither 0 nor 1");
  c.tail_open_ = tail_open == 1;
  // The vertices the log leaves with causal data (as its replay would) must
  // be the store's live vertices; what the last step created and removed is
  // kept to hold the undo record against.
  std::vector<VertexId> last_created, last_removed;
  if (in.ok()) {
    uint64_t steps = 0;
    absl::flat_hash_set<VertexId> linked;
    bool active = false, recording = false;
    std::vector<VertexId> created, removed;
    CausalLog::Cursor cursor;
    c.log_.read(cursor, [&](const CausalLog::Entry& entry) {
      switch (entry.kind) {
        case CausalLog::Kind::step:
          ++steps;
          active = recording = entry.undone || c.log_.is_last_step(entry);
          created.clear();
          removed.clear();
          break;
        case CausalLog::Kind::end:
          recording = false;
          break;
        case CausalLog::Kind::create:
          note_vertex(entry.a);
          linked.insert(entry.a);
          if (recording) created.push_back(entry.a);
          break;
        case CausalLog::Kind::relate:
          note_vertex(entry.a);
          note_vertex(entry.b);
          break;
        case CausalLog::Kind::remove:
          if (linked.erase(entry.a) != 0 && recording) removed.push_back(entry.a);
          break;
        case CausalLog::Kind::drop:
          linked.erase(entry.a);
          break;
        case CausalLog::Kind::undo:
          if (active) {
            for (const VertexId v : created) linked.erase(v);
            for (const VertexId v : removed) linked.insert(v);
          }
          active = recording = false;
          created.clear();
          removed.clear();
          break;
      }
      return in.ok();
    });
    if (steps != c.steps_ || c.token_ > c.steps_ || (c.undoable_ != 0 && c.undoable_ != c.steps_)) {
      in.fail("causal step bookkeeping that disagrees with the causal log");
    }
    std::size_t live_linked = 0;
    g.for_each_vertex([&](Slot s) { live_linked += linked.contains(g.id_of(s)) ? 1 : 0; });
    if (in.ok() && (live_linked != g.vertex_count() || linked.size() != g.vertex_count())) {
      in.fail("a causal log that disagrees with the live vertices");
    }
    if (active) {
      last_created = std::move(created);
      last_removed = std::move(removed);
    }
  }

  // Undo record.
  const uint8_t has_undo = in.u8("the undo flag");
  if (has_undo > 1) in.fail("a flag that is neither 0 nor 1");
  e.has_undo_ = has_undo == 1;
  if (e.has_undo_ && in.ok()) {
    UndoRecord& u = e.undo_;
    for (auto* created : {&u.created_vertices, &u.created_edges}) {
      const uint32_t n = in.count("the undo record's creations", 12);
      for (uint32_t i = 0; i < n && in.ok(); ++i) {
        const uint32_t slot = in.u32("a created record's slot");
        const uint64_t id = in.u64("a created record's id");
        created == &u.created_vertices ? note_vertex(id) : note_edge(id);
        created->push_back({slot, id});
      }
    }
    const uint32_t removed = in.count("the undo record's removed vertices", 9);
    uint32_t observed_removed = 0;
    for (uint32_t i = 0; i < removed && in.ok(); ++i) {
      const VertexId id = in.u64("a removed vertex");
      const uint8_t has = in.u8("a removed vertex's observables flag");
      if (has > 1) in.fail("a flag that is neither 0 nor 1");
      note_vertex(id);
      observed_removed += has;
      u.removed_vertices.push_back({id, has == 1});
    }
    const uint32_t observables = in.count("the undo record's observables", 4);
    if (observables != observed_removed) in.fail("undo observables that match no removed vertex");
    for (uint32_t i = 0; i < observables && in.ok(); ++i) {
      Observables values;
      read_observables(in, values);
      u.removed_observables.push_back(std::move(values));
    }
    const uint32_t edges = in.count("the undo record's removed hyperedges", 12);
    uint64_t total = 0;
    for (uint32_t i = 0; i < edges && in.ok(); ++i) {
      const EdgeId id = in.u64("a removed hyperedge");
      const uint32_t size = in.u32("a removed hyperedge's size");
      note_edge(id);
      u.removed_edges.push_back({id, static_cast<uint32_t>(total), size});
      total += size;
    }
    const uint32_t members = in.count("the removed hyperedges' vertices", 8);
    if (members != total) in.fail("removed hyperedges whose sizes disagree with their vertices");
    for (uint32_t i = 0; i < members && in.ok(); ++i) {
      const VertexId v = in.u64("a removed hyperedge's vertex");
      note_vertex(v);
      u.removed_edge_vertices.push_back(v);
    }
    u.pair_count_before = in.u64("the pair count before the undone step");
    u.causal_step = in.u64("the undo record's causal step");
    // The record must undo what the store and the log say the step did.
    std::vector<VertexId> created_ids, removed_ids;
    for (const auto& [slot, id] : u.created_vertices) {
      if (slot >= g.vertices_.size() || !g.is_vertex(slot) || g.id_of(slot) != id) {
        in.fail("an undo record creating a vertex the store does not hold");
      }
      created_ids.push_back(id);
    }
    for (const auto& [slot, id] : u.created_edges) {
      if (slot >= g.edges_.size() || g.edges_[slot].live == 0 || g.edges_[slot].id != id) {
        in.fail("an undo record creating a hyperedge the store does not hold");
      }
    }
    for (const auto& v : u.removed_vertices) {
      if (g.has_vertex(v.id)) in.fail("an undo record removing a live vertex");
      removed_ids.push_back(v.id);
    }
    for (const VertexId v : u.removed_edge_vertices) {
      if (!g.has_vertex(v) && std::find(removed_ids.begin(), removed_ids.end(), v) == removed_ids.end()) {
        in.fail("an undo record restoring a hyperedge over no vertex");
        break;
      }
    }
    const bool causal = u.causal_step != 0;
    if (causal && u.causal_step != c.undoable_) in.fail("an undo record naming another causal step");
    if (in.ok() && ((causal ? last_created : std::vector<VertexId>{}) != created_ids ||
                    (causal ? last_removed : std::vector<VertexId>{}) != removed_ids)) {
      in.fail("an undo record that disagrees with the causal log");
    }
  }

  if (in.ok() && !in.at_end()) in.fail("bytes after the end");
  if (!in.ok()) {
    damage = in.damage();
    return std::nullopt;
  }
  // The process's counters move past every id the engine names.
  for (auto* counter : {&VERTEX_ID_COUNTER, &EDGE_ID_COUNTER}) {
    const uint64_t floor = counter == &VERTEX_ID_COUNTER ? max_vertex_id : max_edge_id;
    uint64_t current = counter->load();
    while (current < floor && !counter->compare_exchange_weak(current, floor)) {
    }
  }
  return e;
}

}  // namespace vorn
