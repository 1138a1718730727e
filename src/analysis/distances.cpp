#include "analysis/distances.hpp"

namespace vorn::analysis {

Outcome distances(const TwoSection& g, Slot source, uint32_t max_radius,
                  std::vector<std::pair<Slot, uint32_t>>& out, const StopHook& stop) {
  out.clear();
  std::vector<uint32_t> dist(g.capacity(), kNoRadius);
  Poll poll(stop);
  dist[source] = 0;
  out.emplace_back(source, 0);
  // `out` doubles as the queue: entries before `head` are done.
  for (std::size_t head = 0; head < out.size(); ++head) {
    const auto [v, d] = out[head];
    if (d >= max_radius) continue;
    for (const EdgeSlot e : g.edges_of(v)) {
      const auto members = g.graph().members(e);
      for (const Slot w : members) {
        if (dist[w] != kNoRadius) continue;
        dist[w] = d + 1;
        out.emplace_back(w, d + 1);
      }
      if (poll.tick(members.size())) {
        out.clear();
        return Outcome::cancelled;
      }
    }
  }
  return Outcome::done;
}

}  // namespace vorn::analysis
