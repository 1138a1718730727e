// The store's containers against plain models: incidence lists across the
// inline/heap boundary and the id index through removals, re-entries and
// compaction.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "hypergraph/id_index.hpp"
#include "hypergraph/slot_storage.hpp"

using namespace vorn;

TEST(SlotList, FollowsAVectorThroughGrowthErasureAndReset) {
  std::mt19937_64 rng(5);
  ListBlocks blocks;
  for (int round = 0; round < 200; ++round) {
    SlotList<4> list;
    std::vector<uint32_t> model;
    for (int op = 0; op < 300; ++op) {
      const unsigned kind = rng() % 10;
      if (kind < 6) {
        const auto v = static_cast<uint32_t>(rng() % 8);
        list.push_back(v, blocks);
        model.push_back(v);
      } else if (kind < 8) {
        const auto v = static_cast<uint32_t>(rng() % 8);
        list.erase_one(v);
        if (const auto it = std::find(model.begin(), model.end(), v); it != model.end()) model.erase(it);
      } else if (kind < 9) {
        const auto v = static_cast<uint32_t>(rng() % 8);
        list.erase_all(v);
        std::erase(model, v);
      } else if (rng() % 8 == 0) {
        list.reset(blocks);
        model.clear();
      }
      ASSERT_EQ(std::vector<uint32_t>(list.begin(), list.end()), model) << "round " << round << " op " << op;
    }
    // A moved list keeps its entries and leaves an empty one behind.
    SlotList<4> moved(std::move(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(std::vector<uint32_t>(moved.begin(), moved.end()), model);
  }
}

TEST(SlotList, GrowsAgainAfterShrinkingOnTheHeap) {
  // A list that shrank from 17 to 15 entries on the heap and grows again
  // must grow its block when full, and only then.
  ListBlocks blocks;
  SlotList<4> list;
  std::vector<uint32_t> model;
  for (uint32_t i = 0; i < 17; ++i) {
    list.push_back(i, blocks);
    model.push_back(i);
  }
  list.erase_one(3);
  list.erase_one(9);
  std::erase(model, 3u);
  std::erase(model, 9u);
  for (uint32_t i = 100; i < 140; ++i) {
    list.push_back(i, blocks);
    model.push_back(i);
  }
  EXPECT_EQ(std::vector<uint32_t>(list.begin(), list.end()), model);
  EXPECT_GE(list.heap_bytes(), model.size() * sizeof(uint32_t));
}

TEST(SlotStack, KeepsItsEntriesWhenItsBlockIsRemapped) {
  // Past a few hundred KiB the stack's block is remapped, not copied.
  SlotStack stack;
  for (uint32_t i = 0; i < 3'000'000; ++i) stack.push_back(i * 7);
  ASSERT_EQ(stack.size(), 3'000'000u);
  for (uint32_t i = 0; i < 3'000'000; i += 9973) ASSERT_EQ(stack[i], i * 7);
  SlotStack other(std::move(stack));
  EXPECT_TRUE(stack.empty());
  EXPECT_EQ(other.back(), 2'999'999u * 7);
}

namespace {

// The index's holder: which id each slot holds, if any.
struct Holder {
  std::vector<VertexId> id;
  std::vector<bool> used;
  bool holds(VertexId v, Slot s) const { return s < id.size() && used[s] && id[s] == v; }
  Slot find(const IdIndex& index, VertexId v) const {
    const Slot s = index.candidate(v);
    return holds(v, s) ? s : kNoSlot;
  }
};

}  // namespace

TEST(IdIndex, FindsEveryHeldIdThroughRemovalsReentriesAndCompaction) {
  std::mt19937_64 rng(11);
  IdIndex index;
  Holder holder;
  std::map<VertexId, Slot> model;
  std::vector<Slot> free_slots;
  std::vector<VertexId> removed;
  VertexId next = 1;
  std::size_t compactions = 0;
  for (int op = 0; op < 60000; ++op) {
    const unsigned kind = rng() % 10;
    if (kind < 5 || model.empty()) {
      // A new id (the largest yet, sometimes after a gap) in a reused or new slot.
      next += rng() % 4 == 0 ? 1 + rng() % 5 : 1;
      Slot s;
      if (!free_slots.empty() && rng() % 2 == 0) {
        s = free_slots.back();
        free_slots.pop_back();
      } else {
        s = static_cast<Slot>(holder.id.size());
        holder.id.push_back(0);
        holder.used.push_back(false);
      }
      holder.id[s] = next;
      holder.used[s] = true;
      index.insert(next, s);
      model[next] = s;
    } else if (kind < 8) {
      // An id leaves; its slot becomes free.
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      holder.used[it->second] = false;
      free_slots.push_back(it->second);
      removed.push_back(it->first);
      model.erase(it);
      if (index.erased()) {
        index.compact([&](VertexId v, Slot s) { return holder.holds(v, s); });
        ++compactions;
      }
    } else if (!removed.empty()) {
      // A removed id comes back (an undo), into some free or new slot.
      const std::size_t k = rng() % removed.size();
      const VertexId v = removed[k];
      removed.erase(removed.begin() + static_cast<long>(k));
      Slot s;
      if (!free_slots.empty()) {
        s = free_slots.front();
        free_slots.erase(free_slots.begin());
      } else {
        s = static_cast<Slot>(holder.id.size());
        holder.id.push_back(0);
        holder.used.push_back(false);
      }
      holder.id[s] = v;
      holder.used[s] = true;
      index.insert(v, s);
      model[v] = s;
    }
    if (op % 997 == 0) {
      for (const auto& [v, s] : model) ASSERT_EQ(holder.find(index, v), s) << "id " << v << " at op " << op;
      for (const VertexId v : removed) ASSERT_EQ(holder.find(index, v), kNoSlot) << "removed id " << v;
    }
  }
  for (const auto& [v, s] : model) ASSERT_EQ(holder.find(index, v), s);
  EXPECT_GT(compactions, 0u);
  // A rebuild from the held pairs finds the same.
  IdIndex rebuilt;
  std::vector<std::pair<VertexId, Slot>> pairs(model.begin(), model.end());
  std::shuffle(pairs.begin(), pairs.end(), rng);
  rebuilt.rebuild(pairs);
  for (const auto& [v, s] : model) ASSERT_EQ(holder.find(rebuilt, v), s);
  // And one from pairs handed over in turn, out of order and in order.
  for (const bool sorted : {false, true}) {
    if (sorted) std::sort(pairs.begin(), pairs.end());
    IdIndex streamed;
    streamed.rebuild_from([&](auto&& f) {
      for (const auto& [v, s] : pairs) f(v, s);
    });
    for (const auto& [v, s] : model) ASSERT_EQ(holder.find(streamed, v), s) << "sorted " << sorted;
    for (const VertexId v : removed) ASSERT_EQ(holder.find(streamed, v), kNoSlot);
  }
}

TEST(IdIndex, IdsCreatedInOrderTakeOneRun) {
  IdIndex index;
  for (Slot s = 0; s < 100000; ++s) index.insert(1000 + s, s);
  EXPECT_EQ(index.runs(), 1u);
  EXPECT_EQ(index.candidate(1000 + 4242), 4242u);
  EXPECT_EQ(index.candidate(999), kNoSlot);
  EXPECT_EQ(index.candidate(1000 + 100000), kNoSlot);
}
