#include "rewrite_engine/rewrite_engine.hpp"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <string>
#include <utility>

#include "grammar/apply.hpp"
#include "grammar/matcher.hpp"

namespace vorn {

__extension__ using Wide = unsigned __int128;

uint64_t uniform_index(ChaCha12& rng, uint64_t n) {
  if (n < (uint64_t{1} << 32)) {
    const uint64_t m = uint64_t{rng.next_u32()} * n;
    const uint64_t h = m >> 32;
    const uint64_t l = m & 0xffffffffu;
    if (l <= (uint64_t{1} << 32) - n) return h;
    const uint64_t h2 = (uint64_t{rng.next_u32()} * n) >> 32;
    return (l + h2 > 0xffffffffu) ? h + 1 : h;
  }
  const Wide m = static_cast<Wide>(rng.next_u64()) * n;
  const uint64_t h = static_cast<uint64_t>(m >> 64);
  const uint64_t l = static_cast<uint64_t>(m);
  if (l <= 0 - n) return h;  // 2^64 - n
  const uint64_t h2 = static_cast<uint64_t>((static_cast<Wide>(rng.next_u64()) * n) >> 64);
  return (l + h2 < l) ? h + 1 : h;
}

void WeightTable::rebuild(const std::vector<RewriteRule>& rules) {
  const std::size_t m = rules.size();
  double total = 0.0;
  for (const RewriteRule& rule : rules) total += rule.weight;
  // The point u * total has the 52 bits of u only while it stays a normal
  // number; below that it rounds to a multiple of the smallest subnormal and
  // favours the later rules. Scaling every weight by one power of two is
  // exact and changes no probability, and ordinary totals are left alone.
  // (2^-ilogb can exceed the largest double, so each weight is scaled with
  // ldexp, which is exact here.)
  const int shift = total > 0.0 && total < 0x1p-970 ? -std::ilogb(total) : 0;
  cumulative_.clear();
  total = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    total += shift == 0 ? rules[i].weight : std::ldexp(rules[i].weight, shift);
    if (i + 1 < m) cumulative_.push_back(total);
  }
  total_ = total;
}

std::size_t WeightTable::choose(ChaCha12& rng) const {
  const uint64_t r = rng.next_u64();  // drawn even for one rule: the stream stays the same
  if (cumulative_.empty()) return 0;
  const double u = static_cast<double>(r >> 12) * 0x1p-52;
  return index_for_point(cumulative_, u * total_);
}

std::size_t index_for_point(const std::vector<double>& cumulative, double x) {
  if (cumulative.empty()) return 0;
  std::size_t base = 0;
  std::size_t size = cumulative.size();
  while (size > 1) {
    const std::size_t half = size / 2;
    if (cumulative[base + half] <= x) base += half;
    size -= half;
  }
  return cumulative[base] <= x ? base + 1 : base;
}

RewriteEngine::RewriteEngine(Hypergraph graph, std::optional<uint64_t> seed)
    : graph_(std::move(graph)),
      rng_(seed ? ChaCha12::from_u64_seed(*seed) : ChaCha12::from_thread_entropy()) {}

bool RewriteEngine::step() {
  ++step_count_;
  if (print_interval_ != 0 && step_count_ % print_interval_ == 0 && verbose_) {
    write_stdout("Step " + std::to_string(step_count_) + "...\n");
  }
  ++attempted_rewrites_;
  if (rules_.empty()) {
    has_undo_ = false;
    return false;
  }
  return attempt();
}

