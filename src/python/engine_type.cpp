#include "python/engine_type.hpp"

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hypergraph/metrics.hpp"
#include "python/arguments.hpp"
#include "python/binder.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/semantics.hpp"
#include "rewrite_engine/out_of_memory.hpp"

namespace vorn::python {

namespace {

static_assert(alignof(EngineObject) <= alignof(std::max_align_t),
              "the interpreter's allocator must be able to align an Engine");

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

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

// ---------------------------------------------------------------------------
// The methods: plain functions of the engine and their converted arguments.

PyObject* set_print_interval_impl(RewriteEngine& e, uint64_t interval) {
  e.set_print_interval(interval);
  return none();
}

PyObject* set_verbose_impl(RewriteEngine& e, bool verbose) {
  e.set_verbose(verbose);
  return none();
}

PyObject* set_causal_horizon_impl(RewriteEngine& e, uint64_t horizon) {
  e.set_causal_horizon(horizon);
  return none();
}

PyObject* set_bitset_capacity_impl(RewriteEngine& e, uint64_t capacity) {
  e.set_bitset_capacity(capacity);
  return none();
}

// An unknown name warns (on standard output, as progress lines go) and
// selects SPO.
PyObject* set_semantics_impl(RewriteEngine& e, std::string semantics) {
  std::optional<Semantics> chosen = semantics_named(semantics);
  if (!chosen) {
    write_stdout("Warning: Unknown semantics '" + semantics + "'. Defaulting to SPO.\n");
  }
  e.set_semantics(chosen.value_or(Semantics::spo));
  return none();
}

PyObject* get_semantics_impl(RewriteEngine& e) { return PyUnicode_FromString(semantics_name(e.semantics())); }

PyObject* add_rule_impl(RewriteEngine& e, NamePatterns lhs, std::vector<std::string> kept, NamePatterns rhs,
                        double weight) {
  if (std::optional<RuleRefusal> refusal =
          e.add_rule(std::move(lhs), std::move(kept), std::move(rhs), weight)) {
    return raise_rule_refused(*refusal);
  }
  return none();
}

// Both stop at a step that runs out of memory, which is undone, with
// MemoryError (see out_of_memory.hpp).
PyObject* run_impl(RewriteEngine& e, uint64_t steps) {
  const StepsWithinMemory done = run_within_memory(e, steps);
  if (done.out_of_memory) {
    return raise_out_of_memory(done.done, steps);
  }
  return none();
}

PyObject* step_impl(RewriteEngine& e) {
  const StepsWithinMemory done = run_within_memory(e, 1);
  if (done.out_of_memory) {
    return raise_out_of_memory(0, 1);
  }
  return py_bool(done.last_rewrote);
}

PyObject* rollback_impl(RewriteEngine& e) { return py_bool(e.rollback()); }

PyObject* node_count_impl(RewriteEngine& e) { return py_u64(e.graph().vertex_count()); }

PyObject* edge_count_impl(RewriteEngine& e) { return py_u64(e.graph().edge_count()); }

PyObject* get_vertices_impl(RewriteEngine& e) {
  const Hypergraph& g = e.graph();
  std::vector<VertexId> ids;
  ids.reserve(g.vertex_count());
  g.for_each_vertex([&](Slot s) { ids.push_back(g.id_of(s)); });
  return list_of(ids, ids.size(), [](VertexId v) { return py_u64(v); });
}

PyObject* set_observable_impl(RewriteEngine& e, uint64_t v_id, std::string key, double value) {
  if (!e.set_observable(v_id, std::move(key), value)) {
    return raise_vertex_not_found(v_id);
  }
  return none();
}

PyObject* get_observable_impl(RewriteEngine& e, uint64_t v_id, std::string key) {
  const Observables* observables = e.graph().observables(v_id);
  if (observables == nullptr) {
    return raise_vertex_not_found(v_id);
  }
  auto value = observables->find(key);
  return value == observables->end() ? none() : PyFloat_FromDouble(value->second);
}

PyObject* get_all_observables_impl(RewriteEngine& e) {
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
}

PyObject* get_edges_impl(RewriteEngine& e) {
  const Hypergraph& g = e.graph();
  std::vector<EdgeSlot> edges;
  edges.reserve(g.edge_count());
  g.for_each_hyperedge([&](EdgeSlot f) { edges.push_back(f); });
  return list_of(edges, edges.size(), [&g](EdgeSlot f) {
    const std::span<const Slot> members = g.members(f);
    return list_of(members, members.size(), [&g](Slot s) { return py_u64(g.id_of(s)); });
  });
}

PyObject* get_degree_map_impl(RewriteEngine& e) { return dict_of_u64(degree_map(std::as_const(e).graph())); }

PyObject* get_structural_pair_count_impl(RewriteEngine& e) {
  return py_u64(e.graph().structural_pair_count());
}

PyObject* clear_rules_impl(RewriteEngine& e) {
  e.clear_rules();
  return none();
}

PyObject* clear_graph_impl(RewriteEngine& e) {
  e.clear_graph();
  return none();
}

PyObject* get_attempted_rewrites_impl(RewriteEngine& e) { return py_u64(e.attempted_rewrites()); }

PyObject* get_successful_rewrites_impl(RewriteEngine& e) { return py_u64(e.successful_rewrites()); }

PyObject* reset_counters_impl(RewriteEngine& e) {
  e.reset_counters();
  return none();
}

PyObject* get_isolated_vertices_impl(RewriteEngine& e) {
  std::vector<VertexId> ids = isolated_vertices(std::as_const(e).graph());
  return list_of(ids, ids.size(), [](VertexId v) { return py_u64(v); });
}

PyObject* get_shortest_path_distance_impl(RewriteEngine& e, uint64_t start, uint64_t target) {
  std::optional<uint64_t> distance = shortest_path_distance(std::as_const(e).graph(), start, target);
  return distance ? py_u64(*distance) : none();
}

PyObject* get_edge_size_map_impl(RewriteEngine& e) {
  return dict_of_u64(edge_size_map(std::as_const(e).graph()));
}

// ---------------------------------------------------------------------------
// The method table: the one place that lists the methods' names, parameters
// (read from the docstrings' signatures), docstrings and access.

constexpr Access kShared = Access::shared;
constexpr Access kExclusive = Access::exclusive;

PyMethodDef engine_methods[] = {
    method<"set_print_interval($self, interval)\n--\n\n"
           "Sets how often the engine prints progress to the console. Set to 0 to disable.",
           kExclusive, set_print_interval_impl>(),
    method<"set_verbose($self, verbose)\n--\n\nEnable or disable verbose console printing", kExclusive,
           set_verbose_impl>(),
    method<"set_causal_horizon($self, horizon)\n--\n\n"
           "Sets the causal horizon (max depth for causal BFS). Default is 6.",
           kExclusive, set_causal_horizon_impl>(),
    method<"set_bitset_capacity($self, capacity)\n--\n\n"
           "Sets the initial bitset capacity (memory optimization). Default is 1024.",
           kExclusive, set_bitset_capacity_impl>(),
    method<"set_semantics($self, semantics)\n--\n\n"
           "Toggles between SPO (Single-Pushout) and DPO (Double-Pushout) graph rewriting "
           "semantics.",
           kExclusive, set_semantics_impl>(),
    method<"get_semantics($self)\n--\n\n"
           "Returns the currently active rewriting semantics: \"DPO\" or \"SPO\".",
           kShared, get_semantics_impl>(),
    method<"add_rule($self, lhs, kept, rhs, weight)\n--\n\n", kExclusive, add_rule_impl>(),
    method<"run($self, steps)\n--\n\n", kExclusive, run_impl>(),
    method<"step($self)\n--\n\n"
           "Executes exactly one step. Returns true if a rule fired, false otherwise.",
           kExclusive, step_impl>(),
    method<"rollback($self)\n--\n\n"
           "Reverts the graph state to exactly before the last successful step.\n"
           "Returns true if a rollback was performed, false if no history was available.",
           kExclusive, rollback_impl>(),
    method<"node_count($self)\n--\n\n", kShared, node_count_impl>(),
    method<"edge_count($self)\n--\n\n", kShared, edge_count_impl>(),
    method<"get_vertices($self)\n--\n\nExtracts all vertex IDs as a Python List", kShared,
           get_vertices_impl>(),
    method<"set_observable($self, v_id, key, value)\n--\n\n", kExclusive, set_observable_impl>(),
    method<"get_observable($self, v_id, key)\n--\n\n", kShared, get_observable_impl>(),
    method<"get_all_observables($self)\n--\n\n", kShared, get_all_observables_impl>(),
    method<"get_edges($self)\n--\n\nExtracts all hyperedges as a Python List of Lists", kShared,
           get_edges_impl>(),
    method<"get_degree_map($self)\n--\n\n"
           "Returns a Python Dictionary mapping Vertex ID -> Degree (Number of connected edges)",
           kShared, get_degree_map_impl>(),
    method<"get_structural_pair_count($self)\n--\n\n"
           "Fast macroscopic metric: total number of pairwise connections",
           kShared, get_structural_pair_count_impl>(),
    method<"clear_rules($self)\n--\n\nClear all graph grammar rules", kExclusive, clear_rules_impl>(),
    method<"clear_graph($self)\n--\n\n"
           "Clear the hypergraph (Reset engine state without re-allocating engine)",
           kExclusive, clear_graph_impl>(),
    method<"get_attempted_rewrites($self)\n--\n\nReturns total steps attempted since last reset.", kShared,
           get_attempted_rewrites_impl>(),
    method<"get_successful_rewrites($self)\n--\n\n"
           "Returns total steps that resulted in a successful rule match and graph mutation.",
           kShared, get_successful_rewrites_impl>(),
    method<"reset_counters($self)\n--\n\n"
           "Resets only the step counters (attempted and successful rewrites), without clearing "
           "the graph.",
           kExclusive, reset_counters_impl>(),
    method<"get_isolated_vertices($self)\n--\n\nReturns isolated vertices (degree == 0)", kShared,
           get_isolated_vertices_impl>(),
    method<"get_shortest_path_distance($self, start, target)\n--\n\n"
           "Calculates the topological graph distance (shortest path) between two vertices\n"
           "Returns None if there is no path.",
           kShared, get_shortest_path_distance_impl>(),
    method<"get_edge_size_map($self)\n--\n\n"
           "Extracts edge sizes: Edge ID -> Number of contained vertices",
           kShared, get_edge_size_map_impl>(),
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

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long kImmutable = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long kImmutable = 0;  // before Python 3.10
#endif

PyType_Spec engine_spec = {
    "builtins.Engine",
    static_cast<int>(sizeof(EngineObject)),
    0,
    // Immutable, as built-in classes are: nobody can monkey-patch a method
    // of every engine in the process.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kImmutable,
    engine_slots,
};

// The type is created once per process and shared by every import of the
// module, so that an Engine made before a re-import (or by vornkit._native's
// load) is still an instance of `vorn.Engine`. It holds no per-module state;
// the module declares that it does not support subinterpreters, where a
// shared type would be wrong.
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
