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
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "hypergraph/metrics.hpp"
#include "python/arguments.hpp"
#include "python/binder.hpp"
#include "python/borrow.hpp"
#include "python/companion_analysis.hpp"
#include "python/companion_support.hpp"
#include "python/companion_text.hpp"
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
    const RecordedRelation r = e.graph().causal().recorded();
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

// The interchange-format (HIF) records of the engine's hypergraph, built in
// one pass: (nodes, edges, incidences), three lists of dicts equal to those
// vornkit's Python code builds, with their keys in the same order. Nodes
// are the hyperedges' vertices in order of first appearance, then the other
// vertices in the order of vertices(). Immutable values are shared: each
// vertex id is one int object wherever it occurs, each hyperedge number one
// int object in its record and its incidences, the keys interned strings.
// The dicts themselves are all distinct (callers may change them).
class HifBuilder {
 public:
  explicit HifBuilder(const Hypergraph& g) : g_(g), ids_(g.slot_capacity(), nullptr) {}
  HifBuilder(const HifBuilder&) = delete;
  HifBuilder& operator=(const HifBuilder&) = delete;
  ~HifBuilder() {
    for (PyObject* obj : ids_) Py_XDECREF(obj);
    for (PyObject* obj : keys_) Py_XDECREF(obj);
  }

  PyObject* build(bool directed) {
    static const char* const names[] = {"node",     "edge",      "attrs", "vertices",
                                        "position", "direction", "tail",  "head"};
    for (std::size_t i = 0; i < kKeys; ++i) {
      keys_[i] = PyUnicode_InternFromString(names[i]);
      if (keys_[i] == nullptr) return nullptr;
    }
    std::size_t edges = 0, positions = 0;
    g_.for_each_hyperedge([&](EdgeSlot f) {
      ++edges;
      positions += g_.members(f).size();
    });
    Ref edge_records(PyList_New(static_cast<Py_ssize_t>(edges)));
    Ref incidences(PyList_New(static_cast<Py_ssize_t>(positions)));
    if (!edge_records || !incidences) return nullptr;
    std::vector<Slot> order;  // vertices by first appearance in the hyperedges
    order.reserve(g_.vertex_count());
    std::vector<bool> listed(g_.slot_capacity(), false);
    Py_ssize_t k = 0, at = 0;
    bool ok = true;
    g_.for_each_hyperedge([&](EdgeSlot f) {
      if (!ok) return;
      ok = edge(k++, g_.members(f), directed, edge_records.get(), incidences.get(), at, order, listed);
    });
    if (!ok) return nullptr;
    g_.for_each_vertex([&](Slot s) {
      if (!listed[s]) order.push_back(s);
    });
    Ref nodes(PyList_New(static_cast<Py_ssize_t>(order.size())));
    if (!nodes) return nullptr;
    for (std::size_t i = 0; i < order.size(); ++i) {
      PyObject* rec = record({{kNode, id(order[i])}});
      if (rec == nullptr) return nullptr;
      PyList_SET_ITEM(nodes.get(), static_cast<Py_ssize_t>(i), rec);
    }
    return PyTuple_Pack(3, nodes.get(), edge_records.get(), incidences.get());
  }

 private:
  enum Key : std::size_t { kNode, kEdge, kAttrs, kVertices, kPosition, kDirection, kTail, kHead, kKeys };

  // The int object of the vertex in slot s (borrowed), made once.
  PyObject* id(Slot s) {
    if (ids_[s] == nullptr) ids_[s] = PyLong_FromUnsignedLongLong(g_.id_of(s));
    return ids_[s];
  }

