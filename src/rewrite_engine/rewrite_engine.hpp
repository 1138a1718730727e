// RewriteEngine: owns the hypergraph, the compiled rules, the random
// generator, the counters and settings, and the undo record of the last
// successful step (at most one). Single-threaded; the caller serialises use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "grammar/matcher.hpp"
#include "grammar/rewrite_rule.hpp"
#include "hypergraph/hypergraph.hpp"
#include "hypergraph/undo_record.hpp"
#include "rewrite_engine/chacha.hpp"

namespace vorn {

inline constexpr uint64_t kDefaultPrintInterval = 10000;

// Uniform index in [0, n) for n >= 1 by the widening-multiply method.
uint64_t uniform_index(ChaCha12& rng, uint64_t n);

// The number of cumulative sums <= x, by binary search: a point on a
// boundary goes to the later index. With no sums it is 0.
std::size_t index_for_point(const std::vector<double>& cumulative, double x);

// The cumulative weights of the rules, for the choice of a rule by weight:
// one 64-bit draw, a point in [0, total), a binary search; a point on a
// boundary goes to the later rule. Rebuilt whenever the rules change.
class WeightTable {
 public:
  void rebuild(const std::vector<RewriteRule>& rules);
  std::size_t choose(ChaCha12& rng) const;

 private:
  std::vector<double> cumulative_;
  double total_ = 0.0;
};

// Double-pushout rewriting refuses a match whose deleted vertices keep edges
// outside it; single-pushout deletes those edges too.
enum class Semantics : uint8_t { spo, dpo };

// Why add_rule refused a rule.
struct RuleRefusal {
  enum class Kind : uint8_t {
    weight,  // the weight is not finite and positive
    total,   // the total of all weights would not be finite
  };
  Kind kind;
  double weight;
  double total;  // the total the rule would have made, for Kind::total
};

class RewriteEngine {
 public:
  // Seeded from the thread's entropy-seeded generator without `seed`.
  // Throws std::runtime_error when no entropy can be had.
  explicit RewriteEngine(Hypergraph graph = Hypergraph{}, std::optional<uint64_t> seed = std::nullopt);

  // One step: counts it, writes the progress line, then attempts a rewrite.
  bool step();
  void run(uint64_t steps);
  // Reverts the last successful step; false when there is none.
  bool rollback();

  // Validates the weight, compiles the rule and appends it. A refused rule
  // is not added; the refusal says why.
  std::optional<RuleRefusal> add_rule(NamePatterns lhs, std::vector<std::string> kept, NamePatterns rhs,
                                      double weight);
  void clear_rules();
  // A new empty store and zeroed counters; drops the undo record too, since
  // it describes a graph that no longer exists.
  void clear_graph();
  void reset_counters();

  // The generator from a 64-bit seed (the key expanded by PCG32, as
  // ChaCha12::from_u64_seed): the same seed gives the same stream.
  void reseed(uint64_t seed) { rng_ = ChaCha12::from_u64_seed(seed); }
  void set_print_interval(uint64_t interval) { print_interval_ = interval; }
  void set_verbose(bool verbose) { verbose_ = verbose; }
  void set_causal_horizon(uint64_t horizon) { graph_.set_causal_horizon(horizon); }
  void set_bitset_capacity(uint64_t capacity) { graph_.set_bitset_capacity(capacity); }
  // Sets an observable of a live vertex; false when v is no vertex.
  bool set_observable(VertexId v, std::string key, double value) {
    return graph_.set_observable(v, std::move(key), value);
  }
  void set_semantics(Semantics semantics) { dpo_ = semantics == Semantics::dpo; }
  Semantics semantics() const { return dpo_ ? Semantics::dpo : Semantics::spo; }
  bool dpo() const { return dpo_; }

  uint64_t step_count() const { return step_count_; }
  uint64_t attempted_rewrites() const { return attempted_rewrites_; }
  uint64_t successful_rewrites() const { return successful_rewrites_; }
  uint64_t print_interval() const { return print_interval_; }
  bool verbose() const { return verbose_; }

  const Hypergraph& graph() const { return graph_; }
  // The store's causal relation, for reads of its propagated state (which
  // replay the causal log, so they need the engine itself).
  CausalGraph& causal() { return graph_.causal(); }
  const std::vector<RewriteRule>& rules() const { return rules_; }
  bool has_undo() const { return has_undo_; }
  // The record of the last successful step; null when there is none.
  const UndoRecord* last_undo() const { return has_undo_ ? &undo_ : nullptr; }
  const ChaCha12& rng() const { return rng_; }

  // The three counters. Every engine keeps successful <= attempted <=
  // steps: a step raises steps and attempted and, when it rewrites,
  // successful; reset_counters zeroes the last two; rollback lowers all
  // three, none below 0.
  struct Counters {
    uint64_t steps = 0, attempted = 0, successful = 0;
  };
  Counters counters() const { return {step_count_, attempted_rewrites_, successful_rewrites_}; }
  // Puts a saved run's state in place (checkpoints): the counters, the
  // generator and the record of the last step, which the caller has checked
  // against the store.
  void resume(Counters counters, const ChaCha12& rng, std::optional<UndoRecord> last_undo);
  // Direct access to the store, for tests and fuzzers that change it
  // behind the engine's back (the engine's invariants are then theirs).
  Hypergraph& graph_for_tests() { return graph_; }

 private:
  bool attempt();
  void prefetch_ahead(std::span<const Slot> live) const;
  void note_repeating_rules();

  Hypergraph graph_;
  std::vector<RewriteRule> rules_;
  WeightTable weights_;
  ChaCha12 rng_;
  uint64_t step_count_ = 0;
  uint64_t print_interval_ = kDefaultPrintInterval;
  uint64_t attempted_rewrites_ = 0;
  uint64_t successful_rewrites_ = 0;
  bool verbose_ = false;
  bool dpo_ = true;
  // The record of the last successful step, when `has_undo_`; one record
  // and one match state are reused by every step, keeping their capacity.
  UndoRecord undo_;
  bool has_undo_ = false;
  Matcher matcher_;
  MatchState match_;
};

// Writes `line` to file descriptor 1 in full (retrying on EINTR and short
// writes). Output errors are ignored: progress output is best effort.
void write_stdout(std::string_view line);

}  // namespace vorn
