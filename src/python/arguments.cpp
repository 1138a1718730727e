#include "python/arguments.hpp"

#include <cstring>

#include "python/errors.hpp"

namespace vorn::python {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const std::vector<const char*>& names) {
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

// Shared by both calling conventions. `for_each_keyword` calls its argument
// with (name, value) for every keyword argument and stops when it returns false.
template <class KeywordWalk>
bool bind(const char* method, const char* const* names, std::size_t count,
          PyObject* const* positional, Py_ssize_t npositional, KeywordWalk&& for_each_keyword,
          PyObject** out) {
  if (npositional < 0 || static_cast<std::size_t>(npositional) > count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", method,
                 count, npositional, npositional == 1 ? "was" : "were");
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = i < static_cast<std::size_t>(npositional) ? positional[i] : nullptr;
  }
  bool ok = for_each_keyword([&](PyObject* name, PyObject* value) -> bool {
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%s keywords must be strings", method);
      return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, names[i]) == 0) {
        if (out[i] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", method,
                       names[i]);
          return false;
        }
        out[i] = value;
        return true;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", method, name);
    return false;
  });
  if (!ok) {
    return false;
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (out[i] == nullptr) {
      missing.push_back(names[i]);
    }
  }
  if (!missing.empty()) {
    std::string message = std::string(method) + " missing " + std::to_string(missing.size()) +
                          " required positional " +
                          (missing.size() == 1 ? "argument" : "arguments") + ": " +
                          join_names(missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  return true;
}

bool fail(const char* param) {
  add_argument_note(param);
  return false;
}

// TypeError for a value of the wrong Python type.
void raise_wrong_type(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    return;
  }
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(obj)->tp_name,
               expected);
}

// Whether the attribute `attr` of `obj` is the str `expected`.
bool attribute_is(PyObject* obj, const char* attr, const char* expected) {
  Ref value(PyObject_GetAttrString(obj, attr));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(value.get()) &&
         PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

bool is_numpy_bool(PyObject* obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  return attribute_is(type, "__module__", "numpy") &&
         (attribute_is(type, "__name__", "bool_") || attribute_is(type, "__name__", "bool"));
}

bool string_value(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_wrong_type(obj, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);  // UnicodeEncodeError on surrogates
  if (data == nullptr) {
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// A private list of the items of a sequence argument. Working on a copy means
// Python code run while the items are converted cannot change them under us.
Ref sequence_items(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return Ref();
  }
  if (!PySequence_Check(obj)) {
    raise_wrong_type(obj, "Sequence");
    return Ref();
  }
  return Ref(PySequence_List(obj));
}

// Converts each item of the sequence `obj` with `item`, into `out`.
template <class T, class Item>
bool sequence_value(PyObject* obj, std::vector<T>& out, Item&& item) {
  Ref items = sequence_items(obj);
  if (!items) {
    return false;
  }
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  out.clear();
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    T value;
    if (!item(PyList_GET_ITEM(items.get(), i), value)) {
      return false;
    }
    out.push_back(std::move(value));
  }
  return true;
}

bool names_value(PyObject* obj, std::vector<std::string>& out) {
  return sequence_value(obj, out, string_value);
}

bool patterns_value(PyObject* obj, NamePatterns& out) {
  return sequence_value(obj, out, names_value);
}

}  // namespace

bool bind_fastcall(const char* method, const char* const* names, std::size_t count,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  auto walk = [&](auto&& visit) -> bool {
    if (kwnames == nullptr) {
      return true;
    }
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!visit(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) {
        return false;
      }
    }
    return true;
  };
  return bind(method, names, count, args, nargs, walk, out);
}

bool bind_tuple(const char* method, const char* const* names, std::size_t count,
                PyObject* args, PyObject* kwargs, PyObject** out) {
  auto walk = [&](auto&& visit) -> bool {
    if (kwargs == nullptr) {
      return true;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!visit(key, value)) {
        return false;
      }
    }
    return true;
  };
  return bind(method, names, count, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), walk,
              out);
}

bool convert(PyObject* obj, const char* param, uint64_t& out) {
  Ref index(PyNumber_Index(obj));
  if (!index) {
    return fail(param);
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return fail(param);
  }
  out = value;
  return true;
}

bool convert(PyObject* obj, const char* param, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   Py_TYPE(obj)->tp_name);
      return fail(param);
    }
    int truth = number->nb_bool(obj);
    if (truth < 0) {
      return fail(param);
    }
    out = truth != 0;
    return true;
  }
  raise_wrong_type(obj, "bool");
  return fail(param);
}

bool convert(PyObject* obj, const char* param, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    return fail(param);
  }
  out = value;
  return true;
}

bool convert(PyObject* obj, const char* param, std::string& out) {
  return string_value(obj, out) || fail(param);
}

bool convert(PyObject* obj, const char* param, std::vector<std::string>& out) {
  return names_value(obj, out) || fail(param);
}

bool convert(PyObject* obj, const char* param, NamePatterns& out) {
  return patterns_value(obj, out) || fail(param);
}

}  // namespace vorn::python
