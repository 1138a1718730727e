// ByteWriter and ByteReader: the little-endian byte form in which the store,
// the causal relation, the undo record and the engine write and read their
// own state (checkpoints). The reader checks every bound; its first failure
// sticks, so a section can read on after a failure and test `ok()` once.
//
// Invariant: a reader never reads past its input and never lets a count
// claim more items than the bytes left could hold (so no count read from
// damaged bytes makes a huge allocation).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vorn {

static_assert(std::endian::native == std::endian::little, "state is written little-endian");

// Why bytes were refused: `part` names the field the bytes end in when
// `truncated`, else the inconsistency found. Empty `part`: nothing wrong.
struct CheckpointDamage {
  bool truncated = false;
  std::string part;
};

class ByteWriter {
 public:
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) { raw(&v, sizeof v); }
  void u64(uint64_t v) { raw(&v, sizeof v); }
  void f64(double v) { raw(&v, sizeof v); }
  void str(std::string_view s) {
    u64(s.size());
    out_.append(s);
  }
  void raw(const void* p, std::size_t n) { out_.append(static_cast<const char*>(p), n); }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view in) : in_(in) {}
  bool ok() const { return damage_.part.empty(); }
  const CheckpointDamage& damage() const { return damage_; }
  // Records an inconsistency (the first one found sticks).
  void fail(std::string what);
  bool at_end() const { return pos_ == in_.size(); }
  // Bytes read so far.
  std::size_t position() const { return pos_; }

  uint8_t u8(const char* what) {
    uint8_t v = 0;
    raw(&v, 1, what);
    return v;
  }
  uint32_t u32(const char* what) {
    uint32_t v = 0;
    raw(&v, sizeof v, what);
    return v;
  }
  uint64_t u64(const char* what) {
    uint64_t v = 0;
    raw(&v, sizeof v, what);
    return v;
  }
  double f64(const char* what) {
    double v = 0;
    raw(&v, sizeof v, what);
    return v;
  }
  // A 0/1 byte; anything else fails.
  bool flag(const char* what);
  std::string_view str(const char* what);
  // A count of items of at least `item_bytes` each: refused as truncated
  // when the bytes left cannot hold that many.
  uint32_t count(const char* what, std::size_t item_bytes);

 private:
  void truncated(const char* what);
  void raw(void* p, std::size_t n, const char* what) {
    if (!ok()) return;
    if (n > in_.size() - pos_) {
      truncated(what);
      return;
    }
    std::memcpy(p, in_.data() + pos_, n);
    pos_ += n;
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  CheckpointDamage damage_;
};

}  // namespace vorn
