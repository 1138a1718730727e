#include "analysis/coded_adjacency.hpp"

#include <algorithm>
#include <deque>

#include "absl/container/flat_hash_map.h"

namespace vorn::analysis {
namespace {

// How far ahead in the queue the build reads the store.
constexpr std::size_t kAhead = 16;

void put_varint(std::vector<uint8_t>& out, uint32_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

void put_bytes(std::vector<uint8_t>& out, uint32_t v, uint32_t width) {
  for (uint32_t b = 0; b < width; ++b, v >>= 8) out.push_back(static_cast<uint8_t>(v));
}

// One prefix varint (v < 2^29).
void put_entry(std::vector<uint8_t>& out, uint32_t v) {
  if (v < (1u << 7)) {
    out.push_back(static_cast<uint8_t>(v << 1));
  } else if (v < (1u << 14)) {
    put_bytes(out, (v << 2) | 1, 2);
  } else if (v < (1u << 21)) {
    put_bytes(out, (v << 3) | 3, 3);
  } else {
    put_bytes(out, (v << 3) | 7, 4);
  }
}

std::size_t entry_bytes(uint32_t v) {
  return v < (1u << 7) ? 1 : v < (1u << 14) ? 2 : v < (1u << 21) ? 3 : 4;
}

// Appends row i: its sorted distinct plain neighbours, then its long
// hyperedges' numbers.
void put_row(std::vector<uint8_t>& out, uint32_t i, const std::vector<uint32_t>& plain,
             const std::vector<uint32_t>& hubs) {
  uint32_t first = 0;
  std::size_t length = 0;
  if (!plain.empty()) {
    const uint32_t w = plain[0];
    first = w >= i ? (w - i) << 1 : ((i - w - 1) << 1) | 1;
    length = entry_bytes(first);
    for (std::size_t k = 1; k < plain.size(); ++k) length += entry_bytes(plain[k] - plain[k - 1] - 1);
  }
  if (length < CodedAdjacency::kEscape && hubs.empty()) {
    out.push_back(static_cast<uint8_t>(length));
  } else {
    out.push_back(CodedAdjacency::kEscape);
    put_varint(out, static_cast<uint32_t>(length));
    put_varint(out, static_cast<uint32_t>(hubs.size()));
  }
  if (!plain.empty()) {
    put_entry(out, first);
    for (std::size_t k = 1; k < plain.size(); ++k) put_entry(out, plain[k] - plain[k - 1] - 1);
  }
  for (const uint32_t h : hubs) put_bytes(out, h, 4);
}

}  // namespace

std::optional<CodedAdjacency> CodedAdjacency::build(const TwoSection& g, Poll& poll, std::size_t max_bytes) {
  const Hypergraph& graph = g.graph();
  const uint32_t n = g.capacity();
  if (n >= kMaxRows) return std::nullopt;
  max_bytes = std::min<std::size_t>(max_bytes, UINT32_MAX - kPadding);
  CodedAdjacency a;
  constexpr uint32_t kUnset = UINT32_MAX;
  a.rows_ = n;
  a.index_.assign(n, kUnset);
  a.blocks_.reserve(n / kBlock + 1);
  // The rows are appended without ever being moved: the reservation is an
  // upper bound, and only the part the rows fill is backed by memory.
  std::size_t entries = 0;
  graph.for_each_hyperedge([&](EdgeSlot e) {
    const std::size_t k = graph.members(e).size();
    entries += k > kCliqueLimit ? k : k * (k - (k > 0));
  });
  a.data_.reserve(std::min(max_bytes, entries * 4 + std::size_t{n} * 11) + kPadding);

  absl::flat_hash_map<EdgeSlot, uint32_t> hub_of;  // long hyperedge -> its number
  std::vector<Slot> hub_slots;                     // members by slot until every row is known
  std::vector<uint32_t> plain, hubs;
  std::vector<Slot> distinct;
  std::deque<Slot> queue;
  uint32_t next_row = 0;
  const auto visit = [&](Slot w) {
    if (a.index_[w] != kUnset) return;
    a.index_[w] = next_row++;
    queue.push_back(w);
  };
  // Whether e is a long hyperedge, numbering it (and noting its members) on
  // first sight.
  const auto hub = [&](EdgeSlot e, std::span<const Slot> members) -> std::optional<uint32_t> {
    if (members.size() <= kCliqueLimit) return std::nullopt;
    if (const auto it = hub_of.find(e); it != hub_of.end()) return it->second;
    distinct.assign(members.begin(), members.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (distinct.size() <= kCliqueLimit) return std::nullopt;
    const auto h = static_cast<uint32_t>(hub_of.size());
    hub_of.emplace(e, h);
    hub_slots.insert(hub_slots.end(), distinct.begin(), distinct.end());
    a.hub_starts_.push_back(static_cast<uint32_t>(hub_slots.size()));
    return h;
  };
  // Rows are written in the order they are numbered: each component from
  // its smallest slot.
  for (Slot root = 0; root < n; ++root) {
    const uint32_t start = next_row;
    visit(root);
    while (!queue.empty()) {
      // The store's records are reached in no useful order: reading those
      // of a vertex a few places ahead in the queue lets their cache misses
      // overlap with this vertex's work.
      if (queue.size() > kAhead) {
        for (const EdgeSlot e : g.edges_of(queue[kAhead])) {
          for (const Slot w : graph.members(e)) __builtin_prefetch(&a.index_[w]);
        }
      }
      const Slot v = queue.front();
      queue.pop_front();
      const uint32_t i = a.index_[v];
      plain.clear();
      hubs.clear();
      std::size_t work = 1;
      for (const EdgeSlot e : g.edges_of(v)) {
        const auto members = graph.members(e);
        work += members.size();
        if (const std::optional<uint32_t> h = hub(e, members)) {
          hubs.push_back(*h);
          for (const Slot w : members) visit(w);
          continue;
        }
        for (const Slot w : members) {
          if (w == v) continue;
          visit(w);
          plain.push_back(a.index_[w]);
        }
      }
      // Rows are mostly short: an insertion sort beats std::sort there.
      if (plain.size() > 32) {
        std::sort(plain.begin(), plain.end());
      } else {
        for (std::size_t k = 1; k < plain.size(); ++k) {
          const uint32_t x = plain[k];
          std::size_t j = k;
          for (; j > 0 && plain[j - 1] > x; --j) plain[j] = plain[j - 1];
          plain[j] = x;
        }
      }
      plain.erase(std::unique(plain.begin(), plain.end()), plain.end());
      std::sort(hubs.begin(), hubs.end());
      hubs.erase(std::unique(hubs.begin(), hubs.end()), hubs.end());
      // (a bound on the row's bytes: the rows never outgrow the reservation)
      if (a.data_.size() + 11 + 4 * (plain.size() + hubs.size()) > max_bytes) return std::nullopt;
      if (i % kBlock == 0) a.blocks_.push_back(static_cast<uint32_t>(a.data_.size()));
      put_row(a.data_, i, plain, hubs);
      if (poll.tick(work)) return std::nullopt;
    }
    a.components_.close(start, next_row);
  }
  a.data_.insert(a.data_.end(), kPadding, 0);
  a.hub_rows_.reserve(hub_slots.size());
  for (const Slot w : hub_slots) a.hub_rows_.push_back(a.index_[w]);
  return a;
}

}  // namespace vorn::analysis
