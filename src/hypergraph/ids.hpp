// The store's id and slot types, declared once for every layer.
//
// Ids are process-wide 64-bit values handed out by the store's counters and
// never reused; slots are dense 32-bit places of records inside one store.
// kNoSlot is the one "no slot" value: no record ever takes that index.
#pragma once

#include <cstdint>

namespace vorn {

using VertexId = uint64_t;
using EdgeId = uint64_t;
using Slot = uint32_t;      // a vertex record's place in the store
using EdgeSlot = uint32_t;  // a hyperedge record's place in the store
inline constexpr Slot kNoSlot = UINT32_MAX;

}  // namespace vorn
