#include "analysis/adjacency.hpp"

#include <algorithm>

namespace vorn::analysis {
namespace {

// Calls f(member, entry) for every entry a hyperedge gives its members' rows
// (before duplicates are dropped).
template <class F>
void entries_of(const Hypergraph& graph, EdgeSlot e, std::vector<Slot>& distinct, F&& f) {
  const auto members = graph.members(e);
  if (members.size() == 2) {  // the common case, without a sort
    if (members[0] != members[1]) {
      f(members[0], members[1]);
      f(members[1], members[0]);
    }
    return;
  }
  distinct.assign(members.begin(), members.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  if (distinct.size() > Adjacency::kCliqueLimit) {
    for (const Slot a : distinct) f(a, Adjacency::kHub | e);
    return;
  }
  for (const Slot a : distinct) {
    for (const Slot b : distinct) {
      if (a != b) f(a, b);
    }
  }
}

}  // namespace

std::size_t Adjacency::bytes(const TwoSection& g) {
  const Hypergraph& graph = g.graph();
  std::size_t entries = 0;
  graph.for_each_hyperedge([&](EdgeSlot e) {
    const std::size_t k = graph.members(e).size();
    entries += k > kCliqueLimit ? k : k * (k - (k > 0));
  });
  return (std::size_t{g.capacity()} * 3 + 2 + entries * 2) * sizeof(uint32_t);
}

std::optional<Adjacency> Adjacency::build(const TwoSection& g, Poll& poll) {
  const Hypergraph& graph = g.graph();
  Adjacency a;
  const uint32_t n = g.capacity();
  if (n >= kHub) return std::nullopt;
  a.offsets_.assign(std::size_t{n} + 1, 0);
  std::vector<Slot> distinct;
  // Counts (an upper bound: duplicates are dropped afterwards), then fills.
  bool cancelled = false;
  graph.for_each_hyperedge([&](EdgeSlot e) {
    if (cancelled) return;
    entries_of(graph, e, distinct, [&](Slot s, uint32_t) { ++a.offsets_[s + 1]; });
    cancelled = poll.tick(distinct.size());
  });
  if (cancelled) return std::nullopt;
  for (uint32_t s = 0; s < n; ++s) a.offsets_[s + 1] += a.offsets_[s];
  const uint32_t total = a.offsets_[n];
  a.adj_.resize(total);
  // offsets_[s + 1] (the end of row s) counts down to the row's start as the
  // row fills; a shift by one then makes offsets_[s] the start again.
  graph.for_each_hyperedge([&](EdgeSlot e) {
    if (cancelled) return;
    entries_of(graph, e, distinct, [&](Slot s, uint32_t entry) { a.adj_[--a.offsets_[s + 1]] = entry; });
    cancelled = poll.tick(distinct.size());
  });
  if (cancelled) return std::nullopt;
  std::copy(a.offsets_.begin() + 1, a.offsets_.end(), a.offsets_.begin());
  a.offsets_[n] = total;
  // Drop duplicates row by row, compacting in place.
  uint32_t out = 0;
  for (uint32_t s = 0; s < n; ++s) {
    const uint32_t begin = a.offsets_[s], end = a.offsets_[s + 1];
    std::sort(a.adj_.begin() + begin, a.adj_.begin() + end);
    a.offsets_[s] = out;
    for (uint32_t i = begin; i < end; ++i) {
      if (i == begin || a.adj_[i] != a.adj_[i - 1]) a.adj_[out++] = a.adj_[i];
    }
    if (poll.tick(end - begin) && s + 1 < n) return std::nullopt;
  }
  a.offsets_[n] = out;
  a.adj_.resize(out);
  a.adj_.shrink_to_fit();
  a.renumber(g);
  return a;
}

void Adjacency::renumber(const TwoSection& g) {
  const uint32_t n = capacity();
  constexpr uint32_t kUnset = UINT32_MAX;
  std::vector<uint32_t> order;  // row index -> slot
  order.reserve(n);
  index_.assign(n, kUnset);
  const Hypergraph& graph = g.graph();
  const auto visit = [&](Slot w) {
    if (index_[w] != kUnset) return;
    index_[w] = static_cast<uint32_t>(order.size());
    order.push_back(w);
  };
  for (Slot root = 0; root < n; ++root) {
    if (index_[root] != kUnset) continue;
    const std::size_t start = order.size();
    std::size_t head = start;
    visit(root);
    for (; head < order.size(); ++head) {
      for (const uint32_t x : row(order[head])) {
        if ((x & kHub) == 0) {
          visit(x);
        } else {
          for (const Slot w : graph.members(x & ~kHub)) visit(w);
        }
      }
    }
    components_.close(static_cast<uint32_t>(start), static_cast<uint32_t>(order.size()));
  }
  std::vector<uint32_t> offsets(std::size_t{n} + 1, 0);
  std::vector<uint32_t> adj(adj_.size());
  uint32_t at = 0;
  for (uint32_t i = 0; i < n; ++i) {
    offsets[i] = at;
    for (const uint32_t x : row(order[i])) adj[at++] = (x & kHub) != 0 ? x : index_[x];
  }
  offsets[n] = at;
  offsets_ = std::move(offsets);
  adj_ = std::move(adj);
}

}  // namespace vorn::analysis
