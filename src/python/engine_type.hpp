// The Engine class: a Python object that holds one RewriteEngine by value
// and a borrow flag that arbitrates access between nested calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "rewrite_engine/rewrite_engine.hpp"

namespace vorn::python {

// Instance layout. The members after the header are constructed in place by
// tp_new and destroyed by tp_dealloc.
struct EngineObject {
  PyObject_HEAD RewriteEngine engine;
  // 0: free; -1: one call holds exclusive access; n > 0: n calls share it.
  std::atomic<int64_t> borrow;
};

// The Engine type, created on first call and kept for the life of the
// process. Returns a borrowed reference, or null with an error set.
PyObject* engine_type();

// A new Engine object of `type` holding `engine`, or null with an error set.
PyObject* wrap_engine(PyTypeObject* type, RewriteEngine engine);

}  // namespace vorn::python
