#include "python/errors.hpp"

#include <cstdio>
#include <cstring>

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

}  // namespace

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

void raise_panic(const char* where, const char* message) noexcept {
  std::fprintf(stderr, "vorn: internal failure in %s: %s\n", where, message);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    return;  // the error of creating the type is pending instead
  }
  Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                "replace"));
  if (!text) {
    return;
  }
  PyErr_SetObject(type, text.get());
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
