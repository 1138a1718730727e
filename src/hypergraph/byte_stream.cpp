#include "hypergraph/byte_stream.hpp"

#include <utility>

namespace vorn {

void ByteReader::fail(std::string what) {
  if (ok()) damage_ = {false, std::move(what)};
}

void ByteReader::truncated(const char* what) {
  if (ok()) damage_ = {true, what};
}

bool ByteReader::flag(const char* what) {
  const uint8_t v = u8(what);
  if (v > 1) fail("a flag that is neither 0 nor 1");
  return v == 1;
}

std::string_view ByteReader::str(const char* what) {
  const uint64_t n = u64(what);
  if (!ok() || n > in_.size() - pos_) {
    truncated(what);
    return {};
  }
  std::string_view s = in_.substr(pos_, n);
  pos_ += n;
  return s;
}

uint32_t ByteReader::count(const char* what, std::size_t item_bytes) {
  const uint32_t n = u32(what);
  if (ok() && item_bytes > 0 && n > (in_.size() - pos_) / item_bytes) {
    truncated(what);
    return 0;
  }
  return ok() ? n : 0;
}

}  // namespace vorn
