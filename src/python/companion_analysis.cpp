// Graph analysis for vornkit: each function takes shared access to the
// engine through its borrow flag, then computes without the GIL (another
// thread may run Python meanwhile; one that tries to change the engine is
// refused by the borrow flag) and polls for signals about every 20 ms, so
// Ctrl-C stops a long call. Results are int64 bytearrays.
#include "python/companion_analysis.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "analysis/ball_volumes.hpp"
#include "analysis/causal_part.hpp"
#include "analysis/components.hpp"
#include "analysis/distances.hpp"
#include "analysis/nearest_edges.hpp"
#include "analysis/two_section.hpp"
#include "python/arguments.hpp"
#include "python/companion_support.hpp"
#include "python/gil_release.hpp"

namespace vorn::python {
namespace {

using analysis::Outcome;
using analysis::TwoSection;

// A vertex id argument; ValueError for a negative one.
bool vertex_arg(PyObject* obj, const char* param, uint64_t& out) {
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return convert(obj, param, out);  // the usual TypeError / OverflowError
  }
  if (v < 0) {
    return raise_not_in_hypergraph(v);
  }
  out = static_cast<uint64_t>(v);
  return true;
}

// The slot of a vertex the analysis accepts: a live vertex or an id that a
// hyperedge names. ValueError otherwise.
std::optional<Slot> slot_arg(const TwoSection& g, uint64_t v) {
  std::optional<Slot> s = g.find(v);
  if (!s) raise_not_in_hypergraph(static_cast<long long>(v));
  return s;
}

// A radius: None for none, else an int >= 0 (ValueError below 0).
bool radius_arg(PyObject* obj, const char* param, uint32_t& out) {
  if (obj == Py_None) {
    out = analysis::kNoRadius;
    return true;
  }
  if (!PyLong_Check(obj)) {
    uint64_t ignored = 0;
    return convert(obj, param, ignored);  // sets the usual TypeError
  }
  int overflow = 0;
  const long long r = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (r == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && r < 0)) {
    return raise_negative_radius(param, obj);
  }
  // Any radius beyond the largest possible distance means "no limit".
  out = overflow > 0 || r >= analysis::kNoRadius ? analysis::kNoRadius : static_cast<uint32_t>(r);
  return true;
}

// Runs body(graph, stop) without the GIL; null with KeyboardInterrupt (or
// whatever a signal handler raised) set when it was cancelled.
template <class Body>
bool without_gil(Body&& body) {
  GilRelease release;
  const analysis::StopHook stop = [&release] { return release.interrupted(); };
  return body(stop) == Outcome::done;
}

// Reads the store's 2-section (a scan of the store: done without the GIL).
class Section {
 public:
  explicit Section(const RewriteEngine& e) {
    without_gil([&](const analysis::StopHook&) {
      g_.emplace(e.graph());
      return Outcome::done;
    });
  }
  const TwoSection& get() const { return *g_; }

 private:
  std::optional<TwoSection> g_;
};

}  // namespace

// Ascending ids of every vertex a hyperedge names (the 2-section's nodes).
PyObject* analysis_nodes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("nodes", args, nargs, 1, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    // Counted first and sorted in the result itself: one array of ids at any
    // time (a growing vector and a copy of it would take three at the peak).
    const Section section(e);
    const TwoSection& g = section.get();
    std::size_t count = 0;
    g.for_each_slot([&](Slot s) { count += g.is_node(s); });
    return int64_array(count, [&](int64_t* out) {
      GilRelease release;
      int64_t* at = out;
      g.for_each_slot([&](Slot s) {
        if (g.is_node(s)) *at++ = static_cast<int64_t>(g.graph().id_of(s));
      });
      std::sort(out, at);
    });
  });
}

