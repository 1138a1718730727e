// A step that runs out of memory completes on the reserve and is undone: the
// store passes its check, the counters and the generator are where they were
// before the step, and the engine goes on exactly as a twin whose same step
// was undone with memory to spare. Run in a child process under a cap on its address space.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "rewrite_engine/out_of_memory.hpp"
#include "support/access.hpp"

using namespace vorn;

namespace {

RewriteEngine growth(uint64_t seed) {
  RewriteEngine e(Hypergraph{}, seed);
  e.add_rule({}, {}, {{"a", "b"}, {"a", "c"}}, 1.0);
  e.step();
  e.clear_rules();
  // Hyperedges of five vertices keep their members in an allocation of
  // their own, so steps allocate besides growing the store's arrays.
  e.add_rule({{"x", "y"}, {"x", "z"}}, {"x", "y", "z"},
             {{"x", "z"}, {"x", "w"}, {"y", "w"}, {"z", "w"}, {"w", "p", "q", "r", "s"}}, 1.0);
  return e;
}

std::size_t mapped_bytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (f == nullptr || std::fscanf(f, "%lu", &pages) != 1) pages = 0;
  if (f != nullptr) std::fclose(f);
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// The child's checks; its exit status is the number of the first that failed.
int out_of_memory_child() {
  RewriteEngine e = growth(5);
  RewriteEngine twin = growth(5);
  // The reserve is taken by the first step; the cap leaves little room beyond it.
  if (run_within_memory(e, 1).done != 1) return 2;
  rlimit limit{};
  getrlimit(RLIMIT_AS, &limit);
  const rlimit saved = limit;
  limit.rlim_cur = mapped_bytes() + (std::size_t{4} << 20);
  if (setrlimit(RLIMIT_AS, &limit) != 0) return 3;
  uint64_t done = 1;
  for (;;) {
    const RewriteEngine::Counters before = e.counters();
    const std::size_t vertices = e.graph().vertex_count();
    const StepsWithinMemory r = run_within_memory(e, 1000);
    done += r.done;
    if (!r.out_of_memory) {
      if (done > 10'000'000) return 4;  // never ran out
      continue;
    }
    // The steps before the failed one are kept; the failed one is not.
    if (e.counters().steps != before.steps + r.done) return 5;
    if (r.done == 0 && e.graph().vertex_count() != vertices) return 6;
    break;
  }
  if (!check_consistency(e.graph()).empty()) return 7;
  setrlimit(RLIMIT_AS, &saved);
  // The twin takes the same steps, then the failed one, and undoes it as a
  // step is undone when memory is there: from here both go on alike.
  twin.run(done);
  const RewriteEngine::Counters counters = twin.counters();
  const ChaCha12::Position drawn = twin.rng().position();
  twin.step();
  twin.rollback();
  ChaCha12 rng = twin.rng();
  rng.seek(drawn);
  twin.resume(counters, rng, std::nullopt);
  if (twin.counters().successful != e.counters().successful) return 8;
  if (twin.graph().vertex_count() != e.graph().vertex_count()) return 9;
  if (twin.graph().structural_pair_count() != e.graph().structural_pair_count()) return 10;
  for (int i = 0; i < 2000; ++i) {
    if (e.step() != twin.step()) return 11;
  }
  if (twin.graph().vertex_count() != e.graph().vertex_count()) return 12;
  if (!check_consistency(e.graph()).empty()) return 13;
  return 0;
}

TEST(OutOfMemory, AStepThatRunsOutIsUndoneAndTheEngineGoesOn) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer build cannot run under a cap on its address space";
#endif
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(out_of_memory_child());
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the child was killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "check " << WEXITSTATUS(status) << " failed";
}

}  // namespace
