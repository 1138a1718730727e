#include "hypergraph/causal_writer.hpp"

#include <utility>

namespace vorn {

void CausalWriter::open_entry_slow() {
  if (phase_ == step_unwritten) {
    log_.step();
    ++steps_;
    phase_ = step_written;
  } else {
    // Only writes outside any application (the store's own operations used
    // directly) need this; a rewriting engine never writes one.
    log_.end();
    phase_ = idle;
  }
}

void CausalWriter::add_vertex(VertexId id, uint64_t capacity) {
  open_entry();
  log_.create(id, capacity);
}

void CausalWriter::remove_vertex(VertexId v) {
  open_entry();
  log_.remove(v);
}

void CausalWriter::drop_vertex(VertexId v) {
  open_entry();
  log_.drop(v);
}

void CausalWriter::begin_step() { phase_ = step_unwritten; }

void CausalWriter::end_step() {
  const bool wrote = phase_ == step_written;
  token_ = wrote ? steps_ : 0;
  undoable_ = token_;
  phase_ = wrote ? tail_open : idle;
}

void CausalWriter::undo_step(uint64_t token) {
  if (token == 0 || token != undoable_) return;
  undoable_ = 0;
  // The undo entry closes the application as an end entry would.
  if (phase_ == tail_open) phase_ = idle;
  log_.mark_last_step_undone();
  log_.undo();
  known_.fill({0, 0});
}

CausalWriter CausalWriter::resume(CausalLog log, const Bookkeeping& b) {
  CausalWriter w;
  w.log_ = std::move(log);
  w.steps_ = b.steps;
  w.token_ = b.token;
  w.undoable_ = b.undoable;
  w.phase_ = b.tail_open ? tail_open : idle;
  return w;
}

}  // namespace vorn
