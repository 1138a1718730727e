#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rewrite_engine/chacha.hpp"

namespace {

using vorn::ChaCha12;
using vorn::chacha_block;

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::array<uint32_t, 8> key_words(const std::array<uint8_t, 32>& bytes) {
  std::array<uint32_t, 8> k{};
  for (std::size_t i = 0; i < 8; ++i) {
    k[i] = static_cast<uint32_t>(bytes[4 * i]) | (static_cast<uint32_t>(bytes[4 * i + 1]) << 8) |
           (static_cast<uint32_t>(bytes[4 * i + 2]) << 16) | (static_cast<uint32_t>(bytes[4 * i + 3]) << 24);
  }
  return k;
}

std::array<uint8_t, 32> sequential_key() {
  std::array<uint8_t, 32> k{};
  for (std::size_t i = 0; i < 32; ++i) k[i] = static_cast<uint8_t>(i);
  return k;
}

// Words 0..(16*blocks-1) of the 12-round stream for `key`, stream 0, from block 0.
std::vector<uint32_t> reference_stream(const std::array<uint8_t, 32>& key, std::size_t blocks) {
  std::vector<uint32_t> words(16 * blocks);
  for (std::size_t b = 0; b < blocks; ++b) chacha_block(key_words(key), b, 0, 12, &words[16 * b]);
  return words;
}

// Published ChaCha20 keystream blocks. The IETF layout has a 32-bit counter in
// word 12 and a 96-bit nonce in words 13-15; here word 13 is the high half of
// the 64-bit counter and words 14-15 the stream number, so an IETF vector with
// nonce bytes n0..n11 and counter c maps to counter = c | le32(n0..n3) << 32 and
// stream = le64(n4..n11). Every vector below was also recomputed with
// `openssl enc -chacha20`, whose 16-byte IV is words 12-15 as little-endian bytes.
TEST(ChaChaBlock, PublishedChaCha20Vectors) {
  struct Vector {
    const char* name;
    std::array<uint8_t, 32> key;
    uint64_t counter;
    uint64_t stream;
    const char* keystream;
  };
  const std::array<uint8_t, 32> zero{};
  const std::array<uint8_t, 32> seq = sequential_key();
  const Vector vectors[] = {
      {"all-zero key, block 0", zero, 0, 0,
       "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
       "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
      {"all-zero key, block 1", zero, 1, 0,
       "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
       "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
      {"all-zero key, nonce ...02, block 0", zero, 0, 0x0200000000000000ull,
       "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c7"
       "8a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
      // Key 00..1f, nonce 000000090000004a00000000, counter 1 (block-function example).
      {"key 00..1f, nonce 09/4a, block 1", seq, 0x0900000000000001ull, 0x4a000000ull,
       "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
       "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
      // Key 00..1f, nonce 000000000000004a00000000, counter 1 (encryption example).
      {"key 00..1f, nonce 4a, block 1", seq, 1, 0x4a000000ull,
       "224f51f3401bd9e12fde276fb8631ded8c131f823d2c06e27e4fcaec9ef3cf78"
       "8a3b0aa372600a92b57974cded2b9334794cba40c63e34cdea212c4cf07d41b7"},
  };
  for (const Vector& v : vectors) {
    uint32_t out[16];
    chacha_block(key_words(v.key), v.counter, v.stream, 20, out);
    std::vector<uint8_t> bytes;
    for (uint32_t w : out) {
      for (int s = 0; s < 32; s += 8) bytes.push_back(static_cast<uint8_t>(w >> s));
    }
    EXPECT_EQ(bytes, from_hex(v.keystream)) << v.name;
  }
}

TEST(ChaCha12, HandsOutFourBlockBuffersInOrder) {
  const auto seed = sequential_key();
  const auto expected = reference_stream(seed, 12);  // three buffers
  ChaCha12 rng(seed);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(rng.next_u32(), expected[i]) << "word " << i;
  }
  // The generator runs 12 rounds: a 20-round block would differ.
  uint32_t block20[16];
  chacha_block(key_words(seed), 0, 0, 20, block20);
  EXPECT_NE(expected[0], block20[0]);
}

TEST(ChaCha12, U64DrawsTakeWordPairsLowFirstAndStraddleBuffers) {
  const auto seed = sequential_key();
  const auto w = reference_stream(seed, 12);
  auto pair = [&](std::size_t lo) { return uint64_t{w[lo]} | (uint64_t{w[lo + 1]} << 32); };

  {  // aligned: 64-bit draws over two whole buffers
    ChaCha12 rng(seed);
    for (std::size_t i = 0; i < 128; i += 2) ASSERT_EQ(rng.next_u64(), pair(i)) << "word " << i;
  }
  {  // one word left: low half is word 63, high half is the next buffer's word 0
    ChaCha12 rng(seed);
    for (int i = 0; i < 63; ++i) rng.next_u32();
    EXPECT_EQ(rng.next_u64(), pair(63));
    // 64-bit draws stay one word out of step and straddle the next boundary too
    for (std::size_t i = 65; i < 127; i += 2) ASSERT_EQ(rng.next_u64(), pair(i)) << "word " << i;
    EXPECT_EQ(rng.next_u64(), pair(127));
    EXPECT_EQ(rng.next_u32(), w[129]);
  }
  {  // buffer exactly used up: the draw comes wholly from the next buffer
    ChaCha12 rng(seed);
    for (int i = 0; i < 64; ++i) rng.next_u32();
    EXPECT_EQ(rng.next_u64(), pair(64));
    EXPECT_EQ(rng.next_u32(), w[66]);
  }
}

TEST(ChaCha12, FillBytesWritesLittleEndianWords) {
  const auto seed = sequential_key();
  const auto w = reference_stream(seed, 8);
  ChaCha12 rng(seed);
  rng.next_u32();                    // start mid-buffer
  std::vector<uint8_t> out(263, 0);  // crosses the buffer boundary, ends mid-word
  rng.fill_bytes(out.data(), out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], static_cast<uint8_t>(w[1 + i / 4] >> (8 * (i % 4)))) << "byte " << i;
  }
  // The partly used word is spent; the next draw is the word after it.
  EXPECT_EQ(rng.next_u32(), w[1 + 66]);
  rng.fill_bytes(nullptr, 0);
  EXPECT_EQ(rng.next_u32(), w[1 + 67]);
}

// Expected keys computed independently with a few lines of Python (arbitrary-
// precision integers masked to 64 bits):
//   s = (s * 6364136223846793005 + 11634580027462260723) & (2**64 - 1)
//   x = (((s >> 18) ^ s) >> 27) & 0xffffffff; r = s >> 59
//   out += ((x >> r) | (x << ((32 - r) & 31)) & 0xffffffff).to_bytes(4, "little")
// repeated eight times from s = seed.
TEST(Pcg32Seed, ExpandsKnownSeeds) {
  const std::array<uint8_t, 32> seed0 = {0xec, 0xf2, 0x73, 0xf9, 0x81, 0xb5, 0xcd, 0x45, 0x87, 0xf0, 0x46,
                                         0x73, 0x06, 0xad, 0x6c, 0xad, 0xd0, 0xd0, 0xa3, 0xe3, 0x33, 0x17,
                                         0xe7, 0x67, 0xf2, 0x9b, 0xea, 0x72, 0xd7, 0x8a, 0x7d, 0xfe};
  const std::array<uint8_t, 32> seed42 = {0xa4, 0x8f, 0xa1, 0x7b, 0x58, 0x32, 0x3d, 0x0a, 0xea, 0xb8, 0xa1,
                                          0xcc, 0x69, 0x01, 0x14, 0xb8, 0x2b, 0x8c, 0xc8, 0x75, 0x18, 0xb4,
                                          0xf7, 0x54, 0x8d, 0x44, 0x6e, 0xa1, 0xe4, 0xdf, 0x20, 0xf2};
  const std::array<uint8_t, 32> seed_max = {0x2f, 0x47, 0x92, 0xe3, 0xd6, 0x10, 0x28, 0x10, 0x35, 0x54, 0x2d,
                                            0x95, 0x2c, 0xf9, 0x5e, 0x43, 0x9a, 0xe9, 0x34, 0x7b, 0x03, 0xdd,
                                            0xc5, 0x37, 0x63, 0x7a, 0xc7, 0xb0, 0x43, 0x20, 0x61, 0x3e};
  EXPECT_EQ(vorn::pcg32_expand_seed(0), seed0);
  EXPECT_EQ(vorn::pcg32_expand_seed(42), seed42);
  EXPECT_EQ(vorn::pcg32_expand_seed(UINT64_MAX), seed_max);

  // A seeded generator runs the ChaCha12 stream under that key.
  ChaCha12 rng = ChaCha12::from_u64_seed(42);
  const auto w = reference_stream(seed42, 1);
  EXPECT_EQ(rng.next_u32(), w[0]);
  EXPECT_EQ(rng.next_u64(), uint64_t{w[1]} | (uint64_t{w[2]} << 32));
}

TEST(Entropy, OsEntropyFillsBuffers) {
  std::array<uint8_t, 64> a{}, b{};
  ASSERT_TRUE(vorn::os_entropy(a.data(), a.size()));
  ASSERT_TRUE(vorn::os_entropy(b.data(), b.size()));
  EXPECT_NE(a, b);
  EXPECT_NE(a, (std::array<uint8_t, 64>{}));
  EXPECT_TRUE(vorn::os_entropy(nullptr, 0));
}

TEST(Entropy, ThreadEntropyGivesEachEngineItsOwnKey) {
  // 4096 keys of 32 bytes take the per-thread generator through reseeds.
  std::set<uint64_t> firsts;
  for (int i = 0; i < 4096; ++i) firsts.insert(ChaCha12::from_thread_entropy().next_u64());
  EXPECT_EQ(firsts.size(), 4096u);

  uint64_t other_thread = 0;
  std::thread t([&] { other_thread = ChaCha12::from_thread_entropy().next_u64(); });
  t.join();
  EXPECT_EQ(firsts.count(other_thread), 0u);
}

TEST(Entropy, ForkedChildDoesNotRepeatParentKeys) {
  ChaCha12::from_thread_entropy();  // the parent's generator exists before the fork
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    const uint64_t v = ChaCha12::from_thread_entropy().next_u64();
    const bool ok = write(fds[1], &v, sizeof v) == static_cast<ssize_t>(sizeof v);
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  const uint64_t parent = ChaCha12::from_thread_entropy().next_u64();
  uint64_t child = 0;
  const ssize_t got = read(fds[0], &child, sizeof child);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof child));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(parent, child);
}

}  // namespace

namespace {

TEST(ChaCha12, SeekReturnsToAPositionAcrossBuffers) {
  ChaCha12 rng = ChaCha12::from_u64_seed(3);
  rng.next_u32();
  for (const int draws : {0, 1, 63, 64, 200}) {
    const ChaCha12::Position at = rng.position();
    std::vector<uint64_t> first;
    for (int i = 0; i < draws + 3; ++i) first.push_back(rng.next_u64());
    // Back from wherever the stream went (the buffer recomputed when it moved on).
    rng.seek(at);
    for (int i = 0; i < draws + 3; ++i) EXPECT_EQ(rng.next_u64(), first[i]) << draws << " " << i;
  }
  ChaCha12 fresh = ChaCha12::from_u64_seed(4);
  const ChaCha12::Position start = fresh.position();
  const uint32_t a = fresh.next_u32();
  fresh.next_u64();
  fresh.seek(start);
  EXPECT_EQ(fresh.next_u32(), a);
}

}  // namespace
