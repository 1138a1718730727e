// The generator's section of a checkpoint: its whole state.
#include "rewrite_engine/chacha.hpp"

namespace vorn {

void ChaCha12::save(ByteWriter& out) const {
  for (const uint32_t k : key_) out.u32(k);
  out.u64(counter_);
  out.u32(static_cast<uint32_t>(index_));
  for (const uint32_t b : buffer_) out.u32(b);
}

std::optional<ChaCha12> ChaCha12::load(ByteReader& in) {
  ChaCha12 rng(std::array<uint8_t, 32>{});
  for (uint32_t& k : rng.key_) k = in.u32("the generator's key");
  rng.counter_ = in.u64("the generator's counter");
  rng.index_ = in.u32("the generator's position");
  if (rng.index_ > kBufferWords) in.fail("a generator position past its buffer");
  for (uint32_t& b : rng.buffer_) b = in.u32("the generator's buffer");
  if (!in.ok()) return std::nullopt;
  return rng;
}

}  // namespace vorn
