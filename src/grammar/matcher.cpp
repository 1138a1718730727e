#include "grammar/matcher.hpp"

#include <algorithm>

namespace vorn {

// --- SlotSet ------------------------------------------------------------------

namespace {

inline uint32_t bucket(uint32_t s, std::size_t mask) {
  return static_cast<uint32_t>((uint64_t{s} * 0x9E3779B97F4A7C15ull >> 32) & mask);
}

bool holds(std::span<const Slot> list, Slot s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

bool holds_all(std::span<const Slot> list, std::span<const Slot> image) {
  for (const Slot s : image) {
    if (!holds(list, s)) return false;
  }
  return true;
}

// Whether `list` holds the vertex bound to every variable of `pattern`.
bool holds_bound(std::span<const Slot> list, std::span<const uint32_t> pattern, const Slot* binding) {
  for (const uint32_t v : pattern) {
    if (!holds(list, binding[v])) return false;
  }
  return true;
}

// The image of `pattern` under the bindings: in `few` when it fits, else in
// `spill` (a buffer kept between searches).
inline std::span<const Slot> image_of(std::span<const uint32_t> pattern, const Slot* binding, Slot (&few)[8],
                                      std::vector<Slot>& spill) {
  Slot* out = few;
  if (pattern.size() > std::size(few)) {
    spill.resize(pattern.size());
    out = spill.data();
  }
  for (std::size_t i = 0; i < pattern.size(); ++i) out[i] = binding[pattern[i]];
  return {out, pattern.size()};
}

// Under 17 variables the bound vertices are found by a scan of the bindings.
constexpr std::size_t kScanLimit = 16;

// A starting point in [0, n) hashed from the salt, the level and a slot.
inline std::size_t start_in(std::size_t n, uint64_t salt, std::size_t t, uint32_t slot) {
  uint64_t h = salt ^ (uint64_t{slot} << 20) ^ t;
  h *= 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return static_cast<std::size_t>(((h >> 32) * n) >> 32);
}

}  // namespace

void SlotSet::clear() {
  size_ = 0;
  occupied_ = 0;
  if (++generation_ == 0) {
    for (Cell& c : cells_) c.generation = 0;
    generation_ = 1;
  }
}

void SlotSet::rehash(std::size_t capacity) {
  std::vector<uint32_t> keys;
  keys.reserve(size_);
  for (const Cell& c : cells_) {
    if (c.generation == generation_ && c.key != kTombstone) keys.push_back(c.key);
  }
  cells_.assign(capacity, Cell{});
  generation_ = 1;
  size_ = 0;
  occupied_ = 0;
  for (const uint32_t k : keys) insert(k);
}

bool SlotSet::insert(uint32_t s) {
  if ((occupied_ + 1) * 2 > cells_.size()) {
    rehash(std::max<std::size_t>(16, (size_ + 1) * 4 > cells_.size() ? cells_.size() * 2 : cells_.size()));
  }
  const std::size_t mask = cells_.size() - 1;
  for (uint32_t i = bucket(s, mask);; i = (i + 1) & mask) {
    Cell& c = cells_[i];
    if (c.generation != generation_) {
      c = Cell{generation_, s};
      ++size_;
      ++occupied_;
      return true;
    }
    if (c.key == s) return false;
  }
}

bool SlotSet::contains(uint32_t s) const {
  if (cells_.empty()) return false;
  const std::size_t mask = cells_.size() - 1;
  for (uint32_t i = bucket(s, mask);; i = (i + 1) & mask) {
    const Cell& c = cells_[i];
    if (c.generation != generation_) return false;
    if (c.key == s) return true;
  }
}

void SlotSet::erase(uint32_t s) {
  if (cells_.empty()) return;
  const std::size_t mask = cells_.size() - 1;
  for (uint32_t i = bucket(s, mask);; i = (i + 1) & mask) {
    Cell& c = cells_[i];
    if (c.generation != generation_) return;
    if (c.key == s) {
      c.key = kTombstone;  // keeps the probe chains of later keys intact
      --size_;
      return;
    }
  }
}

// --- Cover ----------------------------------------------------------------------

bool image_covered(const Hypergraph& graph, std::span<const Slot> image) {
  if (image.empty()) return false;
  // A covering hyperedge lies on every image vertex's incidence list, so when
  // all those lists are complete the shortest one decides the same as the
  // first vertex's.
  std::span<const EdgeSlot> scan = graph.incidence(image[0]);
  if (scan.size() > 4 && graph.has_complete_list(image[0])) {
    for (std::size_t i = 1; i < image.size(); ++i) {
      if (!graph.has_complete_list(image[i])) {
        scan = graph.incidence(image[0]);
        break;
      }
      const std::span<const EdgeSlot> other = graph.incidence(image[i]);
      if (other.size() < scan.size()) scan = other;
    }
  }
  for (const EdgeSlot e : scan) {
    const std::span<const Slot> members = graph.members(e);
    if (members.size() >= image.size() && holds_all(members, image)) return true;
  }
  return false;
}

// --- The search -----------------------------------------------------------------

bool Matcher::find(const RewriteRule& rule, const Hypergraph& graph, Slot anchor, bool dpo, MatchState& match,
                   uint64_t salt) {
  // (No reset: the search binds each lhs variable before reading it, and
  // application binds the rhs-only ones.)
  if (match.binding.size() != rule.var_count) match.binding.resize(rule.var_count);
  if (rule.lhs.empty()) return true;
  if (rule.lhs_var_count == 0 || anchor == kNoSlot || !graph.is_vertex(anchor)) return false;
  rule_ = &rule;
  graph_ = &graph;
  binding_ = match.binding.data();
  n_ = rule.lhs_var_count;
  dpo_ = dpo;
  salt_ = salt;
  if (levels_.size() < n_) levels_.resize(n_);
  binding_[0] = anchor;
  if (n_ > kScanLimit) {
    used_.clear();
    used_.insert(anchor);
  }
  return search(1);
}

bool Matcher::used(Slot s, std::size_t t) const {
  if (n_ > kScanLimit) return used_.contains(s);
  const Slot* b = binding_;
  for (std::size_t i = 0; i < t; ++i) {
    if (b[i] == s) return true;
  }
  return false;
}

inline bool Matcher::attempt(std::size_t t, const LhsVariable& facts, Slot c, EdgeSlot via, Level& level) {
  const RewriteRule& rule = *rule_;
  const Hypergraph& graph = *graph_;
  if (graph.incidence(c).size() < facts.occurrences) return false;
  if ((facts.candidate_neighbours > 0 || facts.fresh_neighbours > 0) && !look_ahead(t, facts, c, level)) {
    return false;
  }
  binding_[t] = c;
  if (n_ > kScanLimit) used_.insert(c);
  const Slot* binding = binding_;
  bool covered = true;
  for (const uint32_t p : rule.covered_at[t]) {
    const std::span<const uint32_t> pattern = rule.lhs[p];
    // The hyperedge c came from covers the image when it holds all of it, is
    // long enough and lies on the first image vertex's list (certain when
    // that list is complete); otherwise the cover is looked for.
    if (via != kNoSlot && !pattern.empty()) {
      const std::span<const Slot> members = graph.members(via);
      if (members.size() >= pattern.size() && graph.has_complete_list(binding[pattern[0]]) &&
          holds_bound(members, pattern, binding)) {
        continue;
      }
    }
    Slot few[8];
    covered = image_covered(graph, image_of(pattern, binding, few, level.image));
    if (!covered) break;
  }
  // (The last level's success is decided here, without a call.)
  if (covered && (t + 1 < n_ ? search(t + 1) : complete())) return true;
  binding_[t] = kNoSlot;
  if (n_ > kScanLimit) used_.erase(c);
  return false;
}

bool Matcher::search(std::size_t t) {
  if (t >= n_) return complete();
  const RewriteRule& rule = *rule_;
  const Hypergraph& graph = *graph_;
  Level& level = levels_[t];
  const LhsVariable& facts = rule.lhs_variables[t];
  if (facts.candidate_neighbours > 0 || facts.fresh_neighbours > 0) {
    // The look-aheads ask which neighbours are candidates.
    level.candidates.clear();
    for (std::size_t i = 0; i < t; ++i) {
      for (const EdgeSlot e : graph.incidence(binding_[i])) {
        for (const Slot x : graph.members(e)) {
          if (!used(x, t)) level.candidates.insert(x);
        }
      }
    }
  }
  if (facts.adjacent_to_bound) {
    // The unbound vertices on the bound vertices' hyperedges, each once.
    // (Most levels try a handful of candidates: a short list remembers them
    // until it would be slower than the set.)
    level.forget();
    for (std::size_t i = 0; i < t; ++i) {
      const Slot b = binding_[i];
      const std::span<const EdgeSlot> edges = graph.incidence(b);
      const std::size_t n = edges.size();
      const std::size_t start = n > 1 ? start_in(n, salt_, t, b) : 0;
      for (std::size_t j = 0; j < n; ++j) {
        const EdgeSlot e = edges[start + j < n ? start + j : start + j - n];
        for (const Slot x : graph.members(e)) {
          if (used(x, t) || !level.first_time(x)) continue;
          if (attempt(t, facts, x, e, level)) return true;
        }
      }
    }
  } else {
    const std::span<const Slot> live = graph.vertex_list();
    const std::size_t n = live.size();
    const std::size_t start = n > 1 ? start_in(n, salt_, t, kNoSlot) : 0;
    for (std::size_t j = 0; j < n; ++j) {
      const Slot x = live[start + j < n ? start + j : start + j - n];
      if (!used(x, t) && attempt(t, facts, x, kNoSlot, level)) return true;
    }
  }
  return false;
}

// The counting look-aheads: c's neighbourhood (distinct unbound vertices
// other than c on c's hyperedges) must hold at least as many candidates and
// non-candidates as the later variables around t need. Only counts up to
// the needs matter.
bool Matcher::look_ahead(std::size_t t, const LhsVariable& facts, Slot c, Level& level) {
  const uint32_t need_in = facts.candidate_neighbours;
  const uint32_t need_out = facts.fresh_neighbours;
  const Hypergraph& graph = *graph_;
  uint32_t in = 0, out = 0;
  level.around.clear();
  for (const EdgeSlot e : graph.incidence(c)) {
    for (const Slot x : graph.members(e)) {
      if (x == c || used(x, t) || !level.around.insert(x)) continue;
      if (level.candidates.contains(x)) {
        ++in;
      } else {
        ++out;
      }
      if (in >= need_in && out >= need_out) return true;
    }
  }
  return in >= need_in && out >= need_out;
}

// Under DPO: no vertex to be deleted may lie on a hyperedge outside the
// matched-edge set (the first hyperedge found for each pattern's image).
bool Matcher::dangling_check() {
  const RewriteRule& rule = *rule_;
  const Hypergraph& graph = *graph_;
  if (rule.deleted.empty()) return true;
  matched_.clear();
  for (const std::span<const uint32_t> pattern : rule.lhs) {
    if (pattern.empty()) continue;
    Slot few[8];
    const std::span<const Slot> image = image_of(pattern, binding_, few, levels_[0].image);
    for (const EdgeSlot e : graph.incidence(image[0])) {
      if (holds_all(graph.members(e), image)) {
        matched_.push_back(e);
        break;
      }
    }
  }
  for (const uint32_t v : rule.deleted) {
    for (const EdgeSlot e : graph.incidence(binding_[v])) {
      if (std::find(matched_.begin(), matched_.end(), e) == matched_.end()) return false;
    }
  }
  return true;
}

}  // namespace vorn
