// The Python boundary's error plumbing: an owning handle for PyObject*
// references, the PanicException type, and the wrapper that keeps C++
// exceptions from crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace vorn::python {

// Owns one strong reference (or none). Moving transfers it; destruction
// releases it.
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference, as returned by most C API calls; null is allowed.
  explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
  // Makes a new reference to a borrowed object.
  static Ref borrowed(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  PyObject* get() const noexcept { return ptr_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

// The exception type for internal failures: a direct subclass of
// BaseException, created on first use and kept for the life of the process.
// Returns a borrowed reference, or null with an error set.
PyObject* panic_exception_type();

// Writes a report of an internal failure in `where` to standard error and
// raises PanicException carrying `message`.
void raise_panic(const char* where, const char* message) noexcept;

// Appends "while processing '<param>'" to the pending exception's __notes__
// list, creating the list when the exception has none. The exception itself
// (type, message, traceback) is left as it was.
void add_argument_note(const char* param) noexcept;

// Runs `body` and turns any C++ exception escaping from it into a Python
// error: std::bad_alloc becomes MemoryError, anything else PanicException.
// `failure` is the value returned in that case (null or -1).
template <class Body, class Result = std::invoke_result_t<Body&>>
Result guarded(const char* where, std::type_identity_t<Result> failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(where, e.what());
  } catch (...) {
    raise_panic(where, "unknown C++ exception");
  }
  return failure;
}

}  // namespace vorn::python
