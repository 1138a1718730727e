#include "python/engine_type.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "hypergraph/metrics.hpp"
#include "python/arguments.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"

namespace vorn::python {

namespace {

static_assert(alignof(EngineObject) <= alignof(std::max_align_t),
              "the interpreter's allocator must be able to align an Engine");

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

// ---------------------------------------------------------------------------
// Call frames. Every method: bind the arguments, take access, then let the
// body convert its arguments, run and build its result. Access is released
// on every path, C++ exceptions included.

template <class Body>
PyObject* call_noargs(PyObject* self, const char* method, Access access, Body&& body) {
  return guarded(method, nullptr, [&]() -> PyObject* {
    BorrowGuard guard(as_engine(self), access);
    if (!guard) {
      return nullptr;
    }
    return body(as_engine(self)->engine);
  });
}

template <std::size_t N, class Body>
PyObject* call_with_args(PyObject* self, const char* method, const char* const (&names)[N],
                         Access access, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Body&& body) {
  return guarded(method, nullptr, [&]() -> PyObject* {
    PyObject* bound[N];
    if (!bind_fastcall(method, names, N, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    BorrowGuard guard(as_engine(self), access);
    if (!guard) {
      return nullptr;
    }
    return body(as_engine(self)->engine, bound);
  });
}

// ---------------------------------------------------------------------------
// Results

PyObject* none() { return Ref::borrowed(Py_None).release(); }

PyObject* py_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* py_u64(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* py_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <class Range, class Item>
PyObject* list_of(const Range& range, std::size_t size, Item&& item) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) {
    return nullptr;
  }
  Py_ssize_t i = 0;
  for (const auto& element : range) {
    PyObject* value = item(element);
    if (value == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), i++, value);
  }
  return list.release();
}

bool dict_set(PyObject* dict, PyObject* key, PyObject* value) {
  Ref owned_key(key);
  Ref owned_value(value);
  return owned_key && owned_value && PyDict_SetItem(dict, owned_key.get(), owned_value.get()) == 0;
}

template <class Pairs>
PyObject* dict_of_u64(const Pairs& pairs) {
  Ref dict(PyDict_New());
  if (!dict) {
    return nullptr;
  }
  for (const auto& [key, value] : pairs) {
    if (!dict_set(dict.get(), py_u64(key), py_u64(value))) {
      return nullptr;
    }
  }
  return dict.release();
}

PyObject* observables_dict(const absl::flat_hash_map<std::string, double>& observables) {
  Ref dict(PyDict_New());
  if (!dict) {
    return nullptr;
  }
  for (const auto& [key, value] : observables) {
    if (!dict_set(dict.get(), py_str(key), PyFloat_FromDouble(value))) {
      return nullptr;
    }
  }
  return dict.release();
}

PyObject* vertex_not_found(uint64_t v_id) {
  PyErr_Format(PyExc_ValueError, "Vertex %llu not found", static_cast<unsigned long long>(v_id));
  return nullptr;
}

// ---------------------------------------------------------------------------
// Methods

#define VORN_FASTCALL_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

PyObject* set_print_interval(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"interval"};
  return call_with_args(self, "Engine.set_print_interval()", names, Access::exclusive, args,
                        nargs, kwnames, [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          uint64_t interval = 0;
                          if (!convert(a[0], "interval", interval)) {
                            return nullptr;
                          }
                          e.set_print_interval(interval);
                          return none();
                        });
}

PyObject* set_verbose(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"verbose"};
  return call_with_args(self, "Engine.set_verbose()", names, Access::exclusive, args, nargs,
                        kwnames, [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          bool verbose = false;
                          if (!convert(a[0], "verbose", verbose)) {
                            return nullptr;
                          }
                          e.set_verbose(verbose);
                          return none();
                        });
}

PyObject* set_causal_horizon(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"horizon"};
  return call_with_args(self, "Engine.set_causal_horizon()", names, Access::exclusive, args,
                        nargs, kwnames, [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          uint64_t horizon = 0;
                          if (!convert(a[0], "horizon", horizon)) {
                            return nullptr;
                          }
                          e.set_causal_horizon(horizon);
                          return none();
                        });
}

PyObject* set_bitset_capacity(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"capacity"};
  return call_with_args(self, "Engine.set_bitset_capacity()", names, Access::exclusive, args,
                        nargs, kwnames, [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          uint64_t capacity = 0;
                          if (!convert(a[0], "capacity", capacity)) {
                            return nullptr;
                          }
                          e.set_bitset_capacity(capacity);
                          return none();
                        });
}

PyObject* set_semantics(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"semantics"};
  return call_with_args(self, "Engine.set_semantics()", names, Access::exclusive, args, nargs,
                        kwnames, [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          std::string semantics;
                          if (!convert(a[0], "semantics", semantics)) {
                            return nullptr;
                          }
                          e.set_semantics(semantics);
                          return none();
                        });
}

