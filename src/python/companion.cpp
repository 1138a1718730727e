// vornkit._native: the private companion module of vornkit, built into this
// extension so that it shares the engine's code, its process-wide id
// counters, the borrow flag and the error helpers. vornkit/_native's own
// init function finds this module definition through the exported
// `vorn_companion_module_v1` and nothing else: the `vorn` module's surface is
// unchanged.
//
// Every function takes a vorn.Engine (its exact type) and takes its borrow
// flag as the engine's own methods do. Bulk results are bytearrays of
// native-endian int64 (vornkit wraps them in numpy arrays without a copy).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hypergraph/metrics.hpp"
#include "python/arguments.hpp"
#include "python/binder.hpp"
#include "python/borrow.hpp"
#include "python/companion_analysis.hpp"
#include "python/companion_support.hpp"
#include "python/engine_type.hpp"
#include "python/errors.hpp"
#include "python/gil_release.hpp"
#include "rewrite_engine/checkpoint.hpp"

namespace vorn::python {
namespace {

PyObject* reseed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("reseed", args, nargs, 2, Access::exclusive, [&](RewriteEngine& e) -> PyObject* {
    uint64_t seed = 0;
    if (!convert(args[1], "seed", seed)) return nullptr;
    e.reseed(seed);
    Py_RETURN_NONE;
  });
}

PyObject* vertices(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("vertices", args, nargs, 1, Access::shared, [&](RewriteEngine& e) {
    const Hypergraph& g = e.graph();
    return int64_array(g.vertex_count(), [&](int64_t* out) {
      g.for_each_vertex([&](Slot s) { *out++ = static_cast<int64_t>(g.id_of(s)); });
    });
  });
}

// (vertex ids, degrees), in the order of vertices().
PyObject* degrees(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("degrees", args, nargs, 1, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    const Hypergraph& g = e.graph();
    const std::size_t n = g.vertex_count();
    Ref ids(int64_array(n, [&](int64_t* out) {
      g.for_each_vertex([&](Slot s) { *out++ = static_cast<int64_t>(g.id_of(s)); });
    }));
    Ref degree(int64_array(n, [&](int64_t* out) {
      g.for_each_vertex([&](Slot s) { *out++ = static_cast<int64_t>(g.incidence(s).size()); });
    }));
    if (!ids || !degree) return nullptr;
    return PyTuple_Pack(2, ids.get(), degree.get());
  });
}

// (offsets, members, hyperedge ids, arity): hyperedge k holds
// members[offsets[k] .. offsets[k+1]), in the order of get_edges(); arity
// is the number of members every hyperedge has, or -1 when they differ or
// there are none.
PyObject* edges(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("edges", args, nargs, 1, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    const Hypergraph& g = e.graph();
    const std::size_t n = g.edge_count();
    Ref offsets(int64_array(n + 1, [](int64_t*) {}));
    Ref ids(int64_array(n, [](int64_t*) {}));
    if (!offsets || !ids) return nullptr;
    // Two passes over the hyperedges: offsets, ids and arity, then members.
    // The members' ids come from a table by slot (8 bytes a vertex) rather
    // than from the vertex records (64), which the members reach in no order.
    int64_t* offset = reinterpret_cast<int64_t*>(PyByteArray_AS_STRING(offsets.get()));
    int64_t* id = reinterpret_cast<int64_t*>(PyByteArray_AS_STRING(ids.get()));
    int64_t total = 0;
    constexpr int64_t kUnset = -2, kMixed = -1;
    int64_t arity = kUnset;
    *offset++ = 0;
    g.for_each_hyperedge([&](EdgeSlot f) {
      const auto size = static_cast<int64_t>(g.members(f).size());
      arity = arity == kUnset || arity == size ? size : kMixed;
      total += size;
      *offset++ = total;
      *id++ = static_cast<int64_t>(g.edge_id(f));
    });
    std::vector<int64_t> id_by_slot(g.slot_capacity());
    g.for_each_vertex([&](Slot s) { id_by_slot[s] = static_cast<int64_t>(g.id_of(s)); });
    Ref members(int64_array(static_cast<std::size_t>(total), [&](int64_t* out) {
      g.for_each_hyperedge([&](EdgeSlot f) {
        for (const Slot s : g.members(f)) *out++ = id_by_slot[s];
      });
    }));
    if (!members) return nullptr;
    return Py_BuildValue("(OOOL)", offsets.get(), members.get(), ids.get(),
                         static_cast<long long>(arity == kUnset ? kMixed : arity));
  });
}

// (causes, effects, vertex ids, depths): the relation as the rules recorded
// it, read from the causal log in one pass.
PyObject* causal_links(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("causal_links", args, nargs, 1, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    const CausalGraph::Recorded r = e.graph().causal().recorded();
    Ref causes(int64_array(r.pairs.size(), [&](int64_t* out) {
      for (const auto& [a, b] : r.pairs) *out++ = static_cast<int64_t>(a);
    }));
    Ref effects(int64_array(r.pairs.size(), [&](int64_t* out) {
      for (const auto& [a, b] : r.pairs) *out++ = static_cast<int64_t>(b);
    }));
    Ref vertices(int64_array(r.depths.size(), [&](int64_t* out) {
      for (const auto& [v, d] : r.depths) *out++ = static_cast<int64_t>(v);
    }));
    Ref depths(int64_array(r.depths.size(), [&](int64_t* out) {
      for (const auto& [v, d] : r.depths) *out++ = static_cast<int64_t>(d);
    }));
    if (!causes || !effects || !vertices || !depths) return nullptr;
    return PyTuple_Pack(4, causes.get(), effects.get(), vertices.get(), depths.get());
  });
}

