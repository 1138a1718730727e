// A byte-coded copy of the 2-section's adjacency for graphs whose plain copy
// (adjacency.hpp) would not fit in memory. Rows are numbered in breadth-first
// order (index(slot)), so most neighbours lie near their row and a row's
// sorted neighbours differ by small gaps. Each row is a header byte and its
// entries at fixed byte widths chosen for that row (the first entry one width,
// the rest another), so reading a row takes no branch per entry.
// A hyperedge with more than kCliqueLimit distinct members is not expanded
// into a clique: its members' rows name it once and a walk reads its member
// rows from a small table.
// Invariants: rows hold no duplicates and never the row itself; the copy is
// valid while the store is not changed. Memory: four bytes per slot for the
// row starts plus the coded rows (about six bytes per slot on a growing
// graph); four more per slot for index() until drop_index().
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "analysis/stop.hpp"
#include "analysis/two_section.hpp"

namespace vorn::analysis {

class CodedAdjacency {
 public:
  static constexpr std::size_t kCliqueLimit = 8;

  // Builds the copy in one breadth-first pass over the store; nullopt when
  // cancelled or when the coded rows would take more than `max_bytes` (or
  // four GiB).
  static std::optional<CodedAdjacency> build(const TwoSection& g, Poll& poll,
                                             std::size_t max_bytes = SIZE_MAX);

  // Calls f(row) for each neighbour of row i: the plain neighbours once each,
  // ascending, then the members of each long hyperedge (i itself and repeats
  // included). Returns the number of calls.
  template <class F>
  std::size_t for_each_neighbour(uint32_t i, F&& f) const;
  // The row of a slot; valid until drop_index().
  uint32_t index(Slot s) const { return index_[s]; }
  void drop_index() { std::vector<uint32_t>().swap(index_); }
  uint32_t capacity() const { return static_cast<uint32_t>(starts_.size() - 1); }
  // Bytes held now (the rows' reserved but untouched tail is not counted:
  // the system backs it with no memory).
  std::size_t bytes() const {
    return (starts_.capacity() + index_.capacity() + hub_rows_.capacity() + hub_starts_.capacity()) *
               sizeof(uint32_t) +
           data_.size();
  }

  // A header's count field at this value means the counts follow as
  // varints: plain entries, then long hyperedges.
  static constexpr uint32_t kEscape = 15;
  // Bytes after the last row, so that every entry can be read as four.
  static constexpr std::size_t kPadding = 3;

 private:
  static uint32_t read_varint(const uint8_t*& p) {
    uint32_t v = 0;
    for (int shift = 0;; shift += 7) {
      const uint32_t b = *p++;
      v |= (b & 0x7f) << shift;
      if (b < 0x80) return v;
    }
  }
  static uint32_t load(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }

  // Row i's bytes start at data_[starts_[i]]. Header: bits 0-1 the first
  // entry's width in bytes minus one, bits 2-3 the later entries' width minus
  // one, bits 4-7 the number of plain entries (kEscape: the counts follow).
  // The first entry is the zigzag-coded difference of its row to i, each
  // later one its gap to the previous one minus one (little-endian). Long
  // hyperedges follow as four-byte numbers h: their member rows are
  // hub_rows_[hub_starts_[h] .. hub_starts_[h + 1]).
  std::vector<uint32_t> starts_;
  std::vector<uint8_t> data_;
  std::vector<uint32_t> hub_starts_{0};
  std::vector<uint32_t> hub_rows_;
  std::vector<uint32_t> index_;
};

template <class F>
std::size_t CodedAdjacency::for_each_neighbour(uint32_t i, F&& f) const {
  const uint8_t* p = data_.data() + starts_[i];
  const uint32_t header = *p++;
  uint32_t count = header >> 4, hubs = 0;
  if (count == kEscape) {
    count = read_varint(p);
    hubs = read_varint(p);
  }
  std::size_t calls = count;
  if (count != 0) {
    const uint32_t first_width = (header & 3) + 1, width = ((header >> 2) & 3) + 1;
    const uint32_t first_mask = static_cast<uint32_t>((uint64_t{1} << (8 * first_width)) - 1);
    const uint32_t mask = static_cast<uint32_t>((uint64_t{1} << (8 * width)) - 1);
    const uint32_t z = load(p) & first_mask;
    p += first_width;
    uint32_t prev = (z & 1) ? i - (z >> 1) - 1 : i + (z >> 1);
    f(prev);
    for (uint32_t k = 1; k < count; ++k) {
      prev += (load(p) & mask) + 1;
      p += width;
      f(prev);
    }
  }
  for (uint32_t k = 0; k < hubs; ++k, p += 4) {
    const uint32_t h = load(p);
    for (uint32_t m = hub_starts_[h]; m < hub_starts_[h + 1]; ++m) f(hub_rows_[m]);
    calls += hub_starts_[h + 1] - hub_starts_[h];
  }
  return calls;
}

}  // namespace vorn::analysis
