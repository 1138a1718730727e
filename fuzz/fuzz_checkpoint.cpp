// Coverage-guided fuzzer of the checkpoint loader: any byte string is either
// refused or loads an engine whose store is consistent and stays so while it
// steps and rolls back. A crash, a sanitizer report or an inconsistent engine
// aborts.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "rewrite_engine/checkpoint.hpp"
#include "support/access.hpp"

namespace {

void check(const vorn::RewriteEngine& engine, const char* when) {
  const std::vector<std::string> problems = vorn::check_consistency(engine.graph());
  if (!problems.empty()) {
    std::fprintf(stderr, "vorn checkpoint %s: %s\n", when, problems.front().c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorn::CheckpointDamage error;
  auto engine = vorn::Checkpoint::load(std::string_view(reinterpret_cast<const char*>(data), size), error);
  if (!engine) return 0;
  check(*engine, "loaded inconsistent");
  for (int i = 0; i < 12; ++i) {
    engine->step();
    if (i % 5 == 4) engine->rollback();
  }
  check(*engine, "became inconsistent");
  return 0;
}
