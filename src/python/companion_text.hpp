// Text formatting for vornkit's writers: records made from templates with
// "%d" slots, filled from an int64 array in native code (a run's final
// state or a HIF file at millions of numbers).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn::python {

// fill_templates(templates, which, values) -> str: record k is
// templates[which[k]] with each "%d" replaced by the next number of
// `values`, in order; records are joined by ", ". `which` and `values` are
// buffers of native int64. ValueError when an index is out of range or the
// numbers do not fill the slots exactly.
PyObject* fill_templates(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// write_final_state(engine, write, piece) -> None: calls write(str) with
// pieces of about `piece` bytes that together are the JSON text
// {"vertices": [...], "edges": [[...], ...]} of the engine's vertices and
// hyperedges, in the order of vertices() and edges(), formatted as
// json.dumps formats them. Pieces are formatted without the GIL.
PyObject* write_final_state(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorn::python
