// Argument binding and conversion for the Engine methods.
//
// Binding checks an argument list against a method's parameter names (all
// required, all positional-or-keyword) and reports mismatches as TypeErrors
// that name the method, e.g. "Engine.run()". Conversion turns one bound
// argument into a C++ value; a failure keeps the interpreter's exception and
// adds the note "while processing '<param>'".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "grammar/rewrite_rule.hpp"

namespace vorn::python {

// Binds a vectorcall-style argument list. `out` receives `count` borrowed
// references, in parameter order. Returns false with TypeError set.
bool bind_fastcall(const char* method, const char* const* names, std::size_t count, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The same for a tuple and an optional dict of keywords (tp_new).
bool bind_tuple(const char* method, const char* const* names, std::size_t count, PyObject* args,
                PyObject* kwargs, PyObject** out);

// Conversions. Each returns false with an exception set that carries the
// note naming `param`.
bool convert(PyObject* obj, const char* param, uint64_t& out);
bool convert(PyObject* obj, const char* param, bool& out);
bool convert(PyObject* obj, const char* param, double& out);
bool convert(PyObject* obj, const char* param, std::string& out);
bool convert(PyObject* obj, const char* param, std::vector<std::string>& out);
bool convert(PyObject* obj, const char* param, NamePatterns& out);

}  // namespace vorn::python
