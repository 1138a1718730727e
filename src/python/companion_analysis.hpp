// The companion module's graph analysis functions (vornkit.analysis wraps
// them): read-only, under shared access, computed without the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn::python {

PyObject* analysis_nodes(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* analysis_ball_volumes(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* analysis_distances(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* analysis_components(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* analysis_nearest_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* analysis_causal_part(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorn::python
