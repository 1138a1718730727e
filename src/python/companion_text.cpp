#include "python/companion_text.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "python/companion_support.hpp"
#include "python/gil_release.hpp"

namespace vorn::python {
namespace {

// A template cut at its "%d" slots: literals[0], slot, literals[1], ...
struct Template {
  std::vector<std::string> literals;
  std::size_t slots() const { return literals.size() - 1; }
};

bool parse(PyObject* obj, Template& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
  if (text == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "templates must be str");
    return false;
  }
  const std::string_view t(text, static_cast<std::size_t>(size));
  std::size_t from = 0;
  for (std::size_t at = t.find("%d"); at != std::string_view::npos; at = t.find("%d", from)) {
    out.literals.emplace_back(t.substr(from, at - from));
    from = at + 2;
  }
  out.literals.emplace_back(t.substr(from));
  return true;
}

// The int64 contents of a buffer, or false with an exception set.
bool int64s(PyObject* obj, const char* name, std::vector<int64_t>& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return false;
  const bool whole = view.len % static_cast<Py_ssize_t>(sizeof(int64_t)) == 0;
  if (whole) {
    out.resize(static_cast<std::size_t>(view.len) / sizeof(int64_t));
    if (view.len > 0) std::memcpy(out.data(), view.buf, static_cast<std::size_t>(view.len));
  }
  PyBuffer_Release(&view);
  if (!whole) PyErr_Format(PyExc_ValueError, "%s must be a buffer of int64", name);
  return whole;
}

// Text handed to a Python `write` callable a piece at a time.
class PieceWriter {
 public:
  PieceWriter(PyObject* write, std::size_t piece) : write_(write), piece_(piece) {
    text_.reserve(piece + 64);
  }
  void append(std::string_view s) { text_.append(s); }
  void number(uint64_t v) {
    char digits[24];
    text_.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
  }
  bool full() const { return text_.size() >= piece_; }
  // Passes the text on (with the GIL); false with an exception set when
  // write raised, or a signal handler did.
  bool flush() {
    Ref piece(PyUnicode_DecodeASCII(text_.data(), static_cast<Py_ssize_t>(text_.size()), nullptr));
    text_.clear();
    if (!piece) return false;
    Ref done(PyObject_CallOneArg(write_, piece.get()));
    return done && PyErr_CheckSignals() == 0;
  }

 private:
  PyObject* write_;
  std::size_t piece_;
  std::string text_;
};

}  // namespace

PyObject* write_final_state(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return with_engine("write_final_state", args, nargs, 3, Access::shared, [&](RewriteEngine& e) -> PyObject* {
    if (!PyCallable_Check(args[1])) {
      PyErr_SetString(PyExc_TypeError, "write must be callable");
      return nullptr;
    }
    const Py_ssize_t piece = PyLong_AsSsize_t(args[2]);
    if (piece == -1 && PyErr_Occurred()) return nullptr;
    if (piece < 1) {
      PyErr_SetString(PyExc_ValueError, "piece must be at least 1 byte");
      return nullptr;
    }
    const Hypergraph& g = e.graph();
    PieceWriter out(args[1], static_cast<std::size_t>(piece));
    // Members' ids from a table by slot (8 bytes a vertex) rather than from
    // the vertex records, which the members reach in no order.
    std::vector<uint64_t> id_by_slot;
    // Resumable walks over the slots: each stretch is formatted without the
    // GIL until a piece is full.
    Slot vertex = 0;
    EdgeSlot edge = 0;
    bool first = true;
    {
      GilRelease release;
      id_by_slot.resize(g.slot_capacity());
      g.for_each_vertex([&](Slot s) { id_by_slot[s] = g.id_of(s); });
      out.append("{\"vertices\": [");
    }
    while (vertex < g.slot_capacity()) {
      {
        GilRelease release;
        for (; vertex < g.slot_capacity() && !out.full(); ++vertex) {
          if (!g.is_vertex(vertex)) continue;
          if (!first) out.append(", ");
          first = false;
          out.number(id_by_slot[vertex]);
        }
      }
      if (out.full() && !out.flush()) return nullptr;
    }
    out.append("], \"edges\": [");
    first = true;
    while (edge < g.edge_slot_capacity()) {
      {
        GilRelease release;
        for (; edge < g.edge_slot_capacity() && !out.full(); ++edge) {
          if (!g.is_hyperedge(edge)) continue;
          out.append(first ? "[" : ", [");
          first = false;
          bool head = true;
          for (const Slot s : g.members(edge)) {
            if (!head) out.append(", ");
            head = false;
            out.number(id_by_slot[s]);
          }
          out.append("]");
        }
      }
      if (out.full() && !out.flush()) return nullptr;
    }
    out.append("]}");
    if (!out.flush()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* fill_templates(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arity("fill_templates", nargs, 3)) return nullptr;
  PyObject* seq = PySequence_Fast(args[0], "templates must be a sequence of str");
  if (seq == nullptr) return nullptr;
  std::vector<Template> templates(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq)));
  bool ok = true;
  for (std::size_t i = 0; ok && i < templates.size(); ++i) {
    ok = parse(PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(i)), templates[i]);
  }
  Py_DECREF(seq);
  std::vector<int64_t> which, values;
  if (!ok || !int64s(args[1], "which", which) || !int64s(args[2], "values", values)) return nullptr;
  // Check first, then write without checks.
  std::size_t needed = 0, bytes = 0;
  for (const int64_t k : which) {
    if (k < 0 || static_cast<std::size_t>(k) >= templates.size()) {
      PyErr_Format(PyExc_ValueError, "template index %lld out of range", static_cast<long long>(k));
      return nullptr;
    }
    const Template& t = templates[static_cast<std::size_t>(k)];
    needed += t.slots();
    for (const std::string& l : t.literals) bytes += l.size();
  }
  if (needed != values.size()) {
    PyErr_Format(PyExc_ValueError, "the templates have %zu slots for %zu numbers", needed, values.size());
    return nullptr;
  }
  std::string out;
  out.reserve(bytes + 2 * which.size() + 8 * values.size());
  char digits[24];
  const int64_t* v = values.data();
  for (std::size_t r = 0; r < which.size(); ++r) {
    if (r != 0) out.append(", ");
    const Template& t = templates[static_cast<std::size_t>(which[r])];
    out.append(t.literals[0]);
    for (std::size_t s = 1; s < t.literals.size(); ++s) {
      const auto end = std::to_chars(digits, digits + sizeof digits, *v++).ptr;
      out.append(digits, end);
      out.append(t.literals[s]);
    }
  }
  return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr);
}

}  // namespace vorn::python
