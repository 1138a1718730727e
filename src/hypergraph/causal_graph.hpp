// CausalGraph: the causal relation between vertices. Per vertex it keeps a
// depth, the direct causes and effects, and a causal past and future set
// (each holding the vertex itself); a recorded relation propagates through
// the relations already known, within the causal horizon.
//
// Writes cost O(1) and never read the causal state: they are appended to a
// compact log (CausalLog) that is replayed, in order and with the settings in
// force when each entry was made, when something reads the causal state. The
// result is exactly that of propagating every write when it is made. The
// full relation is quadratic in size for growth-like rules, so it can
// only be afforded when somebody asks for it: a run that never reads it never
// pays for it, and a deletion or an undo is just another entry.
//
// Why a log and not a persistent state: a rewrite step, its deletions and
// its undo must cost what the step touches, while a deletion's effect on the
// sets (clearing its bit around it, and the snapshot an undo needs) depends on
// the whole reachable past. A log entry defers exactly that, in a few bytes.
//
// The relation is kept by two parts, one per role: a CausalWriter that logs
// every write, and a CausalReplay that propagates the log when something
// reads (reads are therefore not const). The relation as the rules recorded
// it is read from the log directly (causal_recorded.hpp).
//
// Rule applications bracket their writes with begin_step/end_step. When an
// application that may still be undone is replayed, the replay keeps what an
// undo of it restores (CausalStepSnapshot), so that undo_step costs O(1) even
// after a read has propagated everything.
//
// Invariants: after `sync()` the whole log has been replayed. A vertex has
// links and sets while it is a live vertex of the store (or restored by an
// undo); ids without links count as depth 1 and are skipped where links or
// sets are needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "hypergraph/byte_stream.hpp"
#include "hypergraph/causal_log.hpp"
#include "hypergraph/causal_nodes.hpp"
#include "hypergraph/causal_recorded.hpp"
#include "hypergraph/causal_replay.hpp"
#include "hypergraph/causal_writer.hpp"
#include "hypergraph/fixed_bit_set.hpp"
#include "hypergraph/ids.hpp"

namespace vorn {

class CausalGraph {
 public:
  // --- Writes: constant time, appended to the log ---------------------------
  // A new vertex: depth 1, no links, both sets of length
  // causal_set_length(capacity, id + 1), with the own bit set.
  void add_vertex(VertexId id, uint64_t capacity) { writer_.add_vertex(id, capacity); }
  // Records a as a direct cause of b (see CausalWriter::add_relation for
  // `both_live`).
  void add_relation(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity, bool both_live) {
    writer_.add_relation(a, b, horizon, capacity, both_live);
  }
  // Clears v's bit from the future sets of its past and the past sets of its
  // future, then drops v's links and sets.
  void remove_vertex(VertexId v) { writer_.remove_vertex(v); }
  // Drops v's links and sets and nothing else (other vertices keep their
  // references to v).
  void drop_vertex(VertexId v) { writer_.drop_vertex(v); }

  // --- Rule applications and their undo ---------------------------------------
  // The writes between begin_step and end_step form one application.
  void begin_step() { writer_.begin_step(); }
  void end_step() { writer_.end_step(); }
  // Identifies the causal side of the application last ended; 0 when it
  // wrote nothing.
  uint64_t step_token() const { return writer_.step_token(); }
  // The token an undo may still name; 0 when none.
  uint64_t undoable_step() const { return writer_.undoable_step(); }
  // Undoes the causal side of the application with this token, which must be
  // the latest one: created vertices are dropped, removed ones get their
  // links back, and the data saved around each removed vertex is put back.
  // Any other token does nothing.
  void undo_step(uint64_t token) { writer_.undo_step(token); }

  // --- Reads, each after bringing the propagated state up to date -------------
  // Null when absent. A returned pointer stays valid until the next call of
  // any non-const member (a replay may rehash the nodes).
  const CausalLinks* links(VertexId v) {
    sync();
    return replay_.links(v);
  }
  const FixedBitSet* past(VertexId v) {
    sync();
    return replay_.past(v);
  }
  const FixedBitSet* future(VertexId v) {
    sync();
    return replay_.future(v);
  }

  // Replays the log.
  void sync() { replay_.sync(writer_.log()); }
  // Replays the log, asking `stop()` after each entry whether to stop early
  // (a read of a long log can take minutes); true when everything has been
  // replayed. What has been replayed stays replayed: a later read goes on
  // from there.
  template <class Stop>
  bool sync(Stop&& stop) {
    return replay_.sync(writer_.log(), stop);
  }
  // Bytes of log waiting to be replayed.
  std::size_t pending() const { return writer_.log().bytes() - replay_.replayed_bytes(); }

  // The relation as the rules recorded it (see causal_recorded.hpp).
  RecordedRelation recorded() const { return read_recorded_relation(writer_.log()); }
  // The log, for checkpoints.
  const CausalLog& log() const { return writer_.log(); }

  // What the log determines, read in one pass without propagating: what a
  // loaded log is checked against.
  struct LogSummary {
    // The vertices a replay leaves with causal data, sorted.
    std::vector<VertexId> linked;
    // What the application an undo may still name created and removed
    // (empty when none can be undone).
    std::vector<VertexId> last_created, last_removed;
    // One more than the largest vertex id the log names (0: none).
    uint64_t id_floor = 0;
  };
  LogSummary summarize() const;

  // The log and the writer's bookkeeping between applications; the
  // propagated state is left out (a loaded graph replays its log when first
  // read). `load` refuses bytes that decode to no log or whose bookkeeping
  // disagrees with the log; `summary` receives the loaded log's summary.
  void save(ByteWriter& out) const;
  static std::optional<CausalGraph> load(ByteReader& in, LogSummary& summary);
  // Bytes the deferred log reserves (for memory reports).
  std::size_t log_capacity_bytes() const { return writer_.log().capacity_bytes(); }

 private:
  CausalWriter writer_;
  CausalReplay replay_;
};

}  // namespace vorn
