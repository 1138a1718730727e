// CausalStepSnapshot: what an undo of one rule application restores on the
// propagated causal state, taken while the application's entries are
// replayed: the vertices it created, the links of the vertices it removed,
// and the sets and lists of every vertex around a removed one as they were
// before the application.
//
// Invariants: for each vertex the first copy taken during the application is
// kept (later ones would hold the application's own changes); nothing is
// held while `active` is false.
#pragma once

#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "hypergraph/causal_nodes.hpp"

namespace vorn {

struct CausalStepSnapshot {
  bool active = false;     // holds what an undo of the application restores
  bool recording = false;  // the entries being replayed belong to the application
  std::vector<VertexId> created;
  std::vector<std::pair<VertexId, CausalLinks>> removed;
  absl::flat_hash_map<VertexId, FixedBitSet> future, past;
  absl::flat_hash_map<VertexId, CausalList> causes, effects;

  // Empties the snapshot; `keep` says whether the application now starting
  // is to be recorded.
  void reset(bool keep) {
    active = keep;
    recording = keep;
    created.clear();
    removed.clear();
    future.clear();
    past.clear();
    causes.clear();
    effects.clear();
  }

  // Copies n's causal data, unless a copy of it was taken before.
  void save(const CausalNode& n) {
    if (n.has_future) future.try_emplace(n.id, n.future);
    if (n.has_past) past.try_emplace(n.id, n.past);
    if (n.has_links) {
      causes.try_emplace(n.id, n.links.causes);
      effects.try_emplace(n.id, n.links.effects);
    }
  }
};

}  // namespace vorn