PyObject* get_semantics(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_semantics()", Access::shared,
                     [](RewriteEngine& e) { return PyUnicode_FromString(e.semantics()); });
}

PyObject* add_rule(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"lhs", "kept", "rhs", "weight"};
  return call_with_args(self, "Engine.add_rule()", names, Access::exclusive, args, nargs, kwnames,
                        [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          NamePatterns lhs;
                          std::vector<std::string> kept;
                          NamePatterns rhs;
                          double weight = 0.0;
                          if (!convert(a[0], "lhs", lhs) || !convert(a[1], "kept", kept) ||
                              !convert(a[2], "rhs", rhs) || !convert(a[3], "weight", weight)) {
                            return nullptr;
                          }
                          std::optional<std::string> error =
                              e.add_rule(std::move(lhs), std::move(kept), std::move(rhs), weight);
                          if (error) {
                            PyErr_SetString(PyExc_ValueError, error->c_str());
                            return nullptr;
                          }
                          return none();
                        });
}

PyObject* run(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"steps"};
  return call_with_args(self, "Engine.run()", names, Access::exclusive, args, nargs, kwnames,
                        [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          uint64_t steps = 0;
                          if (!convert(a[0], "steps", steps)) {
                            return nullptr;
                          }
                          e.run(steps);
                          return none();
                        });
}

PyObject* step(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.step()", Access::exclusive,
                     [](RewriteEngine& e) { return py_bool(e.step()); });
}

PyObject* rollback(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.rollback()", Access::exclusive,
                     [](RewriteEngine& e) { return py_bool(e.rollback()); });
}

PyObject* node_count(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.node_count()", Access::shared,
                     [](RewriteEngine& e) { return py_u64(e.graph().vertex_count()); });
}

PyObject* edge_count(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.edge_count()", Access::shared,
                     [](RewriteEngine& e) { return py_u64(e.graph().edge_count()); });
}

PyObject* get_vertices(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_vertices()", Access::shared, [](RewriteEngine& e) {
    const Hypergraph& g = e.graph();
    std::vector<VertexId> ids;
    ids.reserve(g.vertex_count());
    g.for_each_vertex([&](Slot s) { ids.push_back(g.id_of(s)); });
    return list_of(ids, ids.size(), [](VertexId v) { return py_u64(v); });
  });
}

PyObject* set_observable(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"v_id", "key", "value"};
  return call_with_args(self, "Engine.set_observable()", names, Access::exclusive, args, nargs,
                        kwnames, [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          uint64_t v_id = 0;
                          std::string key;
                          double value = 0.0;
                          if (!convert(a[0], "v_id", v_id) || !convert(a[1], "key", key) ||
                              !convert(a[2], "value", value)) {
                            return nullptr;
                          }
                          if (!e.set_observable(v_id, std::move(key), value)) {
                            return vertex_not_found(v_id);
                          }
                          return none();
                        });
}

PyObject* get_observable(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"v_id", "key"};
  return call_with_args(self, "Engine.get_observable()", names, Access::shared, args, nargs,
                        kwnames, [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          uint64_t v_id = 0;
                          std::string key;
                          if (!convert(a[0], "v_id", v_id) || !convert(a[1], "key", key)) {
                            return nullptr;
                          }
                          const Observables* observables = e.graph().observables(v_id);
                          if (observables == nullptr) {
                            return vertex_not_found(v_id);
                          }
                          auto value = observables->find(key);
                          if (value == observables->end()) {
                            return none();
                          }
                          return PyFloat_FromDouble(value->second);
                        });
}

PyObject* get_all_observables(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_all_observables()", Access::shared,
                     [](RewriteEngine& e) -> PyObject* {
                       Ref dict(PyDict_New());
                       if (!dict) {
                         return nullptr;
                       }
                       const Hypergraph& g = e.graph();
                       bool ok = true;
                       g.for_each_vertex([&](Slot s) {
                         const VertexId id = g.id_of(s);
                         ok = ok && dict_set(dict.get(), py_u64(id), observables_dict(*g.observables(id)));
                       });
                       return ok ? dict.release() : nullptr;
                     });
}

PyObject* get_edges(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_edges()", Access::shared, [](RewriteEngine& e) {
    const Hypergraph& g = e.graph();
    std::vector<EdgeSlot> edges;
    edges.reserve(g.edge_count());
    g.for_each_hyperedge([&](EdgeSlot f) { edges.push_back(f); });
    return list_of(edges, edges.size(), [&g](EdgeSlot f) {
      const std::span<const Slot> members = g.members(f);
      return list_of(members, members.size(), [&g](Slot s) { return py_u64(g.id_of(s)); });
    });
  });
}

