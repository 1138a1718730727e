#include "analysis/ball_volumes.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace vorn::analysis {
namespace {

constexpr std::size_t kWideBytes = std::size_t{128} << 20;

// One batch of at most bits(Mask) centres; `seen` and `next` are all zero on
// entry; on a normal return `next` is zero again.
template <class Mask>
bool batch(const TwoSection& g, std::span<const Slot> centres, uint32_t max_radius,
           std::span<std::vector<uint64_t>> rows, std::vector<Mask>& seen, std::vector<Mask>& next,
           Poll& poll) {
  const Hypergraph& graph = g.graph();
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
      for (const EdgeSlot e : g.edges_of(v)) {
        const auto members = graph.members(e);
        for (const Slot w : members) {
          const Mask m = f & ~seen[w];
          if (m == 0) continue;
          if (next[w] == 0) touched.push_back(w);
          next[w] |= m;
        }
        if (poll.tick(members.size())) return false;
      }
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
    poll.tick(touched.size());
  }
  return !poll.stopped();
}

template <class Mask>
Outcome run(const TwoSection& g, std::span<const Slot> centres, uint32_t max_radius,
            std::vector<std::vector<uint64_t>>& rows, Poll& poll) {
  constexpr std::size_t kBits = sizeof(Mask) * 8;
  std::vector<Mask> seen(g.capacity(), 0), next(g.capacity(), 0);
  for (std::size_t b = 0; b < centres.size(); b += kBits) {
    const std::size_t n = std::min(kBits, centres.size() - b);
    if (!batch<Mask>(g, centres.subspan(b, n), max_radius, std::span(rows).subspan(b, n), seen, next,
                     poll)) {
      rows.clear();
      return Outcome::cancelled;
    }
    std::fill(seen.begin(), seen.end(), 0);
  }
  return Outcome::done;
}

}  // namespace

Outcome ball_volumes(const TwoSection& g, std::span<const Slot> centres, uint32_t max_radius,
                     std::vector<std::vector<uint64_t>>& rows, const StopHook& stop) {
  rows.assign(centres.size(), {});
  Poll poll(stop);
  if (centres.size() > 32 && std::size_t{g.capacity()} * 2 * sizeof(uint64_t) <= kWideBytes) {
    return run<uint64_t>(g, centres, max_radius, rows, poll);
  }
  return run<uint32_t>(g, centres, max_radius, rows, poll);
}

}  // namespace vorn::analysis
