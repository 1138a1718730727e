// Helpers shared by the companion module's functions: the engine argument,
// arity checks, int64 bytearray results and the borrow-guarded call frame.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/mman.h>

#include <cstdint>

#include "python/borrow.hpp"
#include "python/engine_type.hpp"
#include "python/errors.hpp"

namespace vorn::python {

// The engine argument, or null with TypeError set.
inline EngineObject* engine_arg(PyObject* obj) {
  if (!Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(engine_type()))) {
    raise_not_an_engine(obj);
    return nullptr;
  }
  return reinterpret_cast<EngineObject*>(obj);
}

inline bool arity(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
  if (nargs == want) return true;
  return raise_wrong_arity(name, want, nargs);
}

// Asks for huge pages under a large fresh buffer: filling it then takes one
// page fault per 2 MiB instead of one per 4 KiB, most of the cost of
// copying a large graph out. A hint; nothing depends on it being taken.
inline void prefer_huge_pages(char* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  if (bytes < 4 * kHuge) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// A bytearray of n int64 values, filled by fill(int64_t*).
template <class Fill>
PyObject* int64_array(std::size_t n, Fill&& fill) {
  Ref out(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(int64_t))));
  if (!out) return nullptr;
  prefer_huge_pages(PyByteArray_AS_STRING(out.get()), n * sizeof(int64_t));
  fill(reinterpret_cast<int64_t*>(PyByteArray_AS_STRING(out.get())));
  return out.release();
}

// Runs body(engine) under the given access to the first argument.
template <class Body>
PyObject* with_engine(const char* name, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t want,
                      Access access, Body&& body) {
  return guarded(name, nullptr, [&]() -> PyObject* {
    if (!arity(name, nargs, want)) return nullptr;
    EngineObject* obj = engine_arg(args[0]);
    if (obj == nullptr) return nullptr;
    BorrowGuard guard(obj, access);
    if (!guard) return nullptr;
    return body(obj->engine);
  });
}

}  // namespace vorn::python
