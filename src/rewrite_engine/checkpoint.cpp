#include "rewrite_engine/checkpoint.hpp"

#include <algorithm>
#include <utility>

namespace vorn {

namespace {

// Ids at or above these are refused: the counters could not move past them
// (a hyperedge record holds ids below 2^56; the limit leaves the counter
// room for more ids than any run creates).
constexpr uint64_t kIdLimit = uint64_t{1} << 62;
constexpr uint64_t kEdgeIdLimit = uint64_t{1} << 55;
// No run takes this many steps (at a nanosecond a step, 146 years), so a
// step count at or above it comes from damaged bytes; the other counters
// never exceed the step count.
constexpr uint64_t kStepLimit = uint64_t{1} << 62;

// The trailer: bit 0, the store's pair count is exact.
constexpr uint8_t kPairCountExact = 1;

struct Settings {
  RewriteEngine::Counters counters;
  uint64_t vertex_counter = 0, edge_counter = 0;
  uint64_t print_interval = 0;
  bool verbose = false, dpo = true;
};

struct NameRule {
  NamePatterns lhs, rhs;
  std::vector<std::string> kept;
  double weight = 0.0;
};

void save_rules(ByteWriter& out, const std::vector<RewriteRule>& rules) {
  out.u32(static_cast<uint32_t>(rules.size()));
  for (const RewriteRule& rule : rules) {
    std::vector<std::string_view> names(rule.var_count);
    for (const auto& [name, index] : rule.var_index) names[index] = name;
    out.f64(rule.weight);
    for (const auto* side : {&rule.lhs, &rule.rhs}) {
      out.u32(static_cast<uint32_t>(side->size()));
      for (const auto& pattern : *side) {
        out.u32(static_cast<uint32_t>(pattern.size()));
        for (const VarIndex v : pattern) out.str(names[v]);
      }
    }
    std::vector<VarIndex> kept(rule.kept.begin(), rule.kept.end());
    std::sort(kept.begin(), kept.end());
    out.u32(static_cast<uint32_t>(kept.size()));
    for (const VarIndex v : kept) out.str(names[v]);
  }
}

std::vector<NameRule> load_rules(ByteReader& in) {
  std::vector<NameRule> rules;
  const uint32_t n = in.count("the rules", 8 + 4 + 4 + 4);
  for (uint32_t r = 0; r < n && in.ok(); ++r) {
    NameRule rule;
    rule.weight = in.f64("a rule's weight");
    for (NamePatterns* side : {&rule.lhs, &rule.rhs}) {
      const uint32_t patterns = in.count("a rule's patterns", 4);
      for (uint32_t p = 0; p < patterns && in.ok(); ++p) {
        const uint32_t names = in.count("a rule's pattern", 8);
        std::vector<std::string> pattern;
        for (uint32_t k = 0; k < names && in.ok(); ++k) pattern.emplace_back(in.str("a rule's name"));
        side->push_back(std::move(pattern));
      }
    }
    const uint32_t kept = in.count("a rule's kept names", 8);
    for (uint32_t k = 0; k < kept && in.ok(); ++k) rule.kept.emplace_back(in.str("a kept name"));
    rules.push_back(std::move(rule));
  }
  return rules;
}

Settings load_settings(ByteReader& in) {
  Settings s;
  s.vertex_counter = in.u64("the vertex id counter");
  s.edge_counter = in.u64("the hyperedge id counter");
  s.counters.steps = in.u64("the step count");
  s.print_interval = in.u64("the print interval");
  s.counters.attempted = in.u64("the attempted rewrites");
  s.counters.successful = in.u64("the successful rewrites");
  s.verbose = in.flag("the verbose flag");
  s.dpo = in.flag("the semantics");
  if (!in.ok()) return s;
  const RewriteEngine::Counters& c = s.counters;
  if (c.successful > c.attempted) in.fail("more successful rewrites than attempted ones");
  if (c.attempted > c.steps) in.fail("more attempted rewrites than steps");
  if (c.steps >= kStepLimit) in.fail("a step count above 2^62");
  return s;
}

// The record must undo what the store and the causal log say the last step
// did: its created vertices and hyperedges are in the store under their
// slots, its removed vertices are not, its removed hyperedges name live or
// removed vertices, and its causal step is the one the log can still undo.
void check_undo(ByteReader& in, const UndoRecord& u, const Hypergraph& g,
                const CausalGraph::LogSummary& summary) {
  std::vector<VertexId> created_ids, removed_ids;
  for (const auto& [slot, id] : u.created_vertices) {
    if (slot >= g.slot_capacity() || !g.is_vertex(slot) || g.id_of(slot) != id) {
      in.fail("an undo record creating a vertex the store does not hold");
    }
    created_ids.push_back(id);
  }
  for (const auto& [slot, id] : u.created_edges) {
    if (slot >= g.edge_slot_capacity() || !g.is_hyperedge(slot) || g.edge_id(slot) != id) {
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
  if (causal && u.causal_step != g.causal().undoable_step())
    in.fail("an undo record naming another causal step");
  if (in.ok() && ((causal ? summary.last_created : std::vector<VertexId>{}) != created_ids ||
                  (causal ? summary.last_removed : std::vector<VertexId>{}) != removed_ids)) {
    in.fail("an undo record that disagrees with the causal log");
  }
}

// A rewriting engine's store holds live vertices only, each with a complete
// incidence list once it has one (ids named only by hyperedges, or lists
// left behind by a removal, arise from the store's own operations alone).
void check_engine_store(ByteReader& in, const Hypergraph& g) {
  for (Slot s = 0; s < g.slot_capacity() && in.ok(); ++s) {
    if (!g.slot_in_use(s)) continue;
    if (!g.is_vertex(s)) in.fail("a vertex slot that is neither live nor free");
    if (g.has_list(s) && !g.has_complete_list(s)) in.fail("an incomplete incidence list");
  }
}

// One more than the largest id the engine names, per id space; ids at or
// above the limits fail.
struct IdFloors {
  uint64_t vertex = 0, edge = 0;
  void vertex_id(ByteReader& in, uint64_t id) {
    if (id >= kIdLimit) in.fail("a vertex id above 2^62");
    vertex = std::max(vertex, id + 1);
  }
  void edge_id(ByteReader& in, uint64_t id) {
    if (id >= kEdgeIdLimit) in.fail("a hyperedge id above 2^55");
    edge = std::max(edge, id + 1);
  }
};

void raise_counter(std::atomic<uint64_t>& counter, uint64_t floor) {
  uint64_t current = counter.load();
  while (current < floor && !counter.compare_exchange_weak(current, floor)) {
  }
}

}  // namespace

std::string Checkpoint::save(const RewriteEngine& e) {
  ByteWriter out;
  save(e, out);
  return out.take();
}

std::size_t Checkpoint::size(const RewriteEngine& e) {
  ByteWriter out = ByteWriter::counter();
  save(e, out);
  return out.written();
}

void Checkpoint::save(const RewriteEngine& e, ByteWriter& out) {
  const RewriteEngine::Counters c = e.counters();
  out.u64(VERTEX_ID_COUNTER.load());
  out.u64(EDGE_ID_COUNTER.load());
  out.u64(c.steps);
  out.u64(e.print_interval());
  out.u64(c.attempted);
  out.u64(c.successful);
  out.u8(e.verbose() ? 1 : 0);
  out.u8(e.dpo() ? 1 : 0);
  e.rng().save(out);
  save_rules(out, e.rules());
  e.graph().save(out);
  const UndoRecord* undo = e.last_undo();
  out.u8(undo != nullptr ? 1 : 0);
  if (undo != nullptr) undo->save(out);
  out.u8(e.graph().pair_count_exact() ? kPairCountExact : 0);
}

std::optional<RewriteEngine> Checkpoint::load(std::string_view bytes, CheckpointDamage& damage) {
  ByteReader in(bytes);
  return load(in, damage);
}

std::optional<RewriteEngine> Checkpoint::load(ByteReader& in, CheckpointDamage& damage) {
  const auto refuse = [&]() -> std::optional<RewriteEngine> {
    damage = in.damage();
    return std::nullopt;
  };
  const Settings settings = load_settings(in);
  std::optional<ChaCha12> rng = ChaCha12::load(in);
  std::vector<NameRule> rules = load_rules(in);
  if (!in.ok()) return refuse();
  CausalGraph::LogSummary summary;
  std::optional<Hypergraph> graph = Hypergraph::load(in, summary);
  if (!in.ok()) return refuse();
  check_engine_store(in, *graph);
  std::optional<UndoRecord> undo;
  if (in.flag("the undo flag") && in.ok()) {
    undo = UndoRecord::load(in);
    if (undo) check_undo(in, *undo, *graph, summary);
  }
  // The trailer, absent from bytes written before it existed.
  if (in.ok() && !in.at_end()) {
    const uint8_t trailer = in.u8("the trailer");
    if ((trailer & ~kPairCountExact) != 0) in.fail("a trailer with unknown flags");
    if ((trailer & kPairCountExact) != 0 && in.ok() && !graph->confirm_pair_count()) {
      in.fail("a structural pair count that disagrees with the hyperedges");
    }
  } else if (in.ok()) {
    graph->confirm_pair_count();
  }
  if (in.ok() && !in.at_end()) in.fail("bytes after the end");
  // Every id named must stay below the limit; the counters move past them.
  IdFloors floors;
  if (settings.vertex_counter > 0) floors.vertex_id(in, settings.vertex_counter - 1);
  if (settings.edge_counter > 0) floors.edge_id(in, settings.edge_counter - 1);
  for (Slot s = 0; s < graph->slot_capacity() && in.ok(); ++s) {
    if (graph->slot_in_use(s)) floors.vertex_id(in, graph->id_of(s));
  }
  graph->for_each_hyperedge([&](EdgeSlot f) { floors.edge_id(in, graph->edge_id(f)); });
  if (summary.id_floor > 0) floors.vertex_id(in, summary.id_floor - 1);
  if (undo) {
    for (const auto& created : undo->created_vertices) floors.vertex_id(in, created.id);
    for (const auto& created : undo->created_edges) floors.edge_id(in, created.id);
    for (const auto& removed : undo->removed_vertices) floors.vertex_id(in, removed.id);
    for (const auto& removed : undo->removed_edges) floors.edge_id(in, removed.id);
    for (const VertexId v : undo->removed_edge_vertices) floors.vertex_id(in, v);
  }
  if (!in.ok()) return refuse();

  RewriteEngine e(std::move(*graph), 0);
  for (NameRule& rule : rules) {
    if (e.add_rule(std::move(rule.lhs), std::move(rule.kept), std::move(rule.rhs), rule.weight)) {
      in.fail("a rule the engine refuses");
      return refuse();
    }
  }
  e.set_print_interval(settings.print_interval);
  e.set_verbose(settings.verbose);
  e.set_semantics(settings.dpo ? Semantics::dpo : Semantics::spo);
  e.resume(settings.counters, *rng, std::move(undo));
  raise_counter(VERTEX_ID_COUNTER, floors.vertex);
  raise_counter(EDGE_ID_COUNTER, floors.edge);
  return e;
}

}  // namespace vorn
