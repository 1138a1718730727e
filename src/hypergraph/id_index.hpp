// IdIndex: from vertex id to slot, for the ids a store holds, as two arrays
// sorted by id (12 bytes an entry).
//
// New vertices take the largest id the process has handed out, so their
// entries are appended at the end; a removal leaves a tombstone, found in
// O(1) through the entry's position, which its holder keeps; tombstones are
// compacted away once they outnumber the live entries. A lookup by id is a
// binary search. Ids that arrive out of order (an undo putting back a vertex
// whose tombstone was compacted, a hyperedge naming an id that is no vertex)
// are inserted in place, at a cost linear in the entries after them.
//
// Positions change when entries are inserted in place or compacted; the index
// reports every such move to the caller.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "hypergraph/assert.hpp"
#include "hypergraph/ids.hpp"

namespace vorn {

class IdIndex {
 public:
  // Enters id -> slot (reviving a tombstone of the same id) and returns the
  // entry's position; moved(slot, position) is called for every other entry
  // whose position changes.
  template <class Moved>
  uint32_t insert(VertexId id, Slot slot, Moved&& moved) {
    // The common case, a new vertex's id, appends.
    if (!all_below(id)) return insert_in_place(id, slot, moved);
    // (emplace_back, not push_back: an instantiation of its own, which the
    // link-time optimiser inlines into the step whatever other code does
    // with push_back; about 20 instructions a step.)
    ids_.emplace_back(id);
    slots_.emplace_back(slot);
    return static_cast<uint32_t>(ids_.size() - 1);
  }
  // The slot of id, or kNoSlot.
  Slot find(VertexId id) const {
    const auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
    return it == ids_.end() || *it != id ? kNoSlot : slots_[it - ids_.begin()];
  }
  // Leaves a tombstone at `position`, which holds a live entry; may compact
  // (reporting moves).
  template <class Moved>
  void erase(uint32_t position, Moved&& moved);
  std::size_t size() const { return ids_.size() - dead_; }
  // Whether every id in the index is below `id` (so that it is absent).
  bool all_below(VertexId id) const { return ids_.empty() || ids_.back() < id; }
  // The slot at a position (kNoSlot for a tombstone or a position past the end).
  Slot slot_at(uint32_t position) const { return position < slots_.size() ? slots_[position] : kNoSlot; }
  std::size_t reserved_bytes() const {
    return ids_.capacity() * sizeof(uint64_t) + slots_.capacity() * sizeof(uint32_t);
  }

 private:
  template <class Moved>
  [[gnu::noinline]] uint32_t insert_in_place(VertexId id, Slot slot, Moved& moved);

  std::vector<VertexId> ids_;
  std::vector<Slot> slots_;  // kNoSlot: tombstone
  std::size_t dead_ = 0;
};

template <class Moved>
uint32_t IdIndex::insert_in_place(VertexId id, Slot slot, Moved& moved) {
  const auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
  const auto position = static_cast<uint32_t>(it - ids_.begin());
  if (*it == id) {
    if (slots_[position] == kNoSlot) --dead_;
    slots_[position] = slot;
    return position;
  }
  ids_.insert(it, id);
  slots_.insert(slots_.begin() + position, slot);
  for (std::size_t i = position + 1; i < ids_.size(); ++i) {
    if (slots_[i] != kNoSlot) moved(slots_[i], static_cast<uint32_t>(i));
  }
  return position;
}

template <class Moved>
void IdIndex::erase(uint32_t position, Moved&& moved) {
  VORN_ASSERT(position < slots_.size() && slots_[position] != kNoSlot);
  slots_[position] = kNoSlot;
  ++dead_;
  if (dead_ < 1024 || dead_ * 2 < ids_.size()) return;
  std::size_t out = 0;
  for (std::size_t i = 0; i < ids_.size(); ++i) {
    if (slots_[i] == kNoSlot) continue;
    ids_[out] = ids_[i];
    slots_[out] = slots_[i];
    if (out != i) moved(slots_[out], static_cast<uint32_t>(out));
    ++out;
  }
  ids_.resize(out);
  slots_.resize(out);
  dead_ = 0;
}

}  // namespace vorn
