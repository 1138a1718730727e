// The Python boundary's error plumbing: an owning handle for PyObject*
// references, the one family of functions that raise every exception the
// binding raises (errors.cpp is the only place that sets one), the
// PanicException type, and the wrapper that keeps C++ exceptions from
// crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace vorn {
struct RuleRefusal;
struct CheckpointDamage;
}  // namespace vorn

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

// --- Raising. Each sets the exception and returns null, so that a call
// site reads `return raise_x(...);` in a function that returns PyObject*
// (or bool: null converts to false). They are cold: errors are the rare path.
// The texts are part of the interface (users match on them):
// tests/python/test_arguments.py, test_surface.py, test_metrics_surface.py,
// test_rewriting.py and tests/toolkit pin them.

// Binding a call's arguments (TypeError; `method` is "Engine.name()").
[[gnu::cold]] PyObject* raise_too_many_positional(const char* method, std::size_t count, Py_ssize_t given);
[[gnu::cold]] PyObject* raise_keywords_not_strings(const char* method);
[[gnu::cold]] PyObject* raise_multiple_values(const char* method, const char* param);
[[gnu::cold]] PyObject* raise_unexpected_keyword(const char* method, PyObject* name);
[[gnu::cold]] PyObject* raise_missing_arguments(const char* method, std::span<const char* const> params);
// Converting one (TypeError): `obj` is not of the type named `expected`; a
// str given where a sequence of names is wanted; a numpy bool type without
// __bool__.
[[gnu::cold]] PyObject* raise_wrong_type(PyObject* obj, const char* expected);
[[gnu::cold]] PyObject* raise_str_for_sequence();
[[gnu::cold]] PyObject* raise_no_bool(PyObject* obj);
// Access refused (RuntimeError): `exclusive` is the access asked for.
[[gnu::cold]] PyObject* raise_access_refused(bool exclusive);
// ValueErrors of the Engine's methods.
[[gnu::cold]] PyObject* raise_vertex_not_found(uint64_t v_id);
[[gnu::cold]] PyObject* raise_rule_refused(const RuleRefusal& refusal);
// The companion module's (TypeError, ValueError) and the module's own.
[[gnu::cold]] PyObject* raise_not_an_engine(PyObject* obj);
[[gnu::cold]] PyObject* raise_wrong_arity(const char* function, Py_ssize_t want, Py_ssize_t given);
[[gnu::cold]] PyObject* raise_bad_checkpoint(const CheckpointDamage& damage);
// MemoryError for a run that stopped after `done` of `steps` steps.
[[gnu::cold]] PyObject* raise_out_of_memory(uint64_t done, uint64_t steps);
[[gnu::cold]] PyObject* raise_all_not_a_list();
[[gnu::cold]] PyObject* raise_companion_missing(const char* path);
// The companion's analyses (ValueError): a vertex id the hypergraph does not
// hold; a radius below 0 (`obj` as given); a buffer of centres that is not
// whole int64 values; a negative number of hyperedges.
[[gnu::cold]] PyObject* raise_not_in_hypergraph(long long v);
[[gnu::cold]] PyObject* raise_negative_radius(const char* param, PyObject* obj);
[[gnu::cold]] PyObject* raise_centres_not_int64();
[[gnu::cold]] PyObject* raise_negative_edge_count(long long n);

// The exception type for internal failures: a direct subclass of
// BaseException, created on first use and kept for the life of the process.
// Returns a borrowed reference, or null with an error set.
PyObject* panic_exception_type();

// Writes a report of an internal failure in `where` to standard error and
// raises PanicException carrying `message`; returns null.
[[gnu::cold]] PyObject* raise_panic(const char* where, const char* message) noexcept;

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
