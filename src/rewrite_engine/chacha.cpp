#include "rewrite_engine/chacha.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace vorn {

namespace {

inline uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline void quarter_round(uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] ^= x[a];
  x[d] = rotl32(x[d], 16);
  x[c] += x[d];
  x[b] ^= x[c];
  x[b] = rotl32(x[b], 12);
  x[a] += x[b];
  x[d] ^= x[a];
  x[d] = rotl32(x[d], 8);
  x[c] += x[d];
  x[b] ^= x[c];
  x[b] = rotl32(x[b], 7);
}

inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t rotr32(uint32_t x, unsigned n) {
  n &= 31u;
  return n == 0 ? x : (x >> n) | (x << (32u - n));
}

}  // namespace

void chacha_block(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream, int rounds,
                  uint32_t out[16]) {
  // "expand 32-byte k"
  const uint32_t input[16] = {0x61707865u,
                              0x3320646eu,
                              0x79622d32u,
                              0x6b206574u,
                              key[0],
                              key[1],
                              key[2],
                              key[3],
                              key[4],
                              key[5],
                              key[6],
                              key[7],
                              static_cast<uint32_t>(counter),
                              static_cast<uint32_t>(counter >> 32),
                              static_cast<uint32_t>(stream),
                              static_cast<uint32_t>(stream >> 32)};
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  // Each iteration is one double round: a column round and a diagonal round.
  for (int r = 0; r < rounds / 2; ++r) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

ChaCha12::ChaCha12(const std::array<uint8_t, 32>& seed) {
  for (std::size_t i = 0; i < 8; ++i) key_[i] = load_le32(seed.data() + 4 * i);
}

namespace {

// Four lanes of 32 bits; GCC and Clang lower the element-wise operations to
// the target's vector instructions (SSE2 on every x86-64).
typedef uint32_t Lanes __attribute__((vector_size(16)));

inline Lanes rotl(Lanes x, int n) { return (x << n) | (x >> (32 - n)); }

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  a += b;
  d ^= a;
  d = rotl(d, 16);
  c += d;
  b ^= c;
  b = rotl(b, 12);
  a += b;
  d ^= a;
  d = rotl(d, 8);
  c += d;
  b ^= c;
  b = rotl(b, 7);
}

}  // namespace

// The four blocks of a buffer at once, block b in lane b: the same words as
// four calls of chacha_block, in a quarter of the instructions.
void ChaCha12::refill() {
  static_assert(kBufferWords == 64, "four blocks of sixteen words");
  Lanes in[16];
  const uint32_t sigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
  for (int i = 0; i < 4; ++i) in[i] = Lanes{} + sigma[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = Lanes{} + key_[i];
  for (int b = 0; b < 4; ++b) {
    const uint64_t counter = counter_ + static_cast<uint64_t>(b);
    in[12][b] = static_cast<uint32_t>(counter);
    in[13][b] = static_cast<uint32_t>(counter >> 32);
    in[14][b] = 0;  // stream 0
    in[15][b] = 0;
  }
  Lanes x[16];
  for (int i = 0; i < 16; ++i) x[i] = in[i];
  for (int r = 0; r < 12 / 2; ++r) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) {
    const Lanes word = x[i] + in[i];
    for (int b = 0; b < 4; ++b) buffer_[16 * b + i] = word[b];
  }
  counter_ += kBufferWords / 16;
  index_ = 0;
}

void ChaCha12::seek(Position p) {
  if (p.counter != counter_ && p.index < kBufferWords) {
    // The buffer that position reads from: the four blocks before it.
    counter_ = p.counter - kBufferWords / 16;
    refill();
  }
  counter_ = p.counter;
  index_ = p.index;
}

uint64_t ChaCha12::next_u64_slow() {
  if (index_ + 1 == kBufferWords) {
    // One word left: it is the low half, the next buffer's first word the high half.
    const uint64_t lo = buffer_[index_];
    refill();
    const uint64_t hi = buffer_[0];
    index_ = 1;
    return lo | (hi << 32);
  }
  refill();
  const uint64_t lo = buffer_[0];
  const uint64_t hi = buffer_[1];
  index_ = 2;
  return lo | (hi << 32);
}

