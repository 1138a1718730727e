// CausalWriter: the write side of the causal relation. Every write costs O(1)
// and reads nothing of the causal state: it is appended to the CausalLog.
// Rule applications bracket their writes with begin_step/end_step; the
// writer puts one step entry before an application's first write (an
// application that writes nothing leaves no trace), closes the last
// application with an end entry before a write outside any application, and
// keeps a small cache of relations known to be in force so that a repeated
// relation between live vertices is not logged again.
//
// Invariants: `steps_` is the number of step entries in the log, and an
// application's token is its step entry's number (0: it wrote nothing);
// `undoable_` is 0 or the token of the latest step entry; every pair in the
// cache was recorded between live vertices since the last undo.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "hypergraph/causal_log.hpp"
#include "hypergraph/ids.hpp"

namespace vorn {

class CausalWriter {
 public:
  // A new vertex with the bitset capacity in force.
  void add_vertex(VertexId id, uint64_t capacity);
  // Records a as a direct cause of b. `both_live` says that a and b are live
  // vertices of the store; such a relation that was recorded before (and not
  // undone since) is known to be in force and changes nothing, so it is not
  // logged again.
  void add_relation(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity, bool both_live);
  // A vertex leaves the store: its bit goes from the sets around it, and its
  // links and sets are dropped.
  void remove_vertex(VertexId v);
  // Drops v's links and sets and nothing else (other vertices keep their
  // references to v).
  void drop_vertex(VertexId v);

  // The writes between begin_step and end_step form one application.
  void begin_step();
  void end_step();
  // Identifies the causal side of the application last ended; 0 when it
  // wrote nothing.
  uint64_t step_token() const { return token_; }
  // The token an undo may still name; 0 when none.
  uint64_t undoable_step() const { return undoable_; }
  // Logs the undo of the application with this token, which must be the
  // latest one; any other token does nothing.
  void undo_step(uint64_t token);

  const CausalLog& log() const { return log_; }

  // The bookkeeping between applications, for checkpoints.
  struct Bookkeeping {
    uint64_t steps = 0;      // step entries written
    uint64_t token = 0;      // the last ended application's token
    uint64_t undoable = 0;   // the token an undo may still name
    bool tail_open = false;  // the last application wrote and no end entry followed
  };
  Bookkeeping bookkeeping() const { return {steps_, token_, undoable_, phase_ == tail_open}; }
  // A writer that goes on from `log` with this bookkeeping, outside any
  // application and with an empty cache.
  static CausalWriter resume(CausalLog log, const Bookkeeping& b);

 private:
  // Where the writer stands between entries, as two bits, so that each
  // question a write asks is one test: whether it is inside an application,
  // and whether an entry must precede it.
  enum Phase : uint8_t {
    kInStep = 1,
    kNeedsEntry = 2,
    idle = 0,                                // outside applications; nothing to close
    tail_open = kNeedsEntry,                 // outside; the last one wrote and is not closed
    step_unwritten = kInStep | kNeedsEntry,  // inside one that has not written yet
    step_written = kInStep,                  // inside one that has written its step entry
  };
  // Before every write: the step entry of an application's first write, or
  // the end entry before the first write after an application.
  void open_entry() {
    if ((phase_ & kNeedsEntry) != 0) open_entry_slow();
  }
  void open_entry_slow();

  CausalLog log_;
  uint8_t phase_ = idle;
  uint64_t steps_ = 0;
  uint64_t token_ = 0;
  uint64_t undoable_ = 0;
  // Relations recorded since the last undo, by a small direct-mapped cache.
  static constexpr std::size_t kKnownSlots = 256;
  std::array<std::pair<VertexId, VertexId>, kKnownSlots> known_{};
};

inline void CausalWriter::add_relation(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity,
                                       bool both_live) {
  // (Outside an application, while the last one can still be undone, the
  // pair is recorded all the same: the record of the application it was
  // known from may go.)
  if (both_live && ((phase_ & kInStep) != 0 || undoable_ == 0)) {
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
  open_entry();
  log_.relate(a, b, horizon, capacity);
}

}  // namespace vorn
