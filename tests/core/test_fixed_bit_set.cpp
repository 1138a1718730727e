// FixedBitSet against its contract, and against std::set under random use.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "hypergraph/fixed_bit_set.hpp"

using vorn::FixedBitSet;

TEST(FixedBitSet, LengthBoundsBitsAndGrowOnlyLengthens) {
  FixedBitSet s = FixedBitSet::with_capacity(100);
  EXPECT_EQ(s.length(), 100u);
  s.insert(99);
  EXPECT_TRUE(s.contains(99));
  EXPECT_FALSE(s.contains(100));
  EXPECT_FALSE(s.contains(std::numeric_limits<uint64_t>::max()));
  s.grow(50);
  EXPECT_EQ(s.length(), 100u);
  s.grow(5000);
  EXPECT_EQ(s.length(), 5000u);
  s.insert(4999);
  EXPECT_EQ(s.ones(), (std::vector<uint64_t>{99, 4999}));
  s.remove(99);
  s.remove(123456);  // beyond the length: no effect
  EXPECT_EQ(s.ones(), (std::vector<uint64_t>{4999}));
  s.clear();
  EXPECT_TRUE(s.ones().empty());
  EXPECT_EQ(s.length(), 5000u);
}

TEST(FixedBitSet, HugeLengthCostsNothingAndHighBitsWork) {
  const uint64_t top = std::numeric_limits<uint64_t>::max();
  FixedBitSet s = FixedBitSet::with_capacity(top);
  s.insert(top - 1);
  s.insert(3);
  EXPECT_TRUE(s.contains(top - 1));
  EXPECT_TRUE(s.contains(3));
  EXPECT_EQ(s.ones(), (std::vector<uint64_t>{3, top - 1}));
  EXPECT_EQ(s.count(), 2u);
}

TEST(FixedBitSet, CopiesAreIndependent) {
  FixedBitSet a = FixedBitSet::with_capacity(4096);
  for (uint64_t i = 0; i < 4096; i += 7) a.insert(i);
  FixedBitSet b = a;
  b.insert(1);
  b.remove(0);
  EXPECT_TRUE(a.contains(0));
  EXPECT_FALSE(a.contains(1));
  EXPECT_FALSE(b.contains(0));
  EXPECT_TRUE(b.contains(1));
  FixedBitSet c = FixedBitSet::with_capacity(8);
  c = b;
  b.clear();
  EXPECT_TRUE(c.contains(1));
}

TEST(FixedBitSet, UnionGrowsToTheLongerLength) {
  FixedBitSet a = FixedBitSet::with_capacity(16);
  FixedBitSet b = FixedBitSet::with_capacity(2048);
  a.insert(3);
  b.insert(2000);
  a.union_with(b);
  EXPECT_EQ(a.length(), 2048u);
  EXPECT_EQ(a.ones(), (std::vector<uint64_t>{3, 2000}));
  EXPECT_EQ(b.ones(), (std::vector<uint64_t>{2000}));
  // A tall set with nothing low takes in a short one.
  FixedBitSet tall = FixedBitSet::with_capacity(uint64_t{1} << 40);
  tall.insert(uint64_t{1} << 30);
  FixedBitSet low = FixedBitSet::with_capacity(64);
  low.insert(5);
  tall.union_with(low);
  EXPECT_EQ(tall.ones(), (std::vector<uint64_t>{5, uint64_t{1} << 30}));
  low.union_with(tall);
  EXPECT_EQ(low.ones(), tall.ones());
}

// Random inserts, removes, unions and copies on a few sets, checked against
// std::set after every operation; covers sharing and copy-on-write paths.
// Moves take either representation (one inline index, or a tree) and leave
// the source empty.
TEST(FixedBitSet, MovesTakeEitherRepresentation) {
  FixedBitSet single = FixedBitSet::with_capacity(1000);
  single.insert(700);
  FixedBitSet tree = FixedBitSet::with_capacity(1000);
  for (uint64_t i = 1; i < 1000; i *= 3) tree.insert(i);
  const std::vector<uint64_t> tree_ones = tree.ones();

  FixedBitSet a(std::move(single));
  EXPECT_EQ(a.ones(), (std::vector<uint64_t>{700}));
  FixedBitSet b(std::move(tree));
  EXPECT_EQ(b.ones(), tree_ones);
  for (const FixedBitSet* moved : {&single, &tree}) {
    EXPECT_EQ(moved->count(), 0u);
    EXPECT_EQ(moved->length(), 0u);
  }
  // Assignment over a set that holds a tree, and over one with an index.
  a = std::move(b);
  EXPECT_EQ(a.ones(), tree_ones);
  b = FixedBitSet::with_capacity(5);
  b.insert(4);
  a = std::move(b);
  EXPECT_EQ(a.ones(), (std::vector<uint64_t>{4}));
  EXPECT_EQ(a.length(), 5u);
  // A moved-from set is usable again.
  single.grow(8);
  single.insert(7);
  EXPECT_TRUE(single.contains(7));
}

TEST(FixedBitSet, MatchesReferenceUnderRandomOperations) {
  std::mt19937_64 gen(12345);
  constexpr int kSets = 6;
  std::vector<FixedBitSet> sets(kSets, FixedBitSet::with_capacity(1 << 16));
  std::vector<std::set<uint64_t>> model(kSets);
  auto index = [&](uint64_t span) {
    // Mostly clustered ids with a few far ones, like vertex ids.
    return gen() % 8 == 0 ? gen() % (uint64_t{1} << 40) : gen() % span;
  };
  for (int round = 0; round < 20000; ++round) {
    const int i = static_cast<int>(gen() % kSets);
    const int j = static_cast<int>(gen() % kSets);
    switch (gen() % 5) {
      case 0:
      case 1: {
        const uint64_t x = index(3000);
        sets[i].grow(x + 1);
        sets[i].insert(x);
        model[i].insert(x);
        break;
      }
      case 2: {
        const uint64_t x = model[i].empty() || gen() % 2 ? index(3000) : *model[i].begin();
        sets[i].remove(x);
        model[i].erase(x);
        break;
      }
      case 3:
        sets[i].union_with(sets[j]);
        model[i].insert(model[j].begin(), model[j].end());
        break;
      case 4:
        sets[i] = sets[j];
        model[i] = model[j];
        break;
    }
    const auto ones = sets[i].ones();
    ASSERT_EQ(std::vector<uint64_t>(model[i].begin(), model[i].end()), ones) << "round " << round;
    ASSERT_EQ(sets[i].count(), model[i].size());
  }
  for (int i = 0; i < kSets; ++i) {
    for (uint64_t x : model[i]) ASSERT_TRUE(sets[i].contains(x));
  }
}
