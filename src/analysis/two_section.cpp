#include "analysis/two_section.hpp"

namespace vorn::analysis {

TwoSection::TwoSection(const Hypergraph& g) : g_(g), irregular_((g.slot_capacity() + 63) / 64, 0) {
  const uint32_t n = g.slot_capacity();
  bool any = false;
  for (Slot s = 0; s < n; ++s) {
    if (!g.is_vertex(s) || !g.has_complete_list(s)) {
      irregular_[s >> 6] |= uint64_t{1} << (s & 63);
      any = true;
    }
  }
  if (!any) return;
  g.for_each_hyperedge([&](EdgeSlot e) {
    for (const Slot m : g.members(e)) {
      if (irregular(m)) scanned_[m].push_back(e);
    }
  });
  for (const auto& [s, list] : scanned_) {
    if (!g.is_vertex(s)) named_ids_.emplace(g.id_of(s), s);
  }
}

std::optional<Slot> TwoSection::find(VertexId v) const {
  if (const std::optional<Slot> s = g_.slot_of(v)) return s;
  const auto it = named_ids_.find(v);
  if (it == named_ids_.end()) return std::nullopt;
  return it->second;
}

}  // namespace vorn::analysis
