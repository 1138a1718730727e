#include "python/errors.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "python/weight_text.hpp"
#include "rewrite_engine/checkpoint.hpp"
#include "rewrite_engine/rewrite_engine.hpp"

namespace vorn::python {

namespace {

PyObject* g_panic_type = nullptr;

// The pending exception, taken out of the interpreter's error indicator so
// that other C API calls can run, and put back by `restore`.
struct PendingError {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* value = nullptr;
  void fetch() { value = PyErr_GetRaisedException(); }
  void restore() { PyErr_SetRaisedException(value); }
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  void fetch() {
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
      PyException_SetTraceback(value, traceback);
    }
  }
  void restore() { PyErr_Restore(type, value, traceback); }
#endif
};

// Appends `note` to the exception's __notes__, creating the list if needed.
// Returns false with a (secondary) error set when that fails.
bool append_note(PyObject* exc, PyObject* note) {
  Ref notes(PyObject_GetAttrString(exc, "__notes__"));
  if (!notes) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return false;
    }
    PyErr_Clear();
    notes = Ref(PyList_New(0));
    if (!notes || PyObject_SetAttrString(exc, "__notes__", notes.get()) < 0) {
      return false;
    }
  }
  if (!PyList_Check(notes.get())) {
    // Someone replaced the list by something else; leave it alone rather
    // than lose the original exception.
    return true;
  }
  return PyList_Append(notes.get(), note) == 0;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) {
        text += ",";
      }
      text += " ";
      if (i + 1 == names.size()) {
        text += "and ";
      }
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

}  // namespace

PyObject* raise_too_many_positional(const char* method, std::size_t count, Py_ssize_t given) {
  return PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", method, count,
                      given, given == 1 ? "was" : "were");
}

PyObject* raise_keywords_not_strings(const char* method) {
  return PyErr_Format(PyExc_TypeError, "%s keywords must be strings", method);
}

PyObject* raise_multiple_values(const char* method, const char* param) {
  return PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", method, param);
}

PyObject* raise_unexpected_keyword(const char* method, PyObject* name) {
  return PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", method, name);
}

PyObject* raise_missing_arguments(const char* method, std::span<const char* const> params) {
  const std::string message = std::string(method) + " missing " + std::to_string(params.size()) +
                              " required positional " + (params.size() == 1 ? "argument" : "arguments") +
                              ": " + join_names(params);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

PyObject* raise_wrong_type(PyObject* obj, const char* expected) {
  if (obj == Py_None) return PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    return PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  }
  PyErr_Clear();
  return PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(obj)->tp_name,
                      expected);
}

PyObject* raise_str_for_sequence() {
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return nullptr;
}

PyObject* raise_no_bool(PyObject* obj) {
  return PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                      Py_TYPE(obj)->tp_name);
}

PyObject* raise_access_refused(bool exclusive) {
  PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
  return nullptr;
}

PyObject* raise_vertex_not_found(uint64_t v_id) {
  return PyErr_Format(PyExc_ValueError, "Vertex %llu not found", static_cast<unsigned long long>(v_id));
}

PyObject* raise_rule_refused(const RuleRefusal& refusal) {
  const std::string weight = format_weight(refusal.weight);
  if (refusal.kind == RuleRefusal::Kind::weight) {
    return PyErr_Format(PyExc_ValueError,
                        "Rule weight must be a finite positive number, got %s. A weight of 0.0 means "
                        "the rule would never fire.",
                        weight.c_str());
  }
  return PyErr_Format(PyExc_ValueError,
                      "The total of the rule weights must stay finite: adding weight %s would make it %s.",
                      weight.c_str(), format_weight(refusal.total).c_str());
}

PyObject* raise_not_an_engine(PyObject* obj) {
  return PyErr_Format(PyExc_TypeError, "expected a vorn.Engine, got '%s'", Py_TYPE(obj)->tp_name);
}

PyObject* raise_wrong_arity(const char* function, Py_ssize_t want, Py_ssize_t given) {
  return PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", function, want, given);
}

PyObject* raise_bad_checkpoint(const CheckpointDamage& damage) {
  return PyErr_Format(PyExc_ValueError, "the engine's data in the checkpoint is not valid: %s%s",
                      damage.truncated ? "truncated in " : "", damage.part.c_str());
}

PyObject* raise_out_of_memory(uint64_t done, uint64_t steps) {
  return PyErr_Format(PyExc_MemoryError,
                      "out of memory after %llu of %llu steps; the step that ran out was undone and the "
                      "engine is as it was before it",
                      static_cast<unsigned long long>(done), static_cast<unsigned long long>(steps));
}

PyObject* raise_all_not_a_list() {
  PyErr_SetString(PyExc_TypeError, "vorn.__all__ must be a list");
  return nullptr;
}

PyObject* raise_companion_missing(const char* path) {
  return PyErr_Format(PyExc_ImportError,
                      "vornkit._native needs the vorn extension of the same build; %s has none", path);
}

PyObject* raise_not_in_hypergraph(long long v) {
  return PyErr_Format(PyExc_ValueError, "vertex %lld is not in the hypergraph", v);
}

PyObject* raise_negative_radius(const char* param, PyObject* obj) {
  return PyErr_Format(PyExc_ValueError, "%s must be None or at least 0, got %S", param, obj);
}

PyObject* raise_centres_not_int64() {
  PyErr_SetString(PyExc_ValueError, "centres must be a buffer of int64 vertex ids");
  return nullptr;
}

PyObject* raise_negative_edge_count(long long n) {
  return PyErr_Format(PyExc_ValueError, "the number of hyperedges must be at least 0, got %lld", n);
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "vorn.PanicException",
        "Raised when the engine hits an internal failure. Derives from BaseException "
        "so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

PyObject* raise_panic(const char* where, const char* message) noexcept {
  std::fprintf(stderr, "vorn: internal failure in %s: %s\n", where, message);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // the error of creating the type is pending instead
  Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

void add_argument_note(const char* param) noexcept {
  if (!PyErr_Occurred()) {
    return;
  }
  PendingError pending;
  pending.fetch();
  if (pending.value != nullptr) {
    Ref note(PyUnicode_FromFormat("while processing '%s'", param));
    if (!note || !append_note(pending.value, note.get())) {
      // A failure to attach the note must not replace the real error.
      PyErr_Clear();
    }
  }
  pending.restore();
}

}  // namespace vorn::python
