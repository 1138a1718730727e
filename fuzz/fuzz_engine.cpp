// Coverage-guided fuzzer: libFuzzer feeds byte strings that fuzz/operations.hpp
// decodes into store and engine operations; any broken invariant aborts.
#include <cstdio>
#include <cstdlib>

#include "operations.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (auto failure = vorn::fuzz::run_operations(data, size)) {
    std::fprintf(stderr, "vorn invariant violated: %s\n", failure->c_str());
    std::abort();
  }
  return 0;
}
