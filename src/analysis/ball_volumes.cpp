#include "analysis/ball_volumes.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>

#include "analysis/adjacency.hpp"
#include "analysis/coded_adjacency.hpp"
#include "analysis/components.hpp"

namespace vorn::analysis {
namespace {

// Memory the search may take for its adjacency copy and masks; beyond it the
// search walks the store's own records (slower: they are larger and reached
// through the hyperedges).
constexpr std::size_t kCopyBudget = std::size_t{160} << 20;
constexpr std::size_t kWideBytes = std::size_t{128} << 20;
// Memory for the coded copy (used when the plain one does not fit) and the
// masks, so that the caller's peak stays within about 200 MiB above the
// store. The masks are as wide as what the copy leaves allows.
constexpr std::size_t kCodedBudget = std::size_t{190} << 20;

// Calls f(w) for every neighbour of v (possibly v itself and repeats when
// reading the store); returns the work done.
struct StoreWalk {
  const TwoSection& g;
  template <class F>
  std::size_t operator()(Slot v, F&& f) const {
    std::size_t work = 0;
    for (const EdgeSlot e : g.edges_of(v)) {
      const auto members = g.graph().members(e);
      for (const Slot w : members) f(w);
      work += members.size();
    }
    return work;
  }
};

struct CopyWalk {
  const TwoSection& g;
  const Adjacency& a;
  template <class F>
  std::size_t operator()(Slot v, F&& f) const {
    const auto row = a.row(v);
    std::size_t work = row.size();
    for (const uint32_t x : row) {
      if ((x & Adjacency::kHub) == 0) {
        f(x);
        continue;
      }
      const auto members = g.graph().members(x & ~Adjacency::kHub);
      for (const Slot w : members) f(a.index(w));
      work += members.size();
    }
    return work;
  }
};

// The bound of a search over one or more batches of centres. A batch stops
// at the first radius r where its centres' V(r), those of the batches done
// (`before`, by radius) and one for each centre of the batches to come
// (`later`, the least they can add) sum to more than `until`. Each batch
// thus stops no earlier than the search over all centres would, and the
// last stops exactly there; the rows are then cut at that radius (cut()).
class Limit {
 public:
  explicit Limit(uint64_t until, std::size_t centres) : until_(until), later_(centres) {}

