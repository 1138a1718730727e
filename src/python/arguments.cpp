#include "python/arguments.hpp"

#include <cstring>

#include "python/errors.hpp"

namespace vorn::python {

namespace {

// Shared by both calling conventions. `for_each_keyword` calls its argument
// with (name, value) for every keyword argument and stops when it returns false.
template <class KeywordWalk>
bool bind(const char* method, const char* const* names, std::size_t count, PyObject* const* positional,
          Py_ssize_t npositional, KeywordWalk&& for_each_keyword, PyObject** out) {
  if (npositional < 0 || static_cast<std::size_t>(npositional) > count) {
    return raise_too_many_positional(method, count, npositional);
  }
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = i < static_cast<std::size_t>(npositional) ? positional[i] : nullptr;
  }
  bool ok = for_each_keyword([&](PyObject* name, PyObject* value) -> bool {
    if (!PyUnicode_Check(name)) {
      return raise_keywords_not_strings(method);
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, names[i]) == 0) {
        if (out[i] != nullptr) {
          return raise_multiple_values(method, names[i]);
        }
        out[i] = value;
        return true;
      }
    }
    return raise_unexpected_keyword(method, name);
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
    return raise_missing_arguments(method, missing);
  }
  return true;
}

bool fail(const char* param) {
  add_argument_note(param);
  return false;
}

// Whether the attribute `attr` of `obj` is the str `expected`.
bool attribute_is(PyObject* obj, const char* attr, const char* expected) {
  Ref value(PyObject_GetAttrString(obj, attr));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

bool is_numpy_bool(PyObject* obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  return attribute_is(type, "__module__", "numpy") &&
         (attribute_is(type, "__name__", "bool_") || attribute_is(type, "__name__", "bool"));
}

bool string_value(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    return raise_wrong_type(obj, "str");
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
    return Ref(raise_str_for_sequence());
  }
  if (!PySequence_Check(obj)) {
    return Ref(raise_wrong_type(obj, "Sequence"));
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

bool patterns_value(PyObject* obj, NamePatterns& out) { return sequence_value(obj, out, names_value); }

}  // namespace

bool bind_fastcall(const char* method, const char* const* names, std::size_t count, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
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

bool bind_tuple(const char* method, const char* const* names, std::size_t count, PyObject* args,
                PyObject* kwargs, PyObject** out) {
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
  return bind(method, names, count, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), walk, out);
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
      raise_no_bool(obj);
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
