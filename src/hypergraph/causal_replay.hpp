// CausalReplay: the propagated causal relation, built by replaying a
// CausalLog entry by entry with the settings in force when each entry was
// made. It holds the nodes (links and sets per vertex), the snapshot an undo
// of the latest application needs, and the scratch of the breadth-first
// passes, and it remembers how far it has read, so that a later sync goes on
// from there.
//
// Invariants: the state is exactly that of applying every entry before the
// cursor when it was made; a replay is only ever synced against one log
// (the one that grows under it), never against another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hypergraph/causal_log.hpp"
#include "hypergraph/causal_nodes.hpp"
#include "hypergraph/causal_step_snapshot.hpp"
#include "hypergraph/ids.hpp"

namespace vorn {

class CausalReplay {
 public:
  // Replays the rest of `log`.
  void sync(const CausalLog& log) {
    log.read(cursor_, [&](const CausalLog::Entry& e) {
      apply(log, e);
      return true;
    });
  }
  // Replays the rest of `log`, asking `stop()` after each entry whether to
  // stop early; true when everything has been replayed.
  template <class Stop>
  bool sync(const CausalLog& log, Stop&& stop) {
    return log.read(cursor_, [&](const CausalLog::Entry& e) {
      apply(log, e);
      return !stop();
    });
  }
  // Bytes of log replayed so far.
  std::size_t replayed_bytes() const { return cursor_.bytes; }

  // The state as replayed so far; null when absent.
  const CausalLinks* links(VertexId v) const {
    const CausalNode* n = nodes_.find(v);
    return n != nullptr && n->has_links ? &n->links : nullptr;
  }
  const FixedBitSet* past(VertexId v) const {
    const CausalNode* n = nodes_.find(v);
    return n != nullptr && n->has_past ? &n->past : nullptr;
  }
  const FixedBitSet* future(VertexId v) const {
    const CausalNode* n = nodes_.find(v);
    return n != nullptr && n->has_future ? &n->future : nullptr;
  }

 private:
  void apply(const CausalLog& log, const CausalLog::Entry& e);
  // The operations of the log's entries.
  void create(VertexId id, uint64_t capacity);
  void relate(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity);
  void remove(VertexId v);
  void drop(VertexId v);
  void restore_snapshot();
  // Adds `source` to the future sets (backward) or past sets (forward) of
  // the vertices reached from `start` within the horizon.
  void pass(CausalNode& start, uint64_t start_depth, uint64_t limit, uint64_t n, uint64_t t,
            const FixedBitSet& source, bool backward);

  CausalLog::Cursor cursor_;  // how far the log has been replayed
  CausalNodes nodes_;
  CausalStepSnapshot snapshot_;
  // Scratch for the breadth-first passes, kept to avoid per-call allocation.
  uint32_t stamp_ = 0;
  std::vector<uint32_t> queue_;
};

}  // namespace vorn