  // Called as a batch of `rows` (its centres' rows so far) is about to go
  // past radius r.
  bool past(std::span<std::vector<uint64_t>> rows, uint32_t r) {
    if (until_ == 0) return false;
    uint64_t total = later_;
    if (!before_.empty()) total += before_[std::min<std::size_t>(r, before_.size() - 1)];
    for (const auto& row : rows) total += row.back();
    if (total <= until_) return false;
    stopped_ = r;
    return true;
  }
  // A batch begins (its centres no longer count as to come) or has ended
  // (its rows count as done, each held at its last entry beyond its end).
  void begin(std::size_t centres) { later_ -= centres; }
  void end(std::span<const std::vector<uint64_t>> rows) {
    if (until_ == 0) return;
    std::size_t longest = before_.size();
    for (const auto& row : rows) longest = std::max(longest, row.size());
    before_.resize(longest, before_.empty() ? 0 : before_.back());
    for (const auto& row : rows) {
      for (std::size_t r = 0; r < longest; ++r) before_[r] += row[std::min(r, row.size() - 1)];
    }
    last_stopped_ = stopped_;
    stopped_ = kNone;
  }
  // Cuts every row at the radius where the last batch stopped.
  void cut(std::vector<std::vector<uint64_t>>& rows) const {
    if (last_stopped_ == kNone) return;
    for (auto& row : rows) row.resize(std::min<std::size_t>(row.size(), last_stopped_ + std::size_t{1}));
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  uint64_t until_;
  uint64_t later_;
  std::vector<uint64_t> before_;
  uint32_t stopped_ = kNone, last_stopped_ = kNone;
};

// One batch of at most bits(Mask) centres; `seen` and `next` are all zero on
// entry; on a normal return `next` is zero again.
template <class Mask, class Walk>
bool batch(const Walk& walk, std::span<const Slot> centres, uint32_t max_radius,
           std::span<std::vector<uint64_t>> rows, std::vector<Mask>& seen, std::vector<Mask>& next,
           Poll& poll, Limit& limit) {
  std::vector<std::pair<Slot, Mask>> frontier;
  std::vector<Slot> touched;
  std::vector<uint64_t> grow(centres.size(), 0);
  for (std::size_t i = 0; i < centres.size(); ++i) {
    const Slot c = centres[i];
    if (seen[c] == 0) touched.push_back(c);
    seen[c] |= Mask{1} << i;
    rows[i].assign(1, 1);
  }
  for (const Slot c : touched) frontier.emplace_back(c, seen[c]);
  for (uint32_t r = 0; r < max_radius && !frontier.empty() && !limit.past(rows, r); ++r) {
    touched.clear();
    for (const auto& [v, f] : frontier) {
      const std::size_t work = walk(v, [&, f = f](Slot w) {
        const Mask m = f & ~seen[w];
        if (m == 0) return;
        if (next[w] == 0) touched.push_back(w);
        next[w] |= m;
      });
      if (poll.tick(work)) return false;
    }
    frontier.clear();
    std::fill(grow.begin(), grow.end(), 0);
    for (const Slot w : touched) {
      Mask m = next[w];
      next[w] = 0;
      seen[w] |= m;
      frontier.emplace_back(w, m);
      for (; m != 0; m &= m - 1) ++grow[std::countr_zero(m)];
    }
    for (std::size_t i = 0; i < centres.size(); ++i) {
      if (grow[i] != 0) rows[i].push_back(rows[i].back() + grow[i]);
    }
    if (poll.tick(touched.size())) return false;
  }
  return true;
}

template <class Mask, class Walk>
Outcome run(const Walk& walk, uint32_t capacity, std::span<const Slot> centres, uint32_t max_radius,
            std::vector<std::vector<uint64_t>>& rows, Poll& poll, uint64_t until) {
  constexpr std::size_t kBits = sizeof(Mask) * 8;
  std::vector<Mask> seen(capacity, 0), next(capacity, 0);
  Limit limit(until, centres.size());
  for (std::size_t b = 0; b < centres.size(); b += kBits) {
    const std::size_t n = std::min(kBits, centres.size() - b);
    limit.begin(n);
    if (!batch<Mask>(walk, centres.subspan(b, n), max_radius, std::span(rows).subspan(b, n), seen, next, poll,
                     limit)) {
      rows.clear();
      return Outcome::cancelled;
    }
    limit.end(std::span(rows).subspan(b, n));
    std::fill(seen.begin(), seen.end(), 0);
  }
  limit.cut(rows);
  return Outcome::done;
}

template <class Walk>
Outcome run_walk(const Walk& walk, uint32_t capacity, std::span<const Slot> centres, uint32_t max_radius,
                 std::vector<std::vector<uint64_t>>& rows, Poll& poll, uint64_t until) {
  if (centres.size() > 32 && std::size_t{capacity} * 2 * sizeof(uint64_t) <= kWideBytes) {
    return run<uint64_t>(walk, capacity, centres, max_radius, rows, poll, until);
  }
  return run<uint32_t>(walk, capacity, centres, max_radius, rows, poll, until);
}

// One batch of at most bits(Mask) centres over the coded copy, with two
// masks a row: `seen` holds the centres within distance r, `mark` those at
// distance exactly r (a part of `seen`) and, as level r + 1 is found, those
// at r + 1 (outside `seen`). A level of few rows is kept as a list of them;
// a larger one is found by a pass over all rows in order, which reads the
// copy front to back. A row's two masks lie side by side, so that one
// cache line serves both. All masks are zero on entry.
template <class Mask>
struct Marks {
  Mask seen = 0, mark = 0;
};

template <class Mask>
bool coded_batch(const CodedAdjacency& a, std::span<const uint32_t> centres, uint32_t max_radius,
                 std::span<std::vector<uint64_t>> rows, std::vector<Marks<Mask>>& bits, Poll& poll,
                 Limit& limit) {
  const uint32_t n = a.capacity();
  const std::size_t list_limit = n / 64 + 64;
  std::vector<uint32_t> level, found;
  bool listed = true;  // whether `level` lists every row of the level
  std::vector<uint64_t> grow(centres.size(), 0);
  for (std::size_t i = 0; i < centres.size(); ++i) {
    const uint32_t c = centres[i];
    if (bits[c].seen == 0) level.push_back(c);
    bits[c].seen |= static_cast<Mask>(Mask{1} << i);
    bits[c].mark = bits[c].seen;
    rows[i].assign(1, 1);
  }
  bool found_listed = true;
  // Spreads the level's bits of row v (at p) to its neighbours.
  const auto expand = [&](uint32_t v, const uint8_t* p) {
    const Mask f = static_cast<Mask>(bits[v].mark & bits[v].seen);
    std::size_t work = 0;
    p = a.neighbours(
        v, p,
        [&](uint32_t w) {
          const Mask m = static_cast<Mask>(f & ~bits[w].seen);
          if (m == 0) return;
          if ((bits[w].mark & ~bits[w].seen) == 0 && found_listed) {
            if (found.size() < list_limit) {
              found.push_back(w);
            } else {
              found_listed = false;
            }
          }
          bits[w].mark |= m;
        },
        work);
    return poll.tick(work + 1);
  };
  // Moves a row's new bits into `seen`, keeping them in `mark` as the next
  // level's; true when it has any.
  const auto settle = [&](uint32_t w) {
    Mask m = static_cast<Mask>(bits[w].mark & ~bits[w].seen);
    bits[w].mark = m;
    if (m == 0) return false;
    bits[w].seen |= m;
    for (; m != 0; m = static_cast<Mask>(m & (m - 1))) ++grow[std::countr_zero(m)];
    return true;
  };
  for (uint32_t r = 0; r < max_radius && !limit.past(rows, r); ++r) {
    found.clear();
    found_listed = true;
    if (listed) {
      for (const uint32_t v : level) {
        if (expand(v, a.row(v))) return false;
      }
    } else {
      const uint8_t* p = a.first_row();
      for (uint32_t v = 0; v < n; ++v) {
        if ((bits[v].mark & bits[v].seen) != 0) {
          if (expand(v, p)) return false;
        }
        p = CodedAdjacency::skip(p);
        if (v % 4096 == 0 && poll.tick(4096)) return false;
      }
    }
    std::fill(grow.begin(), grow.end(), 0);
    bool any = false;
    if (listed && found_listed) {
      for (const uint32_t v : level) bits[v].mark = static_cast<Mask>(bits[v].mark & ~bits[v].seen);
      for (const uint32_t w : found) any |= settle(w);
    } else {
      // Every row: the level's bits go, the next level's settle, and the
      // next level is listed again when it is small.
      found.clear();
      found_listed = true;
      for (uint32_t w = 0; w < n; ++w) {
        if (!settle(w)) continue;
        any = true;
        if (found_listed && found.size() < list_limit) {
          found.push_back(w);
        } else {
          found_listed = false;
        }
      }
      if (poll.tick(n)) return false;
    }
    if (!any) break;
    for (std::size_t i = 0; i < centres.size(); ++i) {
      if (grow[i] != 0) rows[i].push_back(rows[i].back() + grow[i]);
    }
    level.swap(found);
    listed = found_listed;
  }
  return true;
}

template <class Mask>
Outcome coded_run(const CodedAdjacency& a, std::span<const uint32_t> centres, uint32_t max_radius,
                  std::vector<std::vector<uint64_t>>& rows, Poll& poll, uint64_t until) {
  constexpr std::size_t kBits = sizeof(Mask) * 8;
  std::vector<Marks<Mask>> bits(a.capacity());
  Limit limit(until, centres.size());
  for (std::size_t b = 0; b < centres.size(); b += kBits) {
    const std::size_t n = std::min(kBits, centres.size() - b);
    limit.begin(n);
    if (!coded_batch<Mask>(a, centres.subspan(b, n), max_radius, std::span(rows).subspan(b, n), bits, poll,
                           limit)) {
      rows.clear();
      return Outcome::cancelled;
    }
    limit.end(std::span(rows).subspan(b, n));
    std::fill(bits.begin(), bits.end(), Marks<Mask>{});
  }
  limit.cut(rows);
  return Outcome::done;
}

// The bytes of the masks of `bits` bits for `capacity` slots.
constexpr std::size_t mask_bytes(uint32_t capacity, std::size_t bits) {
  return std::size_t{capacity} * 2 * bits / 8;
}

// With the narrowest masks that take all centres in one pass, or the widest
// that fit in `room` bytes (8 bits at least).
Outcome coded_in(const CodedAdjacency& a, std::span<const uint32_t> centres, uint32_t max_radius,
                 std::vector<std::vector<uint64_t>>& rows, Poll& poll, std::size_t room, uint64_t until) {
  std::size_t bits = 8;
  while (bits < 64 && bits < centres.size()) bits *= 2;
  while (bits > 8 && mask_bytes(a.capacity(), bits) > room) bits /= 2;
  switch (bits) {
    case 64:
      return coded_run<uint64_t>(a, centres, max_radius, rows, poll, until);
    case 32:
      return coded_run<uint32_t>(a, centres, max_radius, rows, poll, until);
    case 16:
      return coded_run<uint16_t>(a, centres, max_radius, rows, poll, until);
    default:
      return coded_run<uint8_t>(a, centres, max_radius, rows, poll, until);
  }
}

// The total volume past which a bounded search may stop: a hair over the
// bound, so that the last radius searched is past it in floating point too;
// 0 (no bound) when there is none or it does not fit.
uint64_t until_of(const Bound* bound) {
  if (bound == nullptr || !(bound->fraction > 0)) return 0;
  double total = 0;
  for (const uint64_t size : bound->sizes) total += static_cast<double>(size);
  const double until = bound->fraction * total * (1 + 1e-9) + 1;
  return until < 1e18 ? static_cast<uint64_t>(until) : 0;
}

// The centres' component sizes from a copy's rows.
template <class Copy>
void size_from(const Copy& copy, std::span<const uint32_t> rows_of, Bound* bound) {
  if (bound == nullptr || !(bound->fraction > 0)) return;
  bound->sizes.clear();
  for (const uint32_t i : rows_of) bound->sizes.push_back(copy.component_size(i));
}

}  // namespace

Outcome ball_volumes(const TwoSection& g, std::span<const Slot> centres, uint32_t max_radius,
                     std::vector<std::vector<uint64_t>>& rows, const StopHook& stop, Layout layout,
                     Bound* bound) {
  rows.assign(centres.size(), {});
  Poll poll(stop);
  if (centres.empty()) return Outcome::done;
  const uint32_t n = g.capacity();
  const bool automatic = layout == Layout::automatic;
  const std::size_t masks = std::size_t{n} * 2 * sizeof(uint32_t);
  // A copy pays off once several centres share it.
  if (layout == Layout::plain ||
      (automatic && centres.size() > 1 && Adjacency::bytes(g) + masks <= kCopyBudget)) {
    std::optional<Adjacency> copy = Adjacency::build(g, poll);
    if (!copy) {
      rows.clear();
      return Outcome::cancelled;
    }
    std::vector<Slot> rows_of(centres.size());
    for (std::size_t i = 0; i < centres.size(); ++i) rows_of[i] = copy->index(centres[i]);
    size_from(*copy, rows_of, bound);
    return run_walk(CopyWalk{g, *copy}, n, rows_of, max_radius, rows, poll, until_of(bound));
  }
  // Too large for the plain copy: the coded one, when it fits with masks of
  // at least 8 bits. While it is built it holds its index (four bytes a
  // slot, more than the narrowest masks), which goes before the masks come.
  const std::size_t fixed = std::size_t{n} * sizeof(uint32_t);
  if (layout == Layout::coded || (automatic && centres.size() > 1 && fixed < kCodedBudget)) {
    std::optional<CodedAdjacency> copy =
        CodedAdjacency::build(g, poll, automatic ? kCodedBudget - fixed : SIZE_MAX);
    if (poll.stopped()) {
      rows.clear();
      return Outcome::cancelled;
    }
    if (copy) {
      std::vector<Slot> rows_of(centres.size());
      for (std::size_t i = 0; i < centres.size(); ++i) rows_of[i] = copy->index(centres[i]);
      copy->drop_index();
      size_from(*copy, rows_of, bound);
      const std::size_t held = copy->bytes();
      return coded_in(*copy, rows_of, max_radius, rows, poll, held < kCodedBudget ? kCodedBudget - held : 0,
                      until_of(bound));
    }
  }
  if (bound != nullptr && bound->fraction > 0) {
    std::vector<std::pair<Slot, uint32_t>> labels;
    if (components(g, labels, stop) == Outcome::cancelled) {
      rows.clear();
      return Outcome::cancelled;
    }
    std::vector<uint64_t> count;
    std::vector<uint32_t> label_of(n, 0);
    for (const auto& [s, c] : labels) {
      if (c >= count.size()) count.resize(c + 1, 0);
      ++count[c];
      label_of[s] = c;
    }
    bound->sizes.clear();
    for (const Slot c : centres) bound->sizes.push_back(count[label_of[c]]);
  }
  return run_walk(StoreWalk{g}, n, centres, max_radius, rows, poll, 0);
}

}  // namespace vorn::analysis