PyObject* get_degree_map(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_degree_map()", Access::shared, [](RewriteEngine& e) {
    return dict_of_u64(degree_map(std::as_const(e).graph()));
  });
}

PyObject* get_structural_pair_count(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_structural_pair_count()", Access::shared,
                     [](RewriteEngine& e) { return py_u64(e.graph().structural_pair_count()); });
}

PyObject* clear_rules(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.clear_rules()", Access::exclusive, [](RewriteEngine& e) {
    e.clear_rules();
    return none();
  });
}

PyObject* clear_graph(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.clear_graph()", Access::exclusive, [](RewriteEngine& e) {
    e.clear_graph();
    return none();
  });
}

PyObject* get_attempted_rewrites(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_attempted_rewrites()", Access::shared,
                     [](RewriteEngine& e) { return py_u64(e.attempted_rewrites()); });
}

PyObject* get_successful_rewrites(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_successful_rewrites()", Access::shared,
                     [](RewriteEngine& e) { return py_u64(e.successful_rewrites()); });
}

PyObject* reset_counters(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.reset_counters()", Access::exclusive, [](RewriteEngine& e) {
    e.reset_counters();
    return none();
  });
}

PyObject* get_isolated_vertices(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_isolated_vertices()", Access::shared,
                     [](RewriteEngine& e) {
                       std::vector<VertexId> ids = isolated_vertices(std::as_const(e).graph());
                       return list_of(ids, ids.size(), [](VertexId v) { return py_u64(v); });
                     });
}

PyObject* get_shortest_path_distance(VORN_FASTCALL_ARGS) {
  static const char* const names[] = {"start", "target"};
  return call_with_args(self, "Engine.get_shortest_path_distance()", names, Access::shared, args,
                        nargs, kwnames, [](RewriteEngine& e, PyObject** a) -> PyObject* {
                          uint64_t start = 0;
                          uint64_t target = 0;
                          if (!convert(a[0], "start", start) || !convert(a[1], "target", target)) {
                            return nullptr;
                          }
                          std::optional<uint64_t> distance =
                              shortest_path_distance(std::as_const(e).graph(), start, target);
                          return distance ? py_u64(*distance) : none();
                        });
}

PyObject* get_edge_size_map(PyObject* self, PyObject*) {
  return call_noargs(self, "Engine.get_edge_size_map()", Access::shared, [](RewriteEngine& e) {
    return dict_of_u64(edge_size_map(std::as_const(e).graph()));
  });
}

#undef VORN_FASTCALL_ARGS

// ---------------------------------------------------------------------------
// Method table

