// A byte-coded copy of the 2-section's adjacency for graphs whose plain copy
// (adjacency.hpp) would not fit in memory. Rows are numbered in breadth-first
// order (index(slot)), so a row's sorted neighbours differ by gaps that are
// mostly small; each is stored as a prefix varint (one to four bytes, the
// length in the low bits of the first, read without a branch). Rows are
// stored back to back, each led by its length, so a pass over all rows reads
// the bytes in order; a row alone is found from the start of its block of
// kBlock rows.
// A hyperedge with more than kCliqueLimit distinct members is not expanded
// into a clique: its members' rows name it once and a walk reads its member
// rows from a small table.
// Invariants: rows hold no duplicates and never the row itself; the copy is
// valid while the store is not changed. Memory: the coded rows (about ten
// bytes a slot on a growing graph) and four bytes per block; four more bytes
// per slot for index() until drop_index().
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "analysis/component_ranges.hpp"
#include "analysis/stop.hpp"
#include "analysis/two_section.hpp"

namespace vorn::analysis {

class CodedAdjacency {
 public:
  static constexpr std::size_t kCliqueLimit = 8;
  static constexpr uint32_t kBlock = 16;
  // Rows beyond this would need entries of more than 29 bits.
  static constexpr uint32_t kMaxRows = uint32_t{1} << 27;

  // Builds the copy in one breadth-first pass over the store; nullopt when
  // cancelled, when the store has kMaxRows slots or more, or when the coded
  // rows would take more than `max_bytes`.
  static std::optional<CodedAdjacency> build(const TwoSection& g, Poll& poll,
                                             std::size_t max_bytes = SIZE_MAX);

  // Row i's bytes.
  const uint8_t* row(uint32_t i) const {
    const uint8_t* p = data_.data() + blocks_[i / kBlock];
    for (uint32_t k = i - i % kBlock; k < i; ++k) p = skip(p);
    return p;
  }
  // The first row's bytes; each row's end is the next one's start.
  const uint8_t* first_row() const { return data_.data(); }
  // The end of the row at p.
  static const uint8_t* skip(const uint8_t* p) {
    const uint32_t header = *p++;
    if (header != kEscape) return p + header;
    const uint32_t length = read_varint(p);
    const uint32_t hubs = read_varint(p);
    return p + length + 4 * std::size_t{hubs};
  }
  // Calls f(row) for each neighbour of row i, whose bytes are at p: the
  // plain neighbours once each, ascending, then the members of each long
  // hyperedge (i itself and repeats included). Adds the number of calls to
  // `calls`; returns the end of the row.
  template <class F>
  const uint8_t* neighbours(uint32_t i, const uint8_t* p, F&& f, std::size_t& calls) const;

  // The row of a slot; valid until drop_index().
  uint32_t index(Slot s) const { return index_[s]; }
  void drop_index() { std::vector<uint32_t>().swap(index_); }
  uint32_t capacity() const { return rows_; }
  // The number of rows (slots) in row i's connected component.
  uint32_t component_size(uint32_t i) const { return components_.size_of(i); }
  // Bytes held now (the rows' reserved but untouched tail is not counted:
  // the system backs it with no memory).
  std::size_t bytes() const {
    return (blocks_.capacity() + index_.capacity() + hub_rows_.capacity() + hub_starts_.capacity()) *
               sizeof(uint32_t) +
           data_.size() + components_.bytes();
  }

  // A header byte of this value: the plain entries' length and the number of
  // long hyperedges follow as varints; else it is the plain entries' length.
  static constexpr uint32_t kEscape = 255;
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
  // One prefix varint: the number of trailing one bits of its first byte
  // (at most three) is its length in bytes minus one.
  static uint32_t read_entry(const uint8_t*& p) {
    static constexpr uint32_t kMask[4] = {0xff, 0xffff, 0xffffff, 0xffffffff};
    static constexpr uint8_t kShift[4] = {1, 2, 3, 3};
    const uint32_t v = load(p);
    const int t = std::countr_zero(~v | 8);
    p += t + 1;
    return (v & kMask[t]) >> kShift[t];
  }

  // Row i: a header (see kEscape), its plain entries, then its long
  // hyperedges as four-byte numbers h, whose member rows are
  // hub_rows_[hub_starts_[h] .. hub_starts_[h + 1]). The first plain entry
  // is the zigzag-coded difference of its row to i, each later one its gap
  // to the previous one minus one. blocks_[b] is the offset of row b * kBlock.
  std::vector<uint8_t> data_;
  std::vector<uint32_t> blocks_;
  std::vector<uint32_t> hub_starts_{0};
  std::vector<uint32_t> hub_rows_;
  std::vector<uint32_t> index_;
  ComponentRanges components_;
  uint32_t rows_ = 0;
};

template <class F>
const uint8_t* CodedAdjacency::neighbours(uint32_t i, const uint8_t* p, F&& f, std::size_t& calls) const {
  uint32_t length = *p++, hubs = 0;
  if (length == kEscape) {
    length = read_varint(p);
    hubs = read_varint(p);
  }
  const uint8_t* const end = p + length;
  if (p < end) {
    const uint32_t z = read_entry(p);
    uint32_t prev = (z & 1) ? i - (z >> 1) - 1 : i + (z >> 1);
    f(prev);
    ++calls;
    while (p < end) {
      prev += read_entry(p) + 1;
      f(prev);
      ++calls;
    }
  }
  for (uint32_t k = 0; k < hubs; ++k, p += 4) {
    const uint32_t h = load(p);
    for (uint32_t m = hub_starts_[h]; m < hub_starts_[h + 1]; ++m) f(hub_rows_[m]);
    calls += hub_starts_[h + 1] - hub_starts_[h];
  }
  return p;
}

}  // namespace vorn::analysis