// Brings the causal state up to date without the GIL, stopping for a signal
// (Ctrl-C): the part replayed stays replayed and the signal's exception is
// raised. The caller holds exclusive access, so nothing else touches the
// engine meanwhile.
bool replay(const RewriteEngine& e) {
  if (e.graph().causal().pending() == 0) return true;
  GilRelease release;
  uint32_t entries = 0;
  // The clock is read every 256 log entries, which take well under 20 ms.
  return e.graph().causal().sync([&] { return (++entries & 255) == 0 && release.interrupted(); });
}

// The ids in v's causal past or future set, ascending; empty without one.
PyObject* causal_set(const char* name, PyObject* const* args, Py_ssize_t nargs, bool past) {
  // Exclusive: the replay changes the engine's (logically constant) state.
  return with_engine(name, args, nargs, 2, Access::exclusive, [&](RewriteEngine& e) -> PyObject* {
    uint64_t v = 0;
    if (!convert(args[1], "v", v)) return nullptr;
    if (!replay(e)) return nullptr;
    const CausalGraph& causal = e.graph().causal();
    const FixedBitSet* set = past ? causal.past(v) : causal.future(v);
    if (set == nullptr) return int64_array(0, [](int64_t*) {});
    return int64_array(set->count(), [&](int64_t* out) {
      set->for_each_one([&](uint64_t i) { *out++ = static_cast<int64_t>(i); });
    });
  });
}

PyObject* causal_past(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return causal_set("causal_past", args, nargs, true);
}

PyObject* causal_future(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return causal_set("causal_future", args, nargs, false);
}

// Bytes of causal log not propagated yet.
PyObject* causal_pending(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("causal_pending", args, nargs, 1, Access::shared, [&](RewriteEngine& e) {
    return PyLong_FromSize_t(e.graph().causal().pending());
  });
}

// Bytes the store holds, by part.
PyObject* memory(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("memory", args, nargs, 1, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    const Hypergraph::Memory m = e.graph().memory();
    return Py_BuildValue("{s:n,s:n,s:n,s:n}", "vertices", static_cast<Py_ssize_t>(m.vertices),
                         "hyperedges", static_cast<Py_ssize_t>(m.hyperedges), "index",
                         static_cast<Py_ssize_t>(m.index), "causal_log",
                         static_cast<Py_ssize_t>(m.causal_log));
  });
}

// The engine's state as bytes (see Checkpoint).
PyObject* save(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("save", args, nargs, 1, Access::shared, [&](RewriteEngine& e) {
    const std::string bytes = Checkpoint::save(e);
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

// A new engine from bytes written by save(); ValueError naming the first
// problem when they describe no consistent engine.
PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded("load", nullptr, [&]() -> PyObject* {
    if (!arity("load", nargs, 1)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    const std::string_view bytes(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    CheckpointDamage damage;
    std::optional<RewriteEngine> engine = Checkpoint::load(bytes, damage);
    PyBuffer_Release(&view);
    if (!engine) {
      raise_bad_checkpoint(damage);
      return nullptr;
    }
    PyObject* type = engine_type();
    if (type == nullptr) return nullptr;
    return wrap_engine(reinterpret_cast<PyTypeObject*>(type), std::move(*engine));
  });
}

PyMethodDef companion_methods[] = {
    {"reseed", as_cfunction(reseed), METH_FASTCALL, nullptr},
    {"vertices", as_cfunction(vertices), METH_FASTCALL, nullptr},
    {"degrees", as_cfunction(degrees), METH_FASTCALL, nullptr},
    {"edges", as_cfunction(edges), METH_FASTCALL, nullptr},
    {"causal_links", as_cfunction(causal_links), METH_FASTCALL, nullptr},
    {"causal_past", as_cfunction(causal_past), METH_FASTCALL, nullptr},
    {"causal_future", as_cfunction(causal_future), METH_FASTCALL, nullptr},
    {"causal_pending", as_cfunction(causal_pending), METH_FASTCALL, nullptr},
    {"memory", as_cfunction(memory), METH_FASTCALL, nullptr},
    {"save", as_cfunction(save), METH_FASTCALL, nullptr},
    {"load", as_cfunction(load), METH_FASTCALL, nullptr},
    {"nodes", as_cfunction(analysis_nodes), METH_FASTCALL, nullptr},
    {"ball_volumes", as_cfunction(analysis_ball_volumes), METH_FASTCALL, nullptr},
    {"distances", as_cfunction(analysis_distances), METH_FASTCALL, nullptr},
    {"components", as_cfunction(analysis_components), METH_FASTCALL, nullptr},
    {"nearest_edges", as_cfunction(analysis_nearest_edges), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot companion_slots[] = {
#ifdef Py_mod_multiple_interpreters
    // It shares the process-wide Engine type.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef companion_def = {
    PyModuleDef_HEAD_INIT,
    "vornkit._native",
    "The private native half of vornkit; use the functions of vornkit.",
    0,
    companion_methods,
    companion_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorn::python

// The companion module's definition, for vornkit/_native's init function.
extern "C" __attribute__((visibility("default"))) PyModuleDef* vorn_companion_module_v1() {
  return &vorn::python::companion_def;
}
