// The causal relation: direct causes and effects, depths, and transitive
// propagation of past and future sets within the causal horizon.
#include <deque>
#include <limits>

#include "hypergraph/hypergraph.hpp"

namespace vorn {

namespace {

void append_unique(std::vector<VertexId>& list, VertexId id) {
  for (const VertexId x : list) {
    if (x == id) return;
  }
  list.push_back(id);
}

// Breadth-first search from `start` along `causes` (backward) or `effects`
// (forward). Each reached vertex within the horizon gets `visit_fn`; a vertex
// outside it is marked but neither visited nor expanded. The visited set holds
// only the ids met, so its cost follows the search, not the id counter.
template <class Fn>
void propagate(const Hypergraph& graph, VertexId start, uint64_t start_depth, uint64_t horizon,
               bool backward, Fn&& visit_fn) {
  absl::flat_hash_set<VertexId> visited;
  std::deque<VertexId> queue;
  visited.insert(start);
  queue.push_back(start);
  while (!queue.empty()) {
    const VertexId x = queue.front();
    queue.pop_front();
    const uint64_t dx = graph.depth_of(x);
    if (backward) {
      if (start_depth > dx && start_depth - dx > horizon) continue;
    } else {
      if (dx > start_depth && dx - start_depth > horizon) continue;
    }
    visit_fn(x);
    const auto record = graph.vertices.find(x);
    if (record == graph.vertices.end()) continue;
    for (const VertexId next : backward ? record->second.causes : record->second.effects) {
      if (visited.insert(next).second) queue.push_back(next);
    }
  }
}

}  // namespace

void Hypergraph::add_causal_relation(VertexId a, VertexId b) {
  // 1. Already related.
  if (const auto fa = causal_future_sets.find(a);
      fa != causal_future_sets.end() && fa->second.contains(b)) {
    return;
  }
  // 2. Depths and direct links.
  const uint64_t da = depth_of(a);
  const auto rb = vertices.find(b);
  if (rb != vertices.end() && da + 1 > rb->second.causal_depth) {
    rb->second.causal_depth = da + 1;
  }
  if (const auto ra = vertices.find(a); ra != vertices.end()) {
    append_unique(ra->second.effects, b);
  }
  if (rb != vertices.end()) append_unique(rb->second.causes, a);
  const uint64_t db = depth_of(b);
  // 3. Limit.
  const uint64_t horizon =
      causal_horizon == 0 ? std::numeric_limits<uint64_t>::max() : causal_horizon;
  const uint64_t capacity = bitset_capacity;
  // 4. Sources, copied before any set changes (copies share storage).
  const auto pa_it = causal_past_sets.find(a);
  FixedBitSet pa = pa_it != causal_past_sets.end() ? pa_it->second
                                                   : FixedBitSet::with_capacity(capacity);
  const auto fb_it = causal_future_sets.find(b);
  FixedBitSet fb = fb_it != causal_future_sets.end() ? fb_it->second
                                                     : FixedBitSet::with_capacity(capacity);
  // 5. Sizes.
  const uint64_t n = std::max(pa.length(), fb.length());
  const uint64_t t = causal_set_length(n, capacity);
  if (pa.length() < n) pa.grow(t);
  if (fb.length() < n) fb.grow(t);
  // 6-7. Backward pass: every cause within the horizon gains b's future.
  propagate(*this, a, da, horizon, /*backward=*/true, [&](VertexId x) {
    const auto fx = causal_future_sets.find(x);
    if (fx == causal_future_sets.end()) return;
    if (fx->second.length() < n) fx->second.grow(t);
    fx->second.union_with(fb);
  });
  // 8-9. Forward pass: every effect within the horizon gains a's past.
  propagate(*this, b, db, horizon, /*backward=*/false, [&](VertexId y) {
    const auto py = causal_past_sets.find(y);
    if (py == causal_past_sets.end()) return;
    if (py->second.length() < n) py->second.grow(t);
    py->second.union_with(pa);
  });
}

namespace {

absl::flat_hash_set<VertexId> collect(const absl::flat_hash_map<VertexId, FixedBitSet>& sets,
                                      VertexId v) {
  absl::flat_hash_set<VertexId> out;
  const auto it = sets.find(v);
  if (it == sets.end()) return out;
  it->second.for_each_one([&out](uint64_t i) { out.insert(i); });
  return out;
}

}  // namespace

absl::flat_hash_set<VertexId> Hypergraph::causal_past(VertexId v) const {
  return collect(causal_past_sets, v);
}

absl::flat_hash_set<VertexId> Hypergraph::causal_future(VertexId v) const {
  return collect(causal_future_sets, v);
}

}  // namespace vorn
