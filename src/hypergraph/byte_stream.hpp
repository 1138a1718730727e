// ByteWriter and ByteReader: the little-endian byte form in which the store,
// the causal relation, the undo record and the engine write and read their
// own state (checkpoints). Either end works on bytes held whole or streams
// them in pieces of about kPiece bytes (to and from a file, say), so that a
// large state never has to be held as bytes beside the engine. The reader
// checks every bound; its first failure sticks, so a section can read on
// after a failure and test `ok()` once.
//
// Invariant: a reader never reads past its input and never lets a count
// claim more items than the bytes left could hold (so no count read from
// damaged bytes makes a huge allocation).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
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

// Bytes at most this long are held by a streaming writer or reader at once
// (beyond a single longer string).
inline constexpr std::size_t kPiece = std::size_t{1} << 20;

class ByteWriter {
 public:
  // Takes each piece written; false stops the writing (see ok()).
  using Sink = std::function<bool(std::string_view)>;

  // Collects the bytes for take().
  ByteWriter() = default;
  // Hands the bytes to `sink` in pieces as they are written; finish() hands
  // over the last one.
  explicit ByteWriter(Sink sink) : sink_(std::move(sink)) {}
  // Keeps no bytes, only their number (written()).
  static ByteWriter counter() {
    ByteWriter w;
    w.counting_ = true;
    return w;
  }

  void u8(uint8_t v) { raw(&v, 1); }
  void u32(uint32_t v) { raw(&v, sizeof v); }
  void u64(uint64_t v) { raw(&v, sizeof v); }
  void f64(double v) { raw(&v, sizeof v); }
  void str(std::string_view s) {
    u64(s.size());
    raw(s.data(), s.size());
  }
  void raw(const void* p, std::size_t n) {
    written_ += n;
    if (counting_) return;
    out_.append(static_cast<const char*>(p), n);
    if (sink_ && out_.size() >= kPiece) pass_on();
  }
  // Whether the bytes are only counted (a section may then count a long run
  // of bytes at once with skip()).
  bool counting() const { return counting_; }
  void skip(std::size_t n) { written_ += n; }
  // Bytes written so far.
  std::size_t written() const { return written_; }
  // False once the sink refused a piece (what followed was dropped).
  bool ok() const { return !refused_; }
  // Hands the last piece to the sink; ok() afterwards.
  bool finish() {
    if (sink_ && !out_.empty()) pass_on();
    return ok();
  }
  std::string take() { return std::move(out_); }

 private:
  void pass_on();

  Sink sink_;
  std::string out_;
  std::size_t written_ = 0;
  bool counting_ = false;
  bool refused_ = false;
};

class ByteReader {
 public:
  // Fills `out` with up to `max` bytes and returns how many (0: no more
  // can be had, which the reader takes for a failure of the source).
  using Source = std::function<std::size_t(char* out, std::size_t max)>;

  explicit ByteReader(std::string_view in) : in_(in), size_(in.size()) {}
  // Reads `size` bytes in all from `source`, a piece at a time.
  ByteReader(Source source, std::size_t size) : size_(size), source_(std::move(source)) {}
  // (It views its own buffer: not to be copied or moved.)
  ByteReader(const ByteReader&) = delete;
  ByteReader& operator=(const ByteReader&) = delete;

  bool ok() const { return damage_.part.empty(); }
  const CheckpointDamage& damage() const { return damage_; }
  // Records an inconsistency (the first one found sticks).
  void fail(std::string what);
  bool at_end() const { return position() == size_; }
  // Bytes read so far.
  std::size_t position() const { return base_ + pos_; }
  // Whether the source failed to deliver bytes it was said to hold.
  bool source_failed() const { return source_failed_; }

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
  // A length and that many bytes, valid until the next read.
  std::string_view str(const char* what);
  // A length and that many bytes, handed to piece(std::string_view) in
  // consecutive pieces as they arrive (never more than kPiece at once when
  // streaming); the length is refused as truncated when the bytes left
  // cannot hold it. Returns the length.
  template <class F>
  uint64_t pieces(const char* what, F&& piece);
  // A count of items of at least `item_bytes` each: refused as truncated
  // when the bytes left cannot hold that many.
  uint32_t count(const char* what, std::size_t item_bytes);

 private:
  std::size_t left() const { return size_ - position(); }
  void truncated(const char* what);
  // Makes `n` bytes from the position on readable in in_, pulling from the
  // source; false (with the failure recorded) when they are not there.
  bool fill(std::size_t n, const char* what);
  void raw(void* p, std::size_t n, const char* what) {
    if (!ok()) return;
    if (n > in_.size() - pos_ && !fill(n, what)) return;
    std::memcpy(p, in_.data() + pos_, n);
    pos_ += n;
  }

  std::string_view in_;  // the bytes at hand, from absolute offset base_
  std::size_t pos_ = 0;  // position within in_
  std::size_t base_ = 0;
  std::size_t size_ = 0;  // bytes in all
  Source source_;
  std::string buffer_;  // what in_ views when streaming
  bool source_failed_ = false;
  CheckpointDamage damage_;
};

template <class F>
uint64_t ByteReader::pieces(const char* what, F&& piece) {
  const uint64_t n = u64(what);
  if (!ok()) return 0;
  if (n > left()) {
    truncated(what);
    return 0;
  }
  uint64_t rest = n;
  while (rest > 0 && ok()) {
    if (pos_ == in_.size() && !fill(std::min<uint64_t>(rest, kPiece), what)) break;
    const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(rest, in_.size() - pos_));
    piece(in_.substr(pos_, take));
    pos_ += take;
    rest -= take;
  }
  return n;
}

}  // namespace vorn