void ChaCha12::fill_bytes(uint8_t* out, std::size_t n) {
  // Whole words are consumed; the unused bytes of a final partial word are dropped.
  while (n >= 4) {
    store_le32(out, next_u32());
    out += 4;
    n -= 4;
  }
  if (n > 0) {
    uint8_t tail[4];
    store_le32(tail, next_u32());
    for (std::size_t i = 0; i < n; ++i) out[i] = tail[i];
  }
}

std::array<uint8_t, 32> pcg32_expand_seed(uint64_t seed) {
  constexpr uint64_t kMul = 6364136223846793005ull;
  constexpr uint64_t kInc = 11634580027462260723ull;
  std::array<uint8_t, 32> key{};
  uint64_t state = seed;
  for (std::size_t i = 0; i < 8; ++i) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<unsigned>(state >> 59);
    store_le32(key.data() + 4 * i, rotr32(xorshifted, rot));
  }
  return key;
}

ChaCha12 ChaCha12::from_u64_seed(uint64_t seed) { return ChaCha12(pcg32_expand_seed(seed)); }

namespace {

// Reads exactly n bytes from a device file; false on any failure.
bool read_device(const char* path, uint8_t* out, std::size_t n) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < n) {
    const ssize_t r = ::read(fd, out + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (r == 0) {  // end of file: the device gave up
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(r);
  }
  ::close(fd);
  return ok;
}

bool read_getrandom(uint8_t* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::getrandom(out + done, n - done, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;  // ENOSYS (old kernel), EPERM (filtered) and the like
    }
    done += static_cast<std::size_t>(r);
  }
  return true;
}

// Bumped in every child process after fork(), so that a child never repeats
// the thread generator's stream from its parent (or from a sibling).
std::atomic<uint64_t> g_fork_generation{0};

void on_fork_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

void register_fork_handler() {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, &on_fork_child); });
}

// Per-thread generator from which new engines take their keys.
struct ThreadGenerator {
  // Output after which the generator takes a fresh key from the OS.
  static constexpr std::size_t kReseedBytes = 64 * 1024;

  std::optional<ChaCha12> rng;
  std::size_t bytes_since_seed = 0;
  uint64_t fork_generation = 0;

  bool reseed() {
    std::array<uint8_t, 32> seed{};
    if (!os_entropy(seed.data(), seed.size())) return false;
    rng.emplace(seed);
    bytes_since_seed = 0;
    fork_generation = g_fork_generation.load(std::memory_order_relaxed);
    return true;
  }

  void fill(uint8_t* out, std::size_t n) {
    register_fork_handler();
    const bool forked = rng && fork_generation != g_fork_generation.load(std::memory_order_relaxed);
    if (!rng || forked || bytes_since_seed >= kReseedBytes) {
      // A scheduled reseed that fails leaves the current (already
      // unpredictable) generator in use and is retried on the next call. After
      // a fork, or with no generator yet, there is no safe state to continue
      // from, so the failure is reported.
      if (!reseed() && (!rng || forked)) {
        throw std::runtime_error(
            "no entropy available: the operating system's random source could not be read");
      }
    }
    rng->fill_bytes(out, n);
    bytes_since_seed += n;
  }
};

thread_local ThreadGenerator t_generator;

}  // namespace

bool os_entropy(uint8_t* out, std::size_t n) {
  if (n == 0) return true;
  if (read_getrandom(out, n)) return true;
  if (read_device("/dev/urandom", out, n)) return true;
  return read_device("/dev/random", out, n);
}

ChaCha12 ChaCha12::from_thread_entropy() {
  std::array<uint8_t, 32> key{};
  t_generator.fill(key.data(), key.size());
  return ChaCha12(key);
}

}  // namespace vorn
