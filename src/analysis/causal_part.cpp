#include "analysis/causal_part.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "absl/container/flat_hash_map.h"

namespace vorn::analysis {

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// Vertex id -> index in order of appearance. Ids from one counter span a
// range not much wider than their number: a table over that range, else a
// hash map.
class IndexOf {
 public:
  explicit IndexOf(const std::vector<std::pair<VertexId, uint64_t>>& depths) {
    if (depths.empty()) return;
    low_ = high_ = depths.front().first;
    for (const auto& [v, d] : depths) {
      low_ = std::min(low_, v);
      high_ = std::max(high_, v);
    }
    const uint64_t span = high_ - low_;
    if (span < 4 * depths.size() + (uint64_t{1} << 20)) {
      table_.assign(span + 1, kNone);
      for (uint32_t i = 0; i < depths.size(); ++i) table_[depths[i].first - low_] = i;
    } else {
      map_.reserve(depths.size());
      for (uint32_t i = 0; i < depths.size(); ++i) map_.emplace(depths[i].first, i);
    }
  }
  uint32_t operator()(VertexId v) const {
    if (!table_.empty()) return v >= low_ && v <= high_ ? table_[v - low_] : kNone;
    const auto it = map_.find(v);
    return it == map_.end() ? kNone : it->second;
  }

 private:
  VertexId low_ = 0, high_ = 0;
  std::vector<uint32_t> table_;
  absl::flat_hash_map<VertexId, uint32_t> map_;
};

// Rows of neighbour indices, each ascending: row u holds u's effects (or
// its causes).
struct Rows {
  std::vector<uint32_t> begin;  // n + 1 entries
  std::vector<uint32_t> items;
};

}  // namespace

Outcome causal_part(const std::vector<std::pair<VertexId, uint64_t>>& depths,
                    std::vector<std::pair<VertexId, VertexId>> recorded, std::size_t count, CausalPart& out,
                    const StopHook& stop) {
  out = {};
  const std::size_t n = depths.size();
  if (n >= kNone) throw std::length_error("more causal vertices than a picture's selection can number");
  count = std::min(count, n);
  if (count == 0) return Outcome::done;
  Poll poll(stop);
  // The pairs as indices (the ids are released), and for each vertex its
  // effects and its causes.
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  {
    const IndexOf index(depths);
    pairs.reserve(recorded.size());
    for (const auto& [a, b] : recorded) {
      const uint32_t i = index(a), j = index(b);
      if (i != kNone && j != kNone) pairs.emplace_back(i, j);
      if (poll.tick()) return Outcome::cancelled;
    }
    recorded = {};
  }
  const auto rows = [&](bool effects) {
    Rows r;
    r.begin.assign(n + 1, 0);
    for (const auto& [a, b] : pairs) ++r.begin[(effects ? a : b) + 1];
    for (std::size_t u = 0; u < n; ++u) r.begin[u + 1] += r.begin[u];
    r.items.resize(pairs.size());
    std::vector<uint32_t> at(r.begin.begin(), r.begin.end() - 1);
    for (const auto& [a, b] : pairs) {
      const uint32_t u = effects ? a : b;
      r.items[at[u]++] = effects ? b : a;
    }
    for (std::size_t u = 0; u < n; ++u) {
      std::sort(r.items.begin() + r.begin[u], r.items.begin() + r.begin[u + 1]);
    }
    return r;
  };
  const Rows effects = rows(true);
  if (poll.tick(pairs.size())) return Outcome::cancelled;
  const Rows causes = rows(false);
  if (poll.tick(pairs.size())) return Outcome::cancelled;

  // Breadth-first from the newest vertex, marking each vertex when reached.
  std::vector<uint8_t> seen(n, 0);
  std::vector<uint32_t> order;
  order.reserve(count);
  order.push_back(static_cast<uint32_t>(n - 1));
  seen[n - 1] = 1;
  for (std::size_t next = 0; next < order.size() && order.size() < count; ++next) {
    const uint32_t u = order[next];
    for (const Rows* r : {&effects, &causes}) {
      for (uint32_t k = r->begin[u]; k < r->begin[u + 1] && order.size() < count; ++k) {
        const uint32_t w = r->items[k];
        if (!seen[w]) {
          seen[w] = 1;
          order.push_back(w);
        }
      }
    }
    if (poll.tick(effects.begin[u + 1] - effects.begin[u] + causes.begin[u + 1] - causes.begin[u] + 1)) {
      return Outcome::cancelled;
    }
  }
  for (std::size_t u = n; u-- > 0 && order.size() < count;) {
    if (!seen[u]) order.push_back(static_cast<uint32_t>(u));
  }
  std::sort(order.begin(), order.end());

  // The pairs among the chosen vertices, as indices into them.
  std::vector<uint32_t> where(n, kNone);
  for (uint32_t k = 0; k < order.size(); ++k) where[order[k]] = k;
  for (const auto& [a, b] : pairs) {
    if (where[a] != kNone && where[b] != kNone) out.pairs.emplace_back(where[a], where[b]);
  }
  out.shown = std::move(order);
  return Outcome::done;
}

}  // namespace vorn::analysis
