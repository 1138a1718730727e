// ChaCha stream generator (12 rounds for the engine) with a 64-word buffer:
// four consecutive 16-word blocks are computed at a time and handed out in
// order. A 64-bit draw takes two consecutive words, low half first, straddling
// into the next buffer when only one word is left.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "hypergraph/byte_stream.hpp"

namespace vorn {

// One ChaCha block: `rounds` rounds (12 for the engine, 20 for the published
// test vectors) over the 256-bit key, a 64-bit block counter and a 64-bit
// stream number, written as 16 little-endian words.
void chacha_block(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream, int rounds,
                  uint32_t out[16]);

class ChaCha12 {
 public:
  static constexpr std::size_t kBufferWords = 64;

  explicit ChaCha12(const std::array<uint8_t, 32>& seed);
  // Key expanded from a 64-bit seed by eight PCG32 outputs (little-endian).
  static ChaCha12 from_u64_seed(uint64_t seed);
  // Key of 32 bytes drawn from the calling thread's entropy-seeded generator.
  // Throws std::runtime_error when the operating system gives no entropy.
  static ChaCha12 from_thread_entropy();

  uint32_t next_u32() {
    if (index_ >= kBufferWords) refill();
    return buffer_[index_++];
  }
  uint64_t next_u64() {
    if (index_ + 1 < kBufferWords) {
      const uint64_t lo = buffer_[index_];
      const uint64_t hi = buffer_[index_ + 1];
      index_ += 2;
      return lo | (hi << 32);
    }
    return next_u64_slow();
  }
  void fill_bytes(uint8_t* out, std::size_t n);
  // The word `ahead` words past the next one handed out, when the buffer
  // holds it already: what the stream will give, without drawing it.
  bool peek_u32(std::size_t ahead, uint32_t& out) const {
    const std::size_t i = index_ + ahead;
    if (i >= kBufferWords) return false;
    out = buffer_[i];
    return true;
  }

  // Where the stream stands (the next block and the next word), and a
  // return to such a place; the buffer is recomputed when the block moved.
  struct Position {
    uint64_t counter;
    std::size_t index;
  };
  Position position() const { return {counter_, index_}; }
  void seek(Position p);

  // The generator's whole state (key, block counter, buffer and position):
  // a loaded generator continues the saved one's stream exactly.
  void save(ByteWriter& out) const;
  static std::optional<ChaCha12> load(ByteReader& in);

 private:
  void refill();
  uint64_t next_u64_slow();

  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;  // next block to compute
  std::array<uint32_t, kBufferWords> buffer_{};
  std::size_t index_ = kBufferWords;  // next word to hand out
};

// The 32-byte key that from_u64_seed uses.
std::array<uint8_t, 32> pcg32_expand_seed(uint64_t seed);

// Fills `out` from the operating system's entropy source: getrandom, then
// /dev/urandom, then /dev/random. Returns false when none could be read.
bool os_entropy(uint8_t* out, std::size_t n);

}  // namespace vorn
