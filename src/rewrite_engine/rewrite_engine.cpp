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
  const uint64_t h2 =
      static_cast<uint64_t>((static_cast<Wide>(rng.next_u64()) * n) >> 64);
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
  const uint64_t r = rng.next_u64();
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

bool RewriteEngine::attempt() {
  Slot anchor = kNoSlot;
  const std::span<const Slot> live = graph_.vertex_list();
  if (!live.empty()) anchor = live[uniform_index(rng_, live.size())];
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

std::optional<std::string> RewriteEngine::add_rule(NamePatterns lhs, std::vector<std::string> kept,
                                                   NamePatterns rhs, double weight) {
  if (auto error = weight_error(weight)) return error;
  // The weighted choice needs a finite total; refuse a rule that would
  // overflow it rather than make every later step choose wrongly.
  double total = 0.0;
  for (const auto& rule : rules_) total += rule.weight;
  total += weight;
  if (!std::isfinite(total)) {
    return "The total of the rule weights must stay finite: adding weight " +
           format_weight(weight) + " would make it " + format_weight(total) + ".";
  }
  rules_.push_back(RewriteRule::compile(std::move(lhs), std::move(kept), std::move(rhs), weight));
  weights_.rebuild(rules_);
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
  step_count_ = 0;
  attempted_rewrites_ = 0;
  successful_rewrites_ = 0;
}

void RewriteEngine::reset_counters() {
  attempted_rewrites_ = 0;
  successful_rewrites_ = 0;
}

void RewriteEngine::set_semantics(std::string_view text) {
  if (upper_equals(text, "DPO")) {
    dpo_ = true;
  } else if (upper_equals(text, "SPO")) {
    dpo_ = false;
  } else {
    write_stdout("Warning: Unknown semantics '" + std::string(text) + "'. Defaulting to SPO.\n");
    dpo_ = false;
  }
}

namespace {

// Decodes one UTF-8 code point at `i`, advancing it; -1 on malformed input.
int32_t decode_utf8(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  int len = 0;
  int32_t cp = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xe0) == 0xc0) {
    len = 2;
    cp = b0 & 0x1f;
  } else if ((b0 & 0xf0) == 0xe0) {
    len = 3;
    cp = b0 & 0x0f;
  } else if ((b0 & 0xf8) == 0xf0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return -1;
  }
  if (i + len > s.size()) return -1;
  for (int k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return -1;
    cp = (cp << 6) | (byte(i + k) & 0x3f);
  }
  i += len;
  return cp;
}

// The full upper-case mapping of a code point where it consists of ASCII
// letters only; every other code point upper-cases to something non-ASCII or
// to itself.
std::string_view ascii_upper(int32_t cp, char& scratch) {
  if (cp < 0x80) {
    scratch = static_cast<char>(cp >= 'a' && cp <= 'z' ? cp - 'a' + 'A' : cp);
    return {&scratch, 1};
  }
  switch (cp) {
    case 0x00df: return "SS";   // sharp s
    case 0x0131: return "I";    // dotless i
    case 0x017f: return "S";    // long s
    case 0xfb00: return "FF";
    case 0xfb01: return "FI";
    case 0xfb02: return "FL";
    case 0xfb03: return "FFI";
    case 0xfb04: return "FFL";
    case 0xfb05: return "ST";
    case 0xfb06: return "ST";
    default: return {};
  }
}

}  // namespace

bool upper_equals(std::string_view text, std::string_view upper) {
  std::size_t i = 0;
  std::size_t matched = 0;
  while (i < text.size()) {
    const int32_t cp = decode_utf8(text, i);
    if (cp < 0) return false;
    char scratch = 0;
    const std::string_view mapped = ascii_upper(cp, scratch);
    if (mapped.empty() || upper.substr(matched, mapped.size()) != mapped) return false;
    matched += mapped.size();
  }
  return matched == upper.size();
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
