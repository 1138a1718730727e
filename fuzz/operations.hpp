// A byte stream decoded into operations on a bare Hypergraph and on a seeded
// RewriteEngine, with the store's invariants checked after every operation.
// Shared by the coverage-guided fuzzer (fuzz/fuzz_engine.cpp) and the C++
// test that replays the committed corpus (tests/core/test_fuzz_corpus.cpp).
//
// Every byte string is a valid program: the first byte picks the operation,
// the following bytes its operands, and a stream that ends early reads zeros.
// Sizes are capped so that one input stays fast.
//
// Besides the store invariants the replay checks what a caller of the engine
// can rely on: counters never run backwards past each other, a rule rejected
// for its weight is not added, and a rollback returning true puts back the
// vertices, hyperedges, incidence degrees, pair count and observables as they
// were before the step it reverts.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hypergraph/hypergraph.hpp"
#include "rewrite_engine/rewrite_engine.hpp"
#include "support/access.hpp"

namespace vorn::fuzz {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // A small count in [0, bound).
  std::size_t below(std::size_t bound) { return bound == 0 ? 0 : byte() % bound; }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// What a rollback must bring back.
struct StoreSnapshot {
  std::vector<VertexId> vertices;
  std::map<EdgeId, std::vector<VertexId>> edges;
  std::map<VertexId, uint64_t> degrees;
  std::map<VertexId, std::map<std::string, double>> observables;
  uint64_t pairs = 0;

  static StoreSnapshot of(const Hypergraph& g) {
    StoreSnapshot s;
    g.for_each_vertex([&](Slot slot) {
      const VertexId v = g.id_of(slot);
      s.vertices.push_back(v);
      s.degrees[v] = g.incidence(slot).size();
      const Observables& observables = *g.observables(v);
      if (!observables.empty()) s.observables[v] = {observables.begin(), observables.end()};
    });
    std::sort(s.vertices.begin(), s.vertices.end());
    g.for_each_hyperedge([&](EdgeSlot e) {
      std::vector<VertexId>& list = s.edges[g.edge_id(e)];
      for (const Slot m : g.members(e)) list.push_back(g.id_of(m));
    });
    s.pairs = g.structural_pair_count();
    return s;
  }
  bool operator==(const StoreSnapshot& o) const {
    return vertices == o.vertices && edges == o.edges && degrees == o.degrees &&
           observables == o.observables && pairs == o.pairs;
  }
};

class Session {
 public:
  static constexpr std::size_t kMaxVertices = 48;
  static constexpr std::size_t kMaxEdges = 96;
  static constexpr std::size_t kMaxRules = 8;
  static constexpr std::size_t kMaxOperations = 400;

  explicit Session(uint64_t seed) : engine_(Hypergraph{}, seed) {}

  // Runs the program; returns the first failure found, or nothing.
  std::optional<std::string> run(ByteReader& in) {
    for (std::size_t n = 0; n < kMaxOperations && !in.done(); ++n) {
      const uint8_t op = in.byte() % kOperationCount;
      const auto where = [&] { return "operation " + std::to_string(n) + " (" + std::to_string(op) + ")"; };
      if (auto failure = apply(op, in)) return where() + ": " + *failure;
      if (auto failure = check(op < kFirstEngineOperation)) return "after " + where() + ": " + *failure;
    }
    return std::nullopt;
  }

 private:
  static constexpr uint8_t kOperationCount = 24;
  // Operations below this number act on the bare store, the others on the engine.
  static constexpr uint8_t kFirstEngineOperation = 8;

  static uint64_t setting(ByteReader& in) {
    static constexpr uint64_t kValues[] = {0,
                                           1,
                                           2,
                                           3,
                                           6,
                                           64,
                                           511,
                                           512,
                                           513,
                                           1024,
                                           4096,
                                           uint64_t{1} << 32,
                                           uint64_t{1} << 63,
                                           std::numeric_limits<uint64_t>::max() - 1,
                                           std::numeric_limits<uint64_t>::max()};
    const uint8_t k = in.byte();
    if (k < sizeof(kValues) / sizeof(kValues[0])) return kValues[k];
    return in.u64();
  }

