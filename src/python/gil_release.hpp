// Native work without the GIL: the constructor gives the GIL up, the
// destructor takes it back (also when an exception unwinds). interrupted()
// takes it back for a moment about every 20 ms to let Python run its signal
// handlers; once a handler raises (Ctrl-C: KeyboardInterrupt) it returns true
// and the exception stays set for the caller to return. Only the main thread
// runs signal handlers, so on any other thread interrupted() never takes the
// GIL back (which would make it wait for the thread holding it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>

namespace vorn::python {

class GilRelease {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kPollEvery{20};

  GilRelease() : main_(on_main_thread()), last_(Clock::now()), state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  bool interrupted() {
    if (interrupted_) return true;
    if (!main_) return false;
    const Clock::time_point now = Clock::now();
    if (now - last_ < kPollEvery) return false;
    PyEval_RestoreThread(state_);
    interrupted_ = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    last_ = Clock::now();
    return interrupted_;
  }

 private:
  // Whether the calling thread is the interpreter's main thread (asked with
  // the GIL held: threading.main_thread(), read once; true when that fails).
  static bool on_main_thread() {
    static const unsigned long main = [] {
      unsigned long ident = 0;
      PyObject* threading = PyImport_ImportModule("threading");
      PyObject* thread =
          threading != nullptr ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
      PyObject* id = thread != nullptr ? PyObject_GetAttrString(thread, "ident") : nullptr;
      if (id != nullptr) ident = PyLong_AsUnsignedLong(id);
      Py_XDECREF(id);
      Py_XDECREF(thread);
      Py_XDECREF(threading);
      if (PyErr_Occurred()) {
        PyErr_Clear();
        ident = 0;
      }
      return ident;
    }();
    return main == 0 || PyThread_get_thread_ident() == main;
  }

  bool main_;
  Clock::time_point last_;
  PyThreadState* state_;
  bool interrupted_ = false;
};

}  // namespace vorn::python
