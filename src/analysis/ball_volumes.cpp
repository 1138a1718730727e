#include "analysis/ball_volumes.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>

#include "analysis/adjacency.hpp"

namespace vorn::analysis {
namespace {

// Memory the search may take for its adjacency copy and masks; beyond it the
// search walks the store's own records (slower: they are larger and reached
// through the hyperedges).
constexpr std::size_t kCopyBudget = std::size_t{160} << 20;
constexpr std::size_t kWideBytes = std::size_t{128} << 20;

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

// One batch of at most bits(Mask) centres; `seen` and `next` are all zero on
// entry; on a normal return `next` is zero again.
template <class Mask, class Walk>
bool batch(const Walk& walk, std::span<const Slot> centres, uint32_t max_radius,
           std::span<std::vector<uint64_t>> rows, std::vector<Mask>& seen, std::vector<Mask>& next,
           Poll& poll) {
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
  for (uint32_t r = 0; r < max_radius && !frontier.empty(); ++r) {
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
            std::vector<std::vector<uint64_t>>& rows, Poll& poll) {
  constexpr std::size_t kBits = sizeof(Mask) * 8;
  std::vector<Mask> seen(capacity, 0), next(capacity, 0);
  for (std::size_t b = 0; b < centres.size(); b += kBits) {
    const std::size_t n = std::min(kBits, centres.size() - b);
    if (!batch<Mask>(walk, centres.subspan(b, n), max_radius, std::span(rows).subspan(b, n), seen, next,
                     poll)) {
      rows.clear();
      return Outcome::cancelled;
    }
    std::fill(seen.begin(), seen.end(), 0);
  }
  return Outcome::done;
}

template <class Walk>
Outcome run_walk(const Walk& walk, uint32_t capacity, std::span<const Slot> centres, uint32_t max_radius,
                 std::vector<std::vector<uint64_t>>& rows, Poll& poll) {
  if (centres.size() > 32 && std::size_t{capacity} * 2 * sizeof(uint64_t) <= kWideBytes) {
    return run<uint64_t>(walk, capacity, centres, max_radius, rows, poll);
  }
  return run<uint32_t>(walk, capacity, centres, max_radius, rows, poll);
}

}  // namespace

Outcome ball_volumes(const TwoSection& g, std::span<const Slot> centres, uint32_t max_radius,
                     std::vector<std::vector<uint64_t>>& rows, const StopHook& stop) {
  rows.assign(centres.size(), {});
  Poll poll(stop);
  if (centres.empty()) return Outcome::done;
  const std::size_t masks = std::size_t{g.capacity()} * 2 * sizeof(uint32_t);
  // The copy pays off once several centres share it.
  if (centres.size() > 1 && Adjacency::bytes(g) + masks <= kCopyBudget) {
    std::optional<Adjacency> copy = Adjacency::build(g, poll);
    if (!copy) {
      rows.clear();
      return Outcome::cancelled;
    }
    std::vector<Slot> rows_of(centres.size());
    for (std::size_t i = 0; i < centres.size(); ++i) rows_of[i] = copy->index(centres[i]);
    return run_walk(CopyWalk{g, *copy}, g.capacity(), rows_of, max_radius, rows, poll);
  }
  return run_walk(StoreWalk{g}, g.capacity(), centres, max_radius, rows, poll);
}

}  // namespace vorn::analysis
