// VORN_ASSERT(cond): checks a stated precondition or invariant of the core.
//
// Checked when VORN_CHECKED is defined (the build sets it for Debug, the
// sanitizer and the fuzzer builds): a failed check prints the condition and
// its place to standard error and aborts. Otherwise the condition is never
// evaluated and the check costs nothing, so it may name values that are
// expensive to compute.
#pragma once

#ifdef VORN_CHECKED

#include <cstdio>
#include <cstdlib>

namespace vorn::detail {
[[noreturn, gnu::cold, gnu::noinline]] inline void assertion_failed(const char* condition, const char* file,
                                                                    int line) noexcept {
  std::fprintf(stderr, "%s:%d: vorn assertion failed: %s\n", file, line, condition);
  std::fflush(stderr);
  std::abort();
}
}  // namespace vorn::detail

#define VORN_ASSERT(cond) \
  ((cond) ? static_cast<void>(0) : ::vorn::detail::assertion_failed(#cond, __FILE__, __LINE__))

#else

// Unevaluated: the operands stay type-checked and count as used.
#define VORN_ASSERT(cond) static_cast<void>(sizeof(!(cond)))

#endif