  // A new dict of the given (key, borrowed value) items, in order; null on failure.
  PyObject* record(std::initializer_list<std::pair<Key, PyObject*>> items) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (const auto& [key, value] : items) {
      if (value == nullptr || PyDict_SetItem(d.get(), keys_[key], value) < 0) return nullptr;
    }
    return d.release();
  }

  bool edge(Py_ssize_t k, std::span<const Slot> members, bool directed, PyObject* edge_records,
            PyObject* incidences, Py_ssize_t& at, std::vector<Slot>& order, std::vector<bool>& listed) {
    Ref number(PyLong_FromSsize_t(k));
    Ref vertices(PyList_New(static_cast<Py_ssize_t>(members.size())));
    if (!number || !vertices) return false;
    for (std::size_t j = 0; j < members.size(); ++j) {
      const Slot s = members[j];
      PyObject* v = id(s);
      if (v == nullptr) return false;
      Py_INCREF(v);
      PyList_SET_ITEM(vertices.get(), static_cast<Py_ssize_t>(j), v);
      if (!listed[s]) {
        listed[s] = true;
        order.push_back(s);
      }
    }
    Ref attrs(record({{kVertices, vertices.get()}}));
    if (!attrs) return false;
    PyObject* rec = record({{kEdge, number.get()}, {kAttrs, attrs.get()}});
    if (rec == nullptr) return false;
    PyList_SET_ITEM(edge_records, k, rec);
    for (std::size_t j = 0; j < members.size(); ++j) {
      Ref position(PyLong_FromSize_t(j));
      if (!position) return false;
      Ref where(record({{kPosition, position.get()}}));
      if (!where) return false;
      PyObject* inc = directed
                          ? record({{kEdge, number.get()},
                                    {kNode, id(members[j])},
                                    {kAttrs, where.get()},
                                    {kDirection, keys_[j == 0 ? kTail : kHead]}})
                          : record({{kEdge, number.get()}, {kNode, id(members[j])}, {kAttrs, where.get()}});
      if (inc == nullptr) return false;
      PyList_SET_ITEM(incidences, at++, inc);
    }
    return true;
  }

  const Hypergraph& g_;
  std::vector<PyObject*> ids_;  // owned, by slot
  PyObject* keys_[kKeys] = {};  // owned
};

PyObject* hif_records(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("hif_records", args, nargs, 2, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    const int directed = PyObject_IsTrue(args[1]);
    if (directed < 0) return nullptr;
    HifBuilder builder(e.graph());
    return builder.build(directed != 0);
  });
}

// Brings the causal state up to date without the GIL, stopping for a signal
// (Ctrl-C): the part replayed stays replayed and the signal's exception is
// raised. The caller holds exclusive access, so nothing else touches the
// engine meanwhile.
bool replay(CausalGraph& causal) {
  if (causal.pending() == 0) return true;
  GilRelease release;
  uint32_t entries = 0;
  // The clock is read every 256 log entries, which take well under 20 ms.
  return causal.sync([&] { return (++entries & 255) == 0 && release.interrupted(); });
}

// The ids in v's causal past or future set, ascending; empty without one.
PyObject* causal_set(const char* name, PyObject* const* args, Py_ssize_t nargs, bool past) {
  // Exclusive: the replay advances the engine's propagated causal state.
  return with_engine(name, args, nargs, 2, Access::exclusive, [&](RewriteEngine& e) -> PyObject* {
    uint64_t v = 0;
    if (!convert(args[1], "v", v)) return nullptr;
    CausalGraph& causal = e.causal();
    if (!replay(causal)) return nullptr;
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
  return with_engine("causal_pending", args, nargs, 1, Access::shared,
                     [&](RewriteEngine& e) { return PyLong_FromSize_t(e.graph().causal().pending()); });
}

// Bytes the store holds, by part.
PyObject* memory(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("memory", args, nargs, 1, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    const Hypergraph::Memory m = e.graph().memory();
    return Py_BuildValue("{s:n,s:n,s:n,s:n}", "vertices", static_cast<Py_ssize_t>(m.vertices), "hyperedges",
                         static_cast<Py_ssize_t>(m.hyperedges), "index", static_cast<Py_ssize_t>(m.index),
                         "causal_log", static_cast<Py_ssize_t>(m.causal_log));
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
      return raise_bad_checkpoint(damage);
    }
    PyObject* type = engine_type();
    if (type == nullptr) return nullptr;
    return wrap_engine(reinterpret_cast<PyTypeObject*>(type), std::move(*engine));
  });
}

