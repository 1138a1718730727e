#include "hypergraph/byte_stream.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vorn {

void ByteWriter::pass_on() {
  if (!refused_ && !sink_(out_)) refused_ = true;
  out_.clear();
}

void ByteReader::fail(std::string what) {
  if (ok()) damage_ = {false, std::move(what)};
}

void ByteReader::truncated(const char* what) {
  if (ok()) damage_ = {true, what};
}

bool ByteReader::fill(std::size_t n, const char* what) {
  if (n > left() || !source_) {
    truncated(what);
    return false;
  }
  // What is left of the piece at hand moves to the front, and the rest of a
  // piece (or of the `n` bytes, when longer) comes from the source.
  const std::size_t kept = in_.size() - pos_;
  const std::size_t want = std::min(left(), std::max(n, kPiece));
  std::string next(want, '\0');
  if (kept > 0) std::memcpy(next.data(), in_.data() + pos_, kept);
  std::size_t have = kept;
  while (have < want) {
    const std::size_t got = source_(next.data() + have, want - have);
    if (got == 0 || got > want - have) {
      source_failed_ = true;
      truncated(what);
      return false;
    }
    have += got;
  }
  base_ += pos_;
  pos_ = 0;
  buffer_ = std::move(next);
  in_ = buffer_;
  return true;
}

bool ByteReader::flag(const char* what) {
  const uint8_t v = u8(what);
  if (v > 1) fail("a flag that is neither 0 nor 1");
  return v == 1;
}

std::string_view ByteReader::str(const char* what) {
  const uint64_t n = u64(what);
  if (!ok() || n > left()) {
    truncated(what);
    return {};
  }
  if (n > in_.size() - pos_ && !fill(static_cast<std::size_t>(n), what)) return {};
  std::string_view s = in_.substr(pos_, n);
  pos_ += n;
  return s;
}

uint32_t ByteReader::count(const char* what, std::size_t item_bytes) {
  const uint32_t n = u32(what);
  if (ok() && item_bytes > 0 && n > left() / item_bytes) {
    truncated(what);
    return 0;
  }
  return ok() ? n : 0;
}

}  // namespace vorn
