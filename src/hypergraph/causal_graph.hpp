// CausalGraph: the causal relation between vertices. Per vertex it keeps a
// depth, the direct causes and effects, and a causal past and future set
// (each holding the vertex itself); a recorded relation propagates through
// the relations already known, within the causal horizon.
//
// Writes cost O(1) and never read the causal state: they are appended to a
// compact log (CausalLog) that is replayed, in order and with the settings in
// force when each entry was made, when something reads the causal state. The
// result is exactly that of propagating every write when it is made. The
// specified relation is quadratic in size for growth-like rules, so it can
// only be afforded when somebody asks for it: a run that never reads it never
// pays for it, and a deletion or an undo is just another entry.
//
// Why a log and not a persistent state: a rewrite step, its deletions and
// its undo must cost what the step touches, while a deletion's effect on the
// sets (clearing its bit around it, and the snapshot an undo needs) depends on
// the whole reachable past. A log entry defers exactly that, in a few bytes.
//
// Rule applications bracket their writes with begin_step/end_step. When a
// step that may still be undone is replayed, the replay keeps what an undo of
// it restores (the causal data of the vertices around each deleted vertex as
// it was before the step, and the links of the deleted vertices), so that
// undo_step costs O(1) even after a read has propagated everything.
//
// Invariants: after `sync()` the whole log has been replayed. A vertex has links and sets
// while it is a live vertex of the store (or restored by an undo); ids without
// links count as depth 1 and are skipped where links or sets are needed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "hypergraph/byte_stream.hpp"
#include "hypergraph/causal_list.hpp"
#include "hypergraph/causal_log.hpp"
#include "hypergraph/fixed_bit_set.hpp"
#include "hypergraph/ids.hpp"

namespace vorn {


struct CausalLinks {
  uint64_t depth = 1;
  CausalList causes;
  CausalList effects;
};

class CausalGraph {
 public:
  // --- Writes: constant time, appended to the log ---------------------------
  // A new vertex: depth 1, no links, both sets of length
  // causal_set_length(capacity, id + 1), with the own bit set.
  void add_vertex(VertexId id, uint64_t capacity);
  // Records a as a direct cause of b. `both_live` says that a and b are live
  // vertices of the store; such a relation that was recorded before (and not
  // undone since) is known to be in force and changes nothing, so it is not
  // logged again.
  void add_relation(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity, bool both_live);
  // Clears v's bit from the future sets of its past and the past sets of its
  // future, then drops v's links and sets.
  void remove_vertex(VertexId v);
  // Drops v's links and sets and nothing else (other vertices keep their
  // references to v).
  void drop_vertex(VertexId v);

  // --- Rule applications and their undo ---------------------------------------
  // The writes between begin_step and end_step form one application.
  void begin_step();
  void end_step();
  // Identifies the causal side of the application last ended; 0 when it
  // wrote nothing.
  uint64_t step_token() const { return token_; }
  // The token an undo may still name; 0 when none.
  uint64_t undoable_step() const { return undoable_; }
  // Undoes the causal side of the application with this token, which must be
  // the latest one: created vertices lose their links and sets, deleted ones
  // get their links back, and the data saved around each deleted vertex is put
  // back. Any other token does nothing.
  void undo_step(uint64_t token);

  // --- Reads, each after bringing the state up to date ------------------------
  // Null when absent. A returned pointer stays valid until the next call of
  // any non-const member or of any read (a replay may rehash the maps).
  const CausalLinks* links(VertexId v) const;
  const FixedBitSet* past(VertexId v) const;
  const FixedBitSet* future(VertexId v) const;

  // Replays the log. Logically const: it changes no result of any read.
  void sync() const;
  // Replays the log, asking `stop()` after each entry whether to stop early
  // (a read of a long log can take minutes); true when everything has been
  // replayed. What has been replayed stays replayed: a later read goes on
  // from there.
  template <class Stop>
  bool sync(Stop&& stop) const;
  // Bytes of log waiting to be replayed.
  std::size_t pending() const { return log_.bytes() - replayed_.bytes; }

  // The relation as the rules recorded it, read from the log in one pass
  // (no propagation): every cause-effect pair recorded, once each in the
  // order first recorded, without the pairs and vertices of undone steps;
  // and for every vertex created (or named by a pair), its depth along these
  // pairs: 1 at creation, raised to one more than the cause's depth when a
  // pair is first recorded. The propagated lists (links()) hold a subset of these
  // pairs: a pair that was already implied through others when it was
  // recorded changes neither lists nor depths there.
  struct Recorded {
    std::vector<std::pair<VertexId, VertexId>> pairs;
    std::vector<std::pair<VertexId, uint64_t>> depths;  // in order of first appearance
  };
  Recorded recorded() const;
  // The log, for checkpoints.
  const CausalLog& log() const { return log_; }