// The next steps draw their anchors from words the generator's buffer holds
// already: a step takes one 32-bit word for its anchor (rarely a second) and
// two for its rule. Each coming anchor is predicted from its word and the
// current live count, and one level of its records is asked for per step,
// so that each level has a step's time to arrive: the live-list entry three
// steps ahead, the vertex record two steps ahead, its hyperedges one step
// ahead. A wrong prediction (the count changed, a second word was drawn, the
// graph moved on) costs a wasted prefetch, never a different choice.
void RewriteEngine::prefetch_ahead(std::span<const Slot> live) const {
  const uint64_t n = live.size();
  const auto predicted = [&](std::size_t steps_ahead, uint64_t& i) {
    uint32_t word;
    if (!rng_.peek_u32(3 * steps_ahead, word)) return false;
    i = (uint64_t{word} * n) >> 32;
    return true;
  };
  uint64_t i;
  if (predicted(3, i)) __builtin_prefetch(&live[i]);
  if (predicted(2, i)) graph_.prefetch_vertex(live[i]);
  if (predicted(1, i)) graph_.prefetch_incident_edges(live[i]);
}

bool RewriteEngine::attempt() {
  Slot anchor = kNoSlot;
  const std::span<const Slot> live = graph_.vertex_list();
  if (!live.empty()) {
    prefetch_ahead(live);
    anchor = live[uniform_index(rng_, live.size())];
  }
  const RewriteRule& rule = rules_[weights_.choose(rng_)];
  if (!matcher_.find(rule, graph_, anchor, dpo_, match_, step_count_)) {
    has_undo_ = false;
    return false;
  }
  ++successful_rewrites_;
  apply_match(rule, graph_, match_, undo_);
  has_undo_ = true;
  return true;
}

void RewriteEngine::run(uint64_t steps) {
  for (uint64_t i = 0; i < steps; ++i) step();
}

bool RewriteEngine::rollback() {
  if (!has_undo_) return false;
  has_undo_ = false;
  graph_.execute_undo_record(undo_);
  if (successful_rewrites_ > 0) --successful_rewrites_;
  if (attempted_rewrites_ > 0) --attempted_rewrites_;
  if (step_count_ > 0) --step_count_;
  return true;
}

std::optional<RuleRefusal> RewriteEngine::add_rule(NamePatterns lhs, std::vector<std::string> kept,
                                                   NamePatterns rhs, double weight) {
  if (!acceptable_weight(weight)) return RuleRefusal{RuleRefusal::Kind::weight, weight, 0.0};
  // The weighted choice needs a finite total; refuse a rule that would
  // overflow it rather than make every later step choose wrongly.
  double total = 0.0;
  for (const auto& rule : rules_) total += rule.weight;
  total += weight;
  if (!std::isfinite(total)) return RuleRefusal{RuleRefusal::Kind::total, weight, total};
  rules_.push_back(RewriteRule::compile(std::move(lhs), std::move(kept), std::move(rhs), weight));
  weights_.rebuild(rules_);
  note_repeating_rules();
  return std::nullopt;
}

void RewriteEngine::clear_rules() {
  rules_.clear();
  weights_.rebuild(rules_);
}

void RewriteEngine::clear_graph() {
  has_undo_ = false;
  undo_.clear();
  graph_ = Hypergraph{};
  note_repeating_rules();
  step_count_ = 0;
  attempted_rewrites_ = 0;
  successful_rewrites_ = 0;
}

// Matches bind distinct variables to distinct vertices, so only a rule whose
// rhs names a variable twice in one pattern stores hyperedges that repeat a
// vertex, after which the store's pair count depends on history. The store
// is told when such a rule is added (whether or not it will apply), not on
// the step's path.
void RewriteEngine::note_repeating_rules() {
  for (const RewriteRule& rule : rules_) {
    if (rule.rhs_repeats) graph_.mark_pair_count_inexact();
  }
}

void RewriteEngine::resume(Counters counters, const ChaCha12& rng, std::optional<UndoRecord> last_undo) {
  step_count_ = counters.steps;
  attempted_rewrites_ = counters.attempted;
  successful_rewrites_ = counters.successful;
  rng_ = rng;
  has_undo_ = last_undo.has_value();
  undo_ = last_undo ? std::move(*last_undo) : UndoRecord{};
}

void RewriteEngine::reset_counters() {
  attempted_rewrites_ = 0;
  successful_rewrites_ = 0;
}

void write_stdout(std::string_view line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(1, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace vorn
