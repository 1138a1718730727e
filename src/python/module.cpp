// The extension module `vorn`: multi-phase initialisation whose single
// execution step adds the Engine class.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/engine_type.hpp"
#include "python/errors.hpp"

namespace vorn::python {
namespace {

// `__all__`, created empty when the module has none.
Ref module_all(PyObject* module) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (all) {
    if (!PyList_Check(all.get())) {
      return Ref(raise_all_not_a_list());
    }
    return all;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    return Ref();
  }
  PyErr_Clear();
  all = Ref(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
    return Ref();
  }
  return all;
}

int exec_module(PyObject* module) {
  return guarded("vorn module initialisation", -1, [&]() -> int {
    PyObject* type = engine_type();
    if (type == nullptr) {
      return -1;
    }
    Ref all = module_all(module);
    if (!all) {
      return -1;
    }
    Ref name(PyUnicode_FromString("Engine"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) {
      return -1;
    }
    if (PyObject_SetAttrString(module, "Engine", type) < 0) {
      return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The Engine type and PanicException are process-wide (see engine_type()).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn",        // m_name
    "",            // m_doc
    0,             // m_size
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace
}  // namespace vorn::python

PyMODINIT_FUNC PyInit_vorn(void) { return PyModuleDef_Init(&vorn::python::module_def); }