  static double weight(ByteReader& in) {
    static constexpr double kValues[] = {1.0,
                                         2.0,
                                         0.5,
                                         3.0,
                                         1e-300,
                                         5e-324,
                                         1e308,
                                         1.7e308,
                                         0.0,
                                         -1.0,
                                         -0.0,
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN()};
    return kValues[in.below(sizeof(kValues) / sizeof(kValues[0]))];
  }

  static std::string name(ByteReader& in) {
    static const char* const kNames[] = {"a", "b", "c", "d", "e", "f", "", "\xc3\xa9"};
    return kNames[in.below(8)];
  }

  static NamePatterns patterns(ByteReader& in, std::size_t max_patterns, std::size_t max_len) {
    NamePatterns out(in.below(max_patterns + 1));
    for (auto& pattern : out) {
      pattern.resize(in.below(max_len + 1));
      for (auto& n : pattern) n = name(in);
    }
    return out;
  }

  // A live vertex of g, in the order of its live list.
  static std::optional<VertexId> pick(const Hypergraph& g, ByteReader& in) {
    const std::span<const Slot> live = g.vertex_list();
    if (live.empty()) return std::nullopt;
    return g.id_of(live[in.below(live.size())]);
  }

  static std::optional<EdgeId> pick_edge(const Hypergraph& g, ByteReader& in) {
    if (g.edge_count() == 0) return std::nullopt;
    std::size_t k = in.below(g.edge_count());
    std::optional<EdgeId> out;
    g.for_each_hyperedge([&](EdgeSlot e) {
      if (k-- == 0) out = g.edge_id(e);
    });
    return out;
  }

  // Adds a hyperedge of 0..4 positions over live vertices of g (repeats allowed).
  static void add_edge(Hypergraph& g, ByteReader& in) {
    if (g.edge_count() >= kMaxEdges) return;
    std::vector<VertexId> list(in.below(5));
    if (!list.empty() && g.vertex_count() == 0) return;
    for (auto& v : list) v = *pick(g, in);
    g.add_hyperedge(list);
  }

  // Removes a vertex the way a rewrite does: its hyperedges first, so that no
  // hyperedge is left over a deleted vertex.
  static void remove_vertex(Hypergraph& g, VertexId v) {
    for (const EdgeId e : g.edges_containing(v)) g.remove_hyperedge(e);
    g.remove_vertex(v);
  }