template <class Function>
PyCFunction as_cfunction(Function function) {
  // The interpreter calls through the signature that the flags announce.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kNoArgs = METH_NOARGS;
constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef engine_methods[] = {
    {"set_print_interval", as_cfunction(set_print_interval), kFastcall,
     "set_print_interval($self, interval)\n--\n\n"
     "Sets how often the engine prints progress to the console. Set to 0 to disable."},
    {"set_verbose", as_cfunction(set_verbose), kFastcall,
     "set_verbose($self, verbose)\n--\n\nEnable or disable verbose console printing"},
    {"set_causal_horizon", as_cfunction(set_causal_horizon), kFastcall,
     "set_causal_horizon($self, horizon)\n--\n\n"
     "Sets the causal horizon (max depth for causal BFS). Default is 6."},
    {"set_bitset_capacity", as_cfunction(set_bitset_capacity), kFastcall,
     "set_bitset_capacity($self, capacity)\n--\n\n"
     "Sets the initial bitset capacity (memory optimization). Default is 1024."},
    {"set_semantics", as_cfunction(set_semantics), kFastcall,
     "set_semantics($self, semantics)\n--\n\n"
     "Toggles between SPO (Single-Pushout) and DPO (Double-Pushout) graph rewriting semantics."},
    {"get_semantics", as_cfunction(get_semantics), kNoArgs,
     "get_semantics($self)\n--\n\n"
     "Returns the currently active rewriting semantics: \"DPO\" or \"SPO\"."},
    {"add_rule", as_cfunction(add_rule), kFastcall,
     "add_rule($self, lhs, kept, rhs, weight)\n--\n\n"},
    {"run", as_cfunction(run), kFastcall, "run($self, steps)\n--\n\n"},
    {"step", as_cfunction(step), kNoArgs,
     "step($self)\n--\n\n"
     "Executes exactly one step. Returns true if a rule fired, false otherwise."},
    {"rollback", as_cfunction(rollback), kNoArgs,
     "rollback($self)\n--\n\n"
     "Reverts the graph state to exactly before the last successful step.\n"
     "Returns true if a rollback was performed, false if no history was available."},
    {"node_count", as_cfunction(node_count), kNoArgs, "node_count($self)\n--\n\n"},
    {"edge_count", as_cfunction(edge_count), kNoArgs, "edge_count($self)\n--\n\n"},
    {"get_vertices", as_cfunction(get_vertices), kNoArgs,
     "get_vertices($self)\n--\n\nExtracts all vertex IDs as a Python List"},
    {"set_observable", as_cfunction(set_observable), kFastcall,
     "set_observable($self, v_id, key, value)\n--\n\n"},
    {"get_observable", as_cfunction(get_observable), kFastcall,
     "get_observable($self, v_id, key)\n--\n\n"},
    {"get_all_observables", as_cfunction(get_all_observables), kNoArgs,
     "get_all_observables($self)\n--\n\n"},
    {"get_edges", as_cfunction(get_edges), kNoArgs,
     "get_edges($self)\n--\n\nExtracts all hyperedges as a Python List of Lists"},
    {"get_degree_map", as_cfunction(get_degree_map), kNoArgs,
     "get_degree_map($self)\n--\n\n"
     "Returns a Python Dictionary mapping Vertex ID -> Degree (Number of connected edges)"},
    {"get_structural_pair_count", as_cfunction(get_structural_pair_count), kNoArgs,
     "get_structural_pair_count($self)\n--\n\n"
     "Fast macroscopic metric: total number of pairwise connections"},
    {"clear_rules", as_cfunction(clear_rules), kNoArgs,
     "clear_rules($self)\n--\n\nClear all graph grammar rules"},
    {"clear_graph", as_cfunction(clear_graph), kNoArgs,
     "clear_graph($self)\n--\n\n"
     "Clear the hypergraph (Reset engine state without re-allocating engine)"},
    {"get_attempted_rewrites", as_cfunction(get_attempted_rewrites), kNoArgs,
     "get_attempted_rewrites($self)\n--\n\nReturns total steps attempted since last reset."},
    {"get_successful_rewrites", as_cfunction(get_successful_rewrites), kNoArgs,
     "get_successful_rewrites($self)\n--\n\n"
     "Returns total steps that resulted in a successful rule match and graph mutation."},
    {"reset_counters", as_cfunction(reset_counters), kNoArgs,
     "reset_counters($self)\n--\n\n"
     "Resets only the step counters (attempted and successful rewrites), without clearing the "
     "graph."},
    {"get_isolated_vertices", as_cfunction(get_isolated_vertices), kNoArgs,
     "get_isolated_vertices($self)\n--\n\nReturns isolated vertices (degree == 0)"},
    {"get_shortest_path_distance", as_cfunction(get_shortest_path_distance), kFastcall,
     "get_shortest_path_distance($self, start, target)\n--\n\n"
     "Calculates the topological graph distance (shortest path) between two vertices\n"
     "Returns None if there is no path."},
    {"get_edge_size_map", as_cfunction(get_edge_size_map), kNoArgs,
     "get_edge_size_map($self)\n--\n\nExtracts edge sizes: Edge ID -> Number of contained vertices"},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Type slots

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const method = "Engine.__new__()";
  return guarded(method, nullptr, [&]() -> PyObject* {
    if (!bind_tuple(method, nullptr, 0, args, kwargs, nullptr)) {
      return nullptr;
    }
    return wrap_engine(type, RewriteEngine{});  // seeded from the thread's generator
  });
}

void engine_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  EngineObject* self = as_engine(obj);
  self->engine.~RewriteEngine();
  self->borrow.~atomic();
  type->tp_free(obj);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// An Engine refers to no Python object except its (heap) type; the rest is
// the base type's business.
int engine_traverse(PyObject* obj, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(obj));
  traverseproc base = PyBaseObject_Type.tp_traverse;
  return base != nullptr ? base(obj, visit, arg) : 0;
}

int engine_clear(PyObject* obj) {
  inquiry base = PyBaseObject_Type.tp_clear;
  return base != nullptr ? base(obj) : 0;
}

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("Engine()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&engine_clear)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "builtins.Engine",
    static_cast<int>(sizeof(EngineObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    engine_slots,
};

PyObject* g_engine_type = nullptr;

}  // namespace

PyObject* wrap_engine(PyTypeObject* type, RewriteEngine engine) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) {
    return nullptr;  // `engine` is destroyed on the way out
  }
  EngineObject* self = reinterpret_cast<EngineObject*>(obj);
  try {
    new (&self->engine) RewriteEngine(std::move(engine));
  } catch (...) {
    // Release the half-built object without running the deallocator,
    // which would destroy an engine that does not exist.
    PyObject_GC_UnTrack(obj);
    type->tp_free(obj);
    Py_DECREF(type);
    throw;
  }
  new (&self->borrow) std::atomic<int64_t>(0);
  return obj;
}

PyObject* engine_type() {
  if (g_engine_type == nullptr) {
    g_engine_type = PyType_FromSpec(&engine_spec);
  }
  return g_engine_type;
}

}  // namespace vorn::python
