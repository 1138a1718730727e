// IdIndex: from vertex id to slot, as runs sorted by id. A run maps `count`
// consecutive ids from `first_id` to as many consecutive slots from
// `first_slot`: a store that creates vertices in order (new ids are always
// the largest, and new slots come in order while none is freed) keeps its
// whole index in one run, instead of 12 bytes a vertex.
//
// The index names a candidate slot; the holder confirms it (the slot is in
// use under that id). Removing an id changes nothing here: its entry goes
// stale and a lookup of it fails the holder's check. Stale ids are compacted
// away once they make up half of the ids covered. An id entered again while
// a stale run covers it (an undo putting back a removed vertex) splits that
// run, at a cost linear in the runs after it.
//
// Invariants: runs are sorted by first id and cover disjoint id ranges; no
// run is empty; every id the holder has in use is covered by a run naming
// its slot.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "hypergraph/ids.hpp"

namespace vorn {

class IdIndex {
 public:
  struct Run {
    VertexId first_id;
    Slot first_slot;
    uint32_t count;
  };

  // Enters id -> slot (replacing what a stale run said of id).
  void insert(VertexId id, Slot slot) {
    covered_ += 1;
    if (!runs_.empty()) {
      Run& last = runs_.back();
      // The common case, a new vertex's id: it extends the last run or starts one.
      if (id >= last.first_id + last.count) {
        if (id == last.first_id + last.count && slot == last.first_slot + last.count &&
            last.count != UINT32_MAX) {
          ++last.count;
          return;
        }
        runs_.push_back({id, slot, 1});
        return;
      }
      insert_in_place(id, slot);
      return;
    }
    runs_.push_back({id, slot, 1});
  }
  // The slot the index names for id, or kNoSlot; the caller confirms it.
  Slot candidate(VertexId id) const {
    const auto it = std::upper_bound(runs_.begin(), runs_.end(), id,
                                     [](VertexId v, const Run& r) { return v < r.first_id; });
    if (it == runs_.begin()) return kNoSlot;
    const Run& r = *(it - 1);
    return id - r.first_id < r.count ? r.first_slot + static_cast<Slot>(id - r.first_id) : kNoSlot;
  }
  // Notes that an id left the holder; true when stale ids are now worth
  // compacting away (compact).
  bool erased() {
    ++stale_;
    return stale_ >= 1024 && stale_ * 2 >= covered_;
  }
  // Keeps only the ids for which holds(id, slot), in runs as long as they go.
  template <class Holds>
  void compact(Holds&& holds) {
    std::vector<Run> kept;
    uint64_t covered = 0;
    for (const Run& r : runs_) {
      for (uint32_t i = 0; i < r.count; ++i) {
        const VertexId id = r.first_id + i;
        const Slot slot = r.first_slot + i;
        if (!holds(id, slot)) continue;
        append(kept, id, slot);
        ++covered;
      }
    }
    runs_ = std::move(kept);
    covered_ = covered;
    stale_ = 0;
  }
  // Builds the index from (id, slot) pairs with distinct ids, in any order.
  void rebuild(std::vector<std::pair<VertexId, Slot>> pairs) {
    std::sort(pairs.begin(), pairs.end());
    runs_.clear();
    for (const auto& [id, slot] : pairs) append(runs_, id, slot);
    covered_ = pairs.size();
    stale_ = 0;
  }
  // The same from for_each(f), which calls f(id, slot) for every pair: runs
  // straight from the pairs while their ids ascend (a store's slots in the
  // order its vertices came), so a loaded store needs no array of all its
  // pairs; pairs out of order are gathered and sorted, as above.
  template <class ForEach>
  void rebuild_from(ForEach&& for_each) {
    runs_.clear();
    bool ascending = true;
    uint64_t count = 0;
    for_each([&](VertexId id, Slot slot) {
      ascending = ascending && (runs_.empty() || runs_.back().first_id + runs_.back().count - 1 < id);
      if (ascending) append(runs_, id, slot);
      ++count;
    });
    if (!ascending) {
      std::vector<std::pair<VertexId, Slot>> pairs;
      pairs.reserve(count);
      for_each([&](VertexId id, Slot slot) { pairs.emplace_back(id, slot); });
      rebuild(std::move(pairs));
      return;
    }
    runs_.shrink_to_fit();
    covered_ = count;
    stale_ = 0;
  }
  // Whether every id in the index is below `id` (so that it is absent).
  bool all_below(VertexId id) const {
    return runs_.empty() || runs_.back().first_id + runs_.back().count - 1 < id;
  }
  std::size_t runs() const { return runs_.size(); }
  std::size_t reserved_bytes() const { return runs_.capacity() * sizeof(Run); }

 private:
  static void append(std::vector<Run>& runs, VertexId id, Slot slot) {
    if (!runs.empty()) {
      Run& last = runs.back();
      if (id == last.first_id + last.count && slot == last.first_slot + last.count &&
          last.count != UINT32_MAX) {
        ++last.count;
        return;
      }
    }
    runs.push_back({id, slot, 1});
  }
  // An id below the largest held: a run of its own, splitting a run that
  // covers it.
  [[gnu::noinline]] void insert_in_place(VertexId id, Slot slot) {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), id,
                               [](VertexId v, const Run& r) { return v < r.first_id; });
    if (it != runs_.begin() && id - (it - 1)->first_id < (it - 1)->count) {
      --it;
      const Run r = *it;
      const auto before = static_cast<uint32_t>(id - r.first_id);
      const uint32_t after = r.count - before - 1;
      --covered_;  // the id was covered already
      if (before == 0 && after == 0) {
        it->first_slot = slot;
        return;
      }
      std::vector<Run> pieces;
      if (before > 0) pieces.push_back({r.first_id, r.first_slot, before});
      pieces.push_back({id, slot, 1});
      if (after > 0) pieces.push_back({id + 1, r.first_slot + before + 1, after});
      *it = pieces.back();
      pieces.pop_back();
      runs_.insert(it, pieces.begin(), pieces.end());
      return;
    }
    runs_.insert(it, Run{id, slot, 1});
  }

  std::vector<Run> runs_;
  uint64_t covered_ = 0;  // ids covered by runs, stale ones included
  uint64_t stale_ = 0;    // ids erased since the last compaction (an upper bound of the stale ones)
};

}  // namespace vorn
