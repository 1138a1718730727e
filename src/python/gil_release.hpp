// Native work without the GIL: the constructor gives the GIL up, the
// destructor takes it back (also when an exception unwinds). interrupted()
// takes it back for a moment about every 20 ms to let Python run its signal
// handlers; once a handler raises (Ctrl-C: KeyboardInterrupt) it returns true
// and the exception stays set for the caller to return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>

namespace vorn::python {

class GilRelease {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kPollEvery{20};

  GilRelease() : last_(Clock::now()), state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  bool interrupted() {
    if (interrupted_) return true;
    const Clock::time_point now = Clock::now();
    if (now - last_ < kPollEvery) return false;
    PyEval_RestoreThread(state_);
    interrupted_ = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    last_ = Clock::now();
    return interrupted_;
  }

 private:
  Clock::time_point last_;
  PyThreadState* state_;
  bool interrupted_ = false;
};

}  // namespace vorn::python
