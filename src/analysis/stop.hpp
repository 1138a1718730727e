// Cancellation of a long analysis: the algorithms call tick(work) as they go
// and ask the caller's hook about every kWork units of work (a few
// milliseconds); once the hook returns true they stop and report cancelled.
#pragma once

#include <cstdint>
#include <functional>

namespace vorn::analysis {

enum class Outcome { done, cancelled };

// The caller's hook: true to stop. An empty hook never stops.
using StopHook = std::function<bool()>;

class Poll {
 public:
  explicit Poll(const StopHook& hook) : hook_(hook) {}
  // Adds `work` units; true once the hook has asked to stop.
  bool tick(uint64_t work = 1) {
    if (stopped_) return true;
    budget_ += work;
    if (budget_ < kWork) return false;
    budget_ = 0;
    if (hook_ && hook_()) stopped_ = true;
    return stopped_;
  }
  bool stopped() const { return stopped_; }

  static constexpr uint64_t kWork = uint64_t{1} << 16;

 private:
  const StopHook& hook_;
  uint64_t budget_ = 0;
  bool stopped_ = false;
};

}  // namespace vorn::analysis
