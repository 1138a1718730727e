#include "analysis/nearest_edges.hpp"

#include <algorithm>

#include "absl/container/flat_hash_set.h"

namespace vorn::analysis {

Outcome nearest_edges(const TwoSection& g, Slot centre, std::size_t limit, std::vector<EdgeSlot>& out,
                      const StopHook& stop) {
  out.clear();
  if (limit == 0) return Outcome::done;
  absl::flat_hash_set<EdgeSlot> taken;
  absl::flat_hash_set<Slot> seen{centre};
  std::vector<Slot> queue{centre};
  std::vector<EdgeSlot> at;
  Poll poll(stop);
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const auto list = g.edges_of(queue[head]);
    at.assign(list.begin(), list.end());
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    for (const EdgeSlot e : at) {
      if (!taken.insert(e).second) continue;
      out.push_back(e);
      if (out.size() >= limit) return Outcome::done;
      const auto members = g.graph().members(e);
      for (const Slot w : members) {
        if (seen.insert(w).second) queue.push_back(w);
      }
      if (poll.tick(members.size() + 1)) {
        out.clear();
        return Outcome::cancelled;
      }
    }
  }
  return Outcome::done;
}

}  // namespace vorn::analysis
