#include "analysis/components.hpp"

namespace vorn::analysis {

Outcome components(const TwoSection& g, std::vector<std::pair<Slot, uint32_t>>& out, const StopHook& stop) {
  out.clear();
  constexpr uint32_t kUnset = UINT32_MAX;
  std::vector<uint32_t> label(g.capacity(), kUnset);
  std::vector<Slot> queue;
  Poll poll(stop);
  uint32_t next = 0;
  bool cancelled = false;
  g.for_each_slot([&](Slot s) {
    if (cancelled || label[s] != kUnset) return;
    const uint32_t c = next++;
    label[s] = c;
    queue.assign(1, s);
    for (std::size_t head = 0; head < queue.size() && !cancelled; ++head) {
      for (const EdgeSlot e : g.edges_of(queue[head])) {
        const auto members = g.graph().members(e);
        for (const Slot w : members) {
          if (label[w] != kUnset) continue;
          label[w] = c;
          queue.push_back(w);
        }
        if (poll.tick(members.size())) {
          cancelled = true;
          break;
        }
      }
    }
  });
  if (cancelled) return Outcome::cancelled;
  g.for_each_slot([&](Slot s) { out.emplace_back(s, label[s]); });
  return Outcome::done;
}

}  // namespace vorn::analysis
