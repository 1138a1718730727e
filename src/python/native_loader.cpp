// The init function of vornkit._native. The companion module's code lives in
// the vorn extension (it shares the engine's code and process-wide state);
// this loader imports vorn, finds the extension already loaded and takes the
// module definition it exports.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <dlfcn.h>

#include "python/errors.hpp"

using DefinitionFn = PyModuleDef* (*)();

PyMODINIT_FUNC PyInit__native(void) {
  PyObject* vorn = PyImport_ImportModule("vorn");
  if (vorn == nullptr) return nullptr;
  PyObject* file = PyObject_GetAttrString(vorn, "__file__");
  Py_DECREF(vorn);
  if (file == nullptr) return nullptr;
  const char* path = PyUnicode_AsUTF8(file);
  if (path == nullptr) {
    Py_DECREF(file);
    return nullptr;
  }
  // Already loaded by the import above: this only looks it up.
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  DefinitionFn definition =
      handle == nullptr ? nullptr : reinterpret_cast<DefinitionFn>(dlsym(handle, "vorn_companion_module_v1"));
  // (The message names `path`, which lives as long as `file`.)
  PyObject* module =
      definition == nullptr ? vorn::python::raise_companion_missing(path) : PyModuleDef_Init(definition());
  if (handle != nullptr) dlclose(handle);
  Py_DECREF(file);
  return module;
}