// ball_volumes(engine, centres, max_radius, layout, fraction) -> (offsets,
// volumes, sizes): centre k's V(0), V(1), ... are volumes[offsets[k] ..
// offsets[k+1]). `centres` is a buffer of native int64 vertex ids; `layout`
// the adjacency walked: 0 the fastest that fits, 1 the plain copy, 2 the
// coded copy, 3 the store; `fraction` 0, or the bound of the search
// (analysis/ball_volumes.hpp), which also gives the centres' component
// sizes (else `sizes` is empty).
PyObject* analysis_ball_volumes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("ball_volumes", args, nargs, 5, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    uint32_t max_radius = 0;
    if (!radius_arg(args[2], "max_radius", max_radius)) return nullptr;
    uint64_t layout = 0;
    if (!convert(args[3], "layout", layout)) return nullptr;
    analysis::Bound bound;
    bound.fraction = PyFloat_AsDouble(args[4]);
    if (bound.fraction == -1 && PyErr_Occurred()) return nullptr;
    if (layout > 3) {
      PyErr_SetString(PyExc_ValueError, "layout must be 0, 1, 2 or 3");
      return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[1], &view, PyBUF_SIMPLE) < 0) return nullptr;
    std::vector<int64_t> ids(static_cast<std::size_t>(view.len) / sizeof(int64_t));
    const bool whole = view.len % static_cast<Py_ssize_t>(sizeof(int64_t)) == 0;
    if (whole) std::copy_n(static_cast<const char*>(view.buf), view.len, reinterpret_cast<char*>(ids.data()));
    PyBuffer_Release(&view);
    if (!whole) {
      return raise_centres_not_int64();
    }
    const Section section(e);
    const TwoSection& g = section.get();
    std::vector<Slot> centres;
    centres.reserve(ids.size());
    for (const int64_t v : ids) {
      if (v < 0) {
        return raise_not_in_hypergraph(v);
      }
      const std::optional<Slot> s = slot_arg(g, static_cast<uint64_t>(v));
      if (!s) return nullptr;
      centres.push_back(*s);
    }
    std::vector<std::vector<uint64_t>> rows;
    if (!without_gil([&](const analysis::StopHook& stop) {
          return analysis::ball_volumes(g, centres, max_radius, rows, stop,
                                        static_cast<analysis::Layout>(layout), &bound);
        })) {
      return nullptr;
    }
    std::size_t total = 0;
    for (const auto& row : rows) total += row.size();
    Ref offsets(int64_array(rows.size() + 1, [&](int64_t* out) {
      int64_t at = 0;
      *out++ = 0;
      for (const auto& row : rows) *out++ = at += static_cast<int64_t>(row.size());
    }));
    Ref volumes(int64_array(total, [&](int64_t* out) {
      for (const auto& row : rows) {
        for (const uint64_t v : row) *out++ = static_cast<int64_t>(v);
      }
    }));
    Ref sizes(int64_array(bound.sizes.size(), [&](int64_t* out) {
      for (const uint64_t size : bound.sizes) *out++ = static_cast<int64_t>(size);
    }));
    if (!offsets || !volumes || !sizes) return nullptr;
    return PyTuple_Pack(3, offsets.get(), volumes.get(), sizes.get());
  });
}

// distances(engine, v, max_radius) -> (ids, distances), breadth-first order.
PyObject* analysis_distances(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("distances", args, nargs, 3, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    uint64_t v = 0;
    uint32_t max_radius = 0;
    if (!vertex_arg(args[1], "v", v) || !radius_arg(args[2], "max_radius", max_radius)) return nullptr;
    const Section section(e);
    const TwoSection& g = section.get();
    const std::optional<Slot> source = slot_arg(g, v);
    if (!source) return nullptr;
    std::vector<std::pair<Slot, uint32_t>> reached;
    if (!without_gil([&](const analysis::StopHook& stop) {
          return analysis::distances(g, *source, max_radius, reached, stop);
        })) {
      return nullptr;
    }
    Ref ids(int64_array(reached.size(), [&](int64_t* out) {
      for (const auto& [s, d] : reached) *out++ = static_cast<int64_t>(g.graph().id_of(s));
    }));
    Ref dist(int64_array(reached.size(), [&](int64_t* out) {
      for (const auto& [s, d] : reached) *out++ = d;
    }));
    if (!ids || !dist) return nullptr;
    return PyTuple_Pack(2, ids.get(), dist.get());
  });
}

// components(engine) -> (ids, labels): every vertex and every id a hyperedge
// names, with its component's number (0, 1, ...).
PyObject* analysis_components(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("components", args, nargs, 1, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    const Section section(e);
    const TwoSection& g = section.get();
    std::vector<std::pair<Slot, uint32_t>> labels;
    if (!without_gil([&](const analysis::StopHook& stop) { return analysis::components(g, labels, stop); })) {
      return nullptr;
    }
    Ref ids(int64_array(labels.size(), [&](int64_t* out) {
      for (const auto& [s, c] : labels) *out++ = static_cast<int64_t>(g.graph().id_of(s));
    }));
    Ref which(int64_array(labels.size(), [&](int64_t* out) {
      for (const auto& [s, c] : labels) *out++ = c;
    }));
    if (!ids || !which) return nullptr;
    return PyTuple_Pack(2, ids.get(), which.get());
  });
}

