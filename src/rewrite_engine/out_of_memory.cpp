#include "rewrite_engine/out_of_memory.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>

namespace vorn {

namespace {

constexpr std::size_t kMinimumReserve = std::size_t{64} << 20;
// Steps between two looks at the process's size.
constexpr uint64_t kRefreshSteps = 16384;

std::atomic<void*> reserve_block{nullptr};
std::atomic<std::size_t> reserve_bytes{0};
std::atomic<bool> reserve_spent{false};

// The new-handler: the first failed allocation gets the reserve's address
// space back and is retried; a second one fails as usual.
void give_back_reserve() {
  void* block = reserve_block.exchange(nullptr);
  if (block == nullptr) throw std::bad_alloc();
  ::munmap(block, reserve_bytes.load());
  reserve_spent.store(true);
}

// The process's mapped address space in bytes (what RLIMIT_AS limits), 0
// when it cannot be read.
std::size_t mapped_bytes() {
  const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[64] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  return static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) *
         static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Takes a reserve fit for the process's present size (keeping the one held
// while it is big enough); false when the address space is not there.
bool take_reserve() {
  const std::size_t held = reserve_block.load() != nullptr ? reserve_bytes.load() : 0;
  const std::size_t mapped = mapped_bytes();
  const std::size_t rest = mapped - std::min(mapped, held);
  const std::size_t wanted = std::max(kMinimumReserve, rest / 2);
  if (held >= wanted) return true;
  // Grown by a quarter beyond the need, so that it is not retaken every look.
  const std::size_t bytes = wanted + wanted / 4;
  void* block = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (block == MAP_FAILED) return false;  // (the smaller reserve stays, for a later try)
  if (void* old = reserve_block.exchange(nullptr)) ::munmap(old, reserve_bytes.load());
  reserve_bytes.store(bytes);
  reserve_block.store(block);
  reserve_spent.store(false);
  return true;
}

// Installs the new-handler for its lifetime.
class HandlerScope {
 public:
  HandlerScope() : previous_(std::set_new_handler(give_back_reserve)) {}
  ~HandlerScope() { std::set_new_handler(previous_); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  std::new_handler previous_;
};

uint64_t steps_since_look = 0;

}  // namespace

StepsWithinMemory run_within_memory(RewriteEngine& engine, uint64_t steps) {
  StepsWithinMemory out;
  HandlerScope handler;
  for (uint64_t i = 0; i < steps; ++i) {
    if (reserve_block.load(std::memory_order_relaxed) == nullptr || ++steps_since_look >= kRefreshSteps) {
      steps_since_look = 0;
      if (!take_reserve()) {
        out.out_of_memory = true;
        return out;
      }
    }
    const RewriteEngine::Counters before = engine.counters();
    const ChaCha12::Position drawn = engine.rng().position();
    const bool rewrote = engine.step();
    if (reserve_spent.load(std::memory_order_relaxed)) {
      // The step completed on the reserve: take it back out.
      if (rewrote) engine.rollback();
      ChaCha12 rng = engine.rng();
      rng.seek(drawn);
      engine.resume(before, rng, std::nullopt);
      reserve_spent.store(false);
      out.out_of_memory = true;
      return out;
    }
    ++out.done;
    out.last_rewrote = rewrote;
  }
  return out;
}

}  // namespace vorn