  std::optional<std::string> apply(uint8_t op, ByteReader& in) {
    Hypergraph& raw = raw_;
    switch (op % kOperationCount) {
      // --- the bare store ---------------------------------------------------
      case 0:
        if (raw.vertex_count() < kMaxVertices) raw.add_vertex();
        break;
      case 1:
        if (auto v = pick(raw, in)) remove_vertex(raw, *v);
        break;
      case 2:
        add_edge(raw, in);
        break;
      case 3:
        if (auto e = pick_edge(raw, in)) raw.remove_hyperedge(*e);
        break;
      case 4: {
        auto a = pick(raw, in);
        auto b = pick(raw, in);
        if (a && b) raw.add_causal_relation(*a, *b);
        break;
      }
      case 5:
        raw.set_causal_horizon(setting(in));
        break;
      case 6:
        raw.set_bitset_capacity(setting(in));
        break;
      case 7: {
        // Unknown ids are harmless: reads are empty, removals find nothing.
        const VertexId unknown = VERTEX_ID_COUNTER.load() + 1 + in.byte();
        if (!raw.causal_past(unknown).empty() || !raw.causal_future(unknown).empty()) {
          return "an unknown vertex has causal sets";
        }
        if (raw.remove_vertex(unknown) || raw.remove_hyperedge(EDGE_ID_COUNTER.load() + 1)) {
          return "removing an unknown id removed something";
        }
        if (auto v = pick(raw, in)) {
          if (!raw.causal_past(*v).contains(*v)) return "a past set lacks its own vertex";
        }
        break;
      }
      // --- the engine -------------------------------------------------------
      case 8:
      case 9: {
        if (engine_.rules().size() >= kMaxRules) break;
        NamePatterns lhs = patterns(in, 3, 3);
        std::vector<std::string> kept(in.below(5));
        for (auto& n : kept) n = name(in);
        NamePatterns rhs = patterns(in, 3, 3);
        const double w = weight(in);
        const std::size_t before = engine_.rules().size();
        const bool ok = !engine_.add_rule(std::move(lhs), std::move(kept), std::move(rhs), w);
        const bool acceptable = std::isfinite(w) && w > 0.0;
        if (ok && !acceptable) return "a rule with weight " + std::to_string(w) + " was added";
        if (engine_.rules().size() != before + (ok ? 1 : 0)) return "rule count off after add_rule";
        break;
      }
      case 10:
      case 11:
      case 12:
        step();
        break;
      case 13: {
        const uint64_t steps = in.below(9);
        for (uint64_t i = 0; i < steps; ++i) step();
        break;
      }
      case 14:
      case 15: {
        const bool expected = before_step_.has_value();
        const bool done = engine_.rollback();
        if (done != expected) return done ? "rollback without a record" : "rollback lost a record";
        if (done && !(StoreSnapshot::of(engine_.graph()) == *before_step_)) {
          return "rollback did not restore the store";
        }
        before_step_.reset();
        break;
      }
      case 16:
        engine_.clear_rules();
        break;
      case 17:
        engine_.clear_graph();
        before_step_.reset();
        break;
      case 18:
        engine_.set_causal_horizon(setting(in));
        break;
      case 19:
        engine_.set_bitset_capacity(setting(in));
        break;
      case 20:
        engine_.set_semantics(in.byte() & 1 ? Semantics::dpo : Semantics::spo);
        break;
      case 21:
        engine_.reset_counters();
        break;
      case 22: {
        // Seed the engine's own store directly while it holds no undo record
        // (a record describes the store as the step left it).
        if (engine_.has_undo()) break;
        Hypergraph& g = engine_.graph_for_tests();
        if (in.byte() & 1) {
          if (g.vertex_count() < kMaxVertices) g.add_vertex();
        } else {
          add_edge(g, in);
        }
        break;
      }
      case 23: {
        // An observable on a live vertex of the engine.
        if (auto v = pick(engine_.graph(), in)) {
          const std::string key = name(in);
          const double value = in.byte();
          engine_.set_observable(*v, key, value);
          // A rollback leaves a surviving vertex's observables alone.
          if (before_step_ &&
              std::binary_search(before_step_->vertices.begin(), before_step_->vertices.end(), *v)) {
            before_step_->observables[*v][key] = value;
          }
        }
        break;
      }
    }
    return std::nullopt;
  }

  void step() {
    // Graphs grow by rewriting; keep them small so that an input stays fast.
    if (engine_.graph().vertex_count() >= kMaxVertices || engine_.graph().edge_count() >= kMaxEdges) {
      engine_.clear_graph();
      before_step_.reset();
    }
    StoreSnapshot before = StoreSnapshot::of(engine_.graph());
    if (engine_.step()) {
      before_step_ = std::move(before);
    } else {
      before_step_.reset();
    }
  }

  // Checks the store that the last operation acted on (the other one did not
  // change), and the engine's bookkeeping.
  std::optional<std::string> check(bool store) const {
    const Hypergraph& g = store ? raw_ : engine_.graph();
    std::vector<std::string> problems = check_consistency(g);
    if (!problems.empty()) return std::string(store ? "store: " : "engine: ") + problems.front();
    if (engine_.successful_rewrites() > engine_.attempted_rewrites()) {
      return "more successful rewrites than attempts";
    }
    if (engine_.has_undo() != before_step_.has_value()) return "undo record out of step";
    return std::nullopt;
  }

  Hypergraph raw_;
  RewriteEngine engine_;
  std::optional<StoreSnapshot> before_step_;
};

// Decodes and runs one input: the first 8 bytes seed the engine.
inline std::optional<std::string> run_operations(const uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  Session session(in.u64());
  return session.run(in);
}

}  // namespace vorn::fuzz
