// Steps that stop cleanly when memory runs out.
//
// While steps run, the process holds a reserve of address space (mapped but
// never touched, so it costs no memory) and a new-handler that gives the
// reserve back when an allocation fails; the allocation is then retried, so
// the step in progress completes and leaves the store whole. The step
// boundary sees that the reserve was spent, undoes that step (the store
// through its undo record, the counters, the generator's position) and
// reports it. Before the next step the reserve is taken again; when it
// cannot be, the step is not started.
//
// Invariant: the reserve is at least 64 MiB and half the rest of the
// process's address space, more than any one step allocates (the largest
// allocation of a step is one of the store's arrays doubling).
#pragma once

#include <cstdint>

#include "rewrite_engine/rewrite_engine.hpp"

namespace vorn {

struct StepsWithinMemory {
  uint64_t done = 0;           // steps completed and kept
  bool out_of_memory = false;  // the next step ran out of memory and was undone
  bool last_rewrote = false;   // whether the last step kept rewrote
};

// Runs up to `steps` steps of `engine`, stopping at the first that runs out
// of memory, which is undone (after which the engine keeps no undo record
// when that step had replaced the one before).
StepsWithinMemory run_within_memory(RewriteEngine& engine, uint64_t steps);

}  // namespace vorn
