// The store's pool of incidence-list blocks: lists built on it keep their
// entries, blocks handed back are reused, blocks in use never overlap, and a
// moved pool keeps its blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "hypergraph/list_blocks.hpp"
#include "hypergraph/slot_storage.hpp"

using namespace vorn;

TEST(ListBlocks, BlocksHandedBackAreReusedAndDistinctBlocksDoNotOverlap) {
  ListBlocks blocks;
  std::vector<SlotList<4>> lists(1024);  // several chunks a round
  std::size_t first_round = 0;
  for (uint32_t round = 0; round < 3; ++round) {
    for (uint32_t k = 0; k < lists.size(); ++k) {
      for (uint32_t i = 0; i < 5 + k % 40; ++i) lists[k].push_back(k * 1000 + i, blocks);
    }
    // Every list still reads back its own entries: no block was handed out twice.
    for (uint32_t k = 0; k < lists.size(); ++k) {
      ASSERT_EQ(lists[k].size(), 5 + k % 40);
      for (uint32_t i = 0; i < lists[k].size(); ++i) ASSERT_EQ(lists[k][i], k * 1000 + i);
    }
    // The same lists again take the blocks the last round handed back, nothing more.
    if (round == 0) first_round = blocks.bytes();
    EXPECT_EQ(blocks.bytes(), first_round);
    for (auto& list : lists) list.reset(blocks);
  }
}

TEST(ListBlocks, BlocksOfEverySizeStayDistinctAndSurviveAMoveOfThePool) {
  ListBlocks blocks;
  // Sizes from the smallest class to ones past a chunk's share, which get
  // chunks of their own; each block filled with its own mark.
  std::vector<std::pair<uint32_t*, uint32_t>> taken;
  for (uint32_t round = 0; round < 4; ++round) {
    for (uint32_t entries = 8; entries <= (uint32_t{1} << 14); entries *= 2) {
      uint32_t* block = blocks.take(entries);
      for (uint32_t i = 0; i < entries; ++i) block[i] = entries * 16 + round;
      taken.emplace_back(block, entries);
    }
  }
  ListBlocks moved(std::move(blocks));
  EXPECT_EQ(blocks.bytes(), 0u);
  for (std::size_t k = 0; k < taken.size(); ++k) {
    const auto [block, entries] = taken[k];
    for (uint32_t i = 0; i < entries; ++i) ASSERT_EQ(block[i], entries * 16 + k / 12) << "block " << k;
  }
  // A block handed back to the moved pool is the next one of its size.
  moved.give(taken[3].first, taken[3].second);
  EXPECT_EQ(moved.take(taken[3].second), taken[3].first);
}