  // What the log determines, read in one pass without propagating: what a
  // loaded log is checked against.
  struct LogSummary {
    // The vertices a replay leaves with causal data, sorted.
    std::vector<VertexId> linked;
    // What the step an undo may still name created and removed (empty when
    // no step can be undone).
    std::vector<VertexId> last_created, last_removed;
    // One more than the largest vertex id the log names (0: none).
    uint64_t id_floor = 0;
  };
  LogSummary summarize() const;

  // The log and the writer's bookkeeping between steps; the replayed state
  // is left out (a loaded graph replays its log when first read). `load`
  // refuses bytes that decode to no log or whose bookkeeping disagrees with
  // the log; `summary` receives the loaded log's summary.
  void save(ByteWriter& out) const;
  static std::optional<CausalGraph> load(ByteReader& in, LogSummary& summary);
  // Bytes the deferred log reserves (for memory reports).
  std::size_t log_capacity_bytes() const { return log_.capacity_bytes(); }

 private:
  // What an undo of the step being replayed restores.
  struct StepSnapshot {
    bool active = false;     // holds what an undo of the step restores
    bool recording = false;  // the entries being replayed belong to the step
    std::vector<VertexId> created;
    std::vector<std::pair<VertexId, CausalLinks>> removed;
    absl::flat_hash_map<VertexId, FixedBitSet> future, past;
    absl::flat_hash_map<VertexId, CausalList> causes, effects;
    void reset(bool keep);
  };

  // Before every write: the step entry of an application that writes, or the
  // end of the last step for a write outside any application.
  void open_step() {
    if (in_step_ ? !step_open_ : tail_open_) open_step_slow();
  }
  void open_step_slow();
  void create(VertexId id, uint64_t capacity) const;
  void relate(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity) const;
  void remove(VertexId v) const;
  void erase(VertexId v) const;
  void save(VertexId u) const;
  void undo_snapshot() const;

  // Writer side.
  void replay(const CausalLog::Entry& e) const;

  mutable CausalLog log_;
  mutable CausalLog::Cursor replayed_;  // how far the log has been replayed
  bool in_step_ = false;     // between begin_step and end_step
  bool step_open_ = false;   // the current application has written its step entry
  bool tail_open_ = false;   // no entry has been written since the last step ended
  uint64_t steps_ = 0;       // step entries written
  uint64_t token_ = 0;       // the last ended application's token
  uint64_t undoable_ = 0;    // the token an undo may still name
  // Relations recorded since the last undo, by a small direct-mapped cache.
  static constexpr std::size_t kKnownSlots = 256;
  std::array<std::pair<VertexId, VertexId>, kKnownSlots> known_{};

  // Replayed state: one node per vertex id that has links or sets, found
  // through one lookup. (Links and sets come and go together, except where
  // an undo puts back the sets of a vertex removed after the step.)
  struct Node {
    VertexId id = 0;
    uint32_t stamp = 0;  // the last breadth-first pass that reached it
    bool has_links = false, has_future = false, has_past = false;
    CausalLinks links;
    FixedBitSet future, past;
  };
  Node* find(VertexId v) const;
  Node& node(VertexId v) const;  // found or made
  void release_if_empty(Node& n) const;
  void set_future(VertexId v, FixedBitSet set) const;
  void set_past(VertexId v, FixedBitSet set) const;
  void pass(Node& start, uint64_t start_depth, uint64_t limit, uint64_t n, uint64_t t,
            const FixedBitSet& source, bool backward) const;

  mutable absl::flat_hash_map<VertexId, uint32_t> index_;
  mutable std::vector<Node> nodes_;
  mutable std::vector<uint32_t> free_;
  mutable StepSnapshot snapshot_;
  // Scratch for the breadth-first passes, kept to avoid per-call allocation.
  mutable uint32_t stamp_ = 0;
  mutable std::vector<uint32_t> queue_;
};

inline void CausalGraph::add_relation(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity,
                                      bool both_live) {
  // (Outside a step, while the last one can still be undone, the pair is
  // recorded all the same: the record of the step it was known from may go.)
  if (both_live && (in_step_ || undoable_ == 0)) {
    // A live vertex's future holds its own bit, and once a relation between
    // live vertices has been replayed the cause's future holds the effect
    // until one of them is removed (it cannot be related again before an undo
    // brings it back, and an undo forgets every known relation). Replaying it
    // again would stop at "already related".
    if (a == b) return;
    // (A pair with a == b is never stored, so {0, 0} marks an empty slot.)
    const std::size_t slot = ((a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full)) >> 56;
    if (known_[slot].first == a && known_[slot].second == b) return;
    known_[slot] = {a, b};
  }
  open_step();
  log_.relate(a, b, horizon, capacity);
}

template <class Stop>
bool CausalGraph::sync(Stop&& stop) const {
  return log_.read(replayed_, [&](const CausalLog::Entry& e) {
    replay(e);
    return !stop();
  });
}

// The smallest power of two not below max(a, b), 1 when that is below 2;
// saturates at 2^64 - 1 where the power of two does not fit.
uint64_t causal_set_length(uint64_t a, uint64_t b);

}  // namespace vorn