// Streams the engine's state: begin(total bytes) once, then write(bytes)
// for each piece in order (see Checkpoint). An exception raised by either
// stops the save and goes on.
PyObject* save_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("save_stream", args, nargs, 3, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    PyObject* begin = args[1];
    PyObject* write = args[2];
    Ref size(PyLong_FromSize_t(Checkpoint::size(e)));
    if (!size) return nullptr;
    Ref started(PyObject_CallOneArg(begin, size.get()));
    if (!started) return nullptr;
    ByteWriter out([write](std::string_view piece) {
      Ref bytes(PyBytes_FromStringAndSize(piece.data(), static_cast<Py_ssize_t>(piece.size())));
      if (!bytes) return false;
      Ref written(PyObject_CallOneArg(write, bytes.get()));
      return static_cast<bool>(written);
    });
    Checkpoint::save(e, out);
    if (!out.finish()) return nullptr;
    Py_RETURN_NONE;
  });
}

// A new engine from `size` bytes of save()'s form, pulled from read(n),
// which returns up to n bytes. ValueError naming the first problem when they
// describe no consistent engine; an exception raised by read goes on.
PyObject* load_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded("load_stream", nullptr, [&]() -> PyObject* {
    if (!arity("load_stream", nargs, 2)) return nullptr;
    PyObject* read = args[0];
    uint64_t size = 0;
    if (!convert(args[1], "size", size)) return nullptr;
    ByteReader in(
        [read](char* out, std::size_t max) -> std::size_t {
          Ref want(PyLong_FromSize_t(max));
          if (!want) return 0;
          Ref piece(PyObject_CallOneArg(read, want.get()));
          if (!piece) return 0;
          Py_buffer view;
          if (PyObject_GetBuffer(piece.get(), &view, PyBUF_SIMPLE) < 0) return 0;
          const auto n = static_cast<std::size_t>(view.len);
          if (n <= max) std::memcpy(out, view.buf, n);
          PyBuffer_Release(&view);
          return n;
        },
        static_cast<std::size_t>(size));
    CheckpointDamage damage;
    std::optional<RewriteEngine> engine = Checkpoint::load(in, damage);
    if (PyErr_Occurred() != nullptr) return nullptr;  // from read(), which stopped the load
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
    {"hif_records", as_cfunction(hif_records), METH_FASTCALL, nullptr},
    {"causal_past", as_cfunction(causal_past), METH_FASTCALL, nullptr},
    {"causal_future", as_cfunction(causal_future), METH_FASTCALL, nullptr},
    {"causal_pending", as_cfunction(causal_pending), METH_FASTCALL, nullptr},
    {"memory", as_cfunction(memory), METH_FASTCALL, nullptr},
    {"save", as_cfunction(save), METH_FASTCALL, nullptr},
    {"load", as_cfunction(load), METH_FASTCALL, nullptr},
    {"save_stream", as_cfunction(save_stream), METH_FASTCALL, nullptr},
    {"load_stream", as_cfunction(load_stream), METH_FASTCALL, nullptr},
    {"nodes", as_cfunction(analysis_nodes), METH_FASTCALL, nullptr},
    {"ball_volumes", as_cfunction(analysis_ball_volumes), METH_FASTCALL, nullptr},
    {"distances", as_cfunction(analysis_distances), METH_FASTCALL, nullptr},
    {"components", as_cfunction(analysis_components), METH_FASTCALL, nullptr},
    {"nearest_edges", as_cfunction(analysis_nearest_edges), METH_FASTCALL, nullptr},
    {"causal_part", as_cfunction(analysis_causal_part), METH_FASTCALL, nullptr},
    {"fill_templates", as_cfunction(fill_templates), METH_FASTCALL, nullptr},
    {"write_final_state", as_cfunction(write_final_state), METH_FASTCALL, nullptr},
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