// nearest_edges(engine, centre, n) -> (offsets, members, ids) of the chosen
// hyperedges in the order taken, as edges() lays them out.
PyObject* analysis_nearest_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("nearest_edges", args, nargs, 3, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    uint64_t v = 0;
    if (!vertex_arg(args[1], "centre", v)) return nullptr;
    const long long n = PyLong_AsLongLong(args[2]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 0) {
      return raise_negative_edge_count(n);
    }
    const Section section(e);
    const TwoSection& g = section.get();
    const std::optional<Slot> centre = slot_arg(g, v);
    if (!centre) return nullptr;
    std::vector<EdgeSlot> taken;
    if (!without_gil([&](const analysis::StopHook& stop) {
          return analysis::nearest_edges(g, *centre, static_cast<std::size_t>(n), taken, stop);
        })) {
      return nullptr;
    }
    const Hypergraph& graph = g.graph();
    std::size_t total = 0;
    for (const EdgeSlot f : taken) total += graph.members(f).size();
    Ref offsets(int64_array(taken.size() + 1, [&](int64_t* out) {
      int64_t at = 0;
      *out++ = 0;
      for (const EdgeSlot f : taken) *out++ = at += static_cast<int64_t>(graph.members(f).size());
    }));
    Ref members(int64_array(total, [&](int64_t* out) {
      for (const EdgeSlot f : taken) {
        for (const Slot s : graph.members(f)) *out++ = static_cast<int64_t>(graph.id_of(s));
      }
    }));
    Ref ids(int64_array(taken.size(), [&](int64_t* out) {
      for (const EdgeSlot f : taken) *out++ = static_cast<int64_t>(graph.edge_id(f));
    }));
    if (!offsets || !members || !ids) return nullptr;
    return PyTuple_Pack(3, offsets.get(), members.get(), ids.get());
  });
}

// causal_part(engine, count) -> (vertices, pairs, ids, depths, causes,
// effects): the recorded causal relation's vertex and pair counts, and the
// part a picture draws (analysis/causal_part.hpp): the shown vertices' ids
// and depths in order of appearance, and the recorded pairs among them as
// indices into those.
PyObject* analysis_causal_part(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("causal_part", args, nargs, 2, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    const long long count = PyLong_AsLongLong(args[1]);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    if (count < 0) {
      PyErr_Format(PyExc_ValueError, "count must be at least 0, got %lld", count);
      return nullptr;
    }
    std::optional<RecordedRelation> relation;
    std::size_t pairs = 0;
    analysis::CausalPart part;
    if (!without_gil([&](const analysis::StopHook& stop) {
          relation = read_recorded_relation(e.graph().causal().log(), [&stop] { return !stop(); });
          if (!relation) return Outcome::cancelled;
          pairs = relation->pairs.size();
          return analysis::causal_part(relation->depths, std::move(relation->pairs),
                                       static_cast<std::size_t>(count), part, stop);
        })) {
      return nullptr;
    }
    const auto& depths = relation->depths;
    Ref ids(int64_array(part.shown.size(), [&](int64_t* out) {
      for (const uint32_t i : part.shown) *out++ = static_cast<int64_t>(depths[i].first);
    }));
    Ref levels(int64_array(part.shown.size(), [&](int64_t* out) {
      for (const uint32_t i : part.shown) *out++ = static_cast<int64_t>(depths[i].second);
    }));
    Ref causes(int64_array(part.pairs.size(), [&](int64_t* out) {
      for (const auto& [a, b] : part.pairs) *out++ = a;
    }));
    Ref effects(int64_array(part.pairs.size(), [&](int64_t* out) {
      for (const auto& [a, b] : part.pairs) *out++ = b;
    }));
    if (!ids || !levels || !causes || !effects) return nullptr;
    return Py_BuildValue("(nnOOOO)", static_cast<Py_ssize_t>(depths.size()), static_cast<Py_ssize_t>(pairs),
                         ids.get(), levels.get(), causes.get(), effects.get());
  });
}

}  // namespace vorn::python
