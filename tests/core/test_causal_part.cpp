// The causal picture's selection over a relation put together by hand: ids
// far apart (looked up by hash), pairs naming unlisted vertices, a second
// part filled in newest first, and cancellation.
#include <gtest/gtest.h>

#include <vector>

#include "analysis/causal_part.hpp"

using namespace vorn;
using namespace vorn::analysis;

namespace {

// Vertices 10, 20, ..., 70 times `scale`, in that order of appearance, with
// the pairs 10->20, 30->20, 20->70 and, apart from those, 40->50; 60 is alone.
RecordedRelation relation(uint64_t scale) {
  RecordedRelation r;
  for (uint64_t v = 10; v <= 70; v += 10) r.depths.emplace_back(v * scale, v / 10);
  const auto pair = [&](uint64_t a, uint64_t b) { r.pairs.emplace_back(a * scale, b * scale); };
  pair(10, 20);
  pair(30, 20);
  pair(999, 70);  // names a vertex that is not listed: left out
  pair(20, 70);
  pair(40, 50);
  return r;
}

}  // namespace

TEST(CausalPart, WalksFromTheNewestThenFillsWithTheNewestOthers) {
  for (const uint64_t scale : {uint64_t{1}, uint64_t{1} << 40}) {  // a table, then a hash map
    const RecordedRelation r = relation(scale);
    CausalPart part;
    // From 70: its cause 20, then 20's causes 10 and 30.
    ASSERT_EQ(causal_part(r.depths, r.pairs, 4, part), Outcome::done);
    EXPECT_EQ(part.shown, (std::vector<uint32_t>{0, 1, 2, 6}));
    using P = std::pair<uint32_t, uint32_t>;
    EXPECT_EQ(part.pairs, (std::vector<P>{{0, 1}, {2, 1}, {1, 3}}));
    // Past 70's part: 60, then 50, the newest of the rest.
    ASSERT_EQ(causal_part(r.depths, r.pairs, 6, part), Outcome::done);
    EXPECT_EQ(part.shown, (std::vector<uint32_t>{0, 1, 2, 4, 5, 6}));
    EXPECT_EQ(part.pairs.size(), 3u);  // 40->50 has only one end shown
    ASSERT_EQ(causal_part(r.depths, r.pairs, 100, part), Outcome::done);
    EXPECT_EQ(part.shown.size(), 7u);
    EXPECT_EQ(part.pairs.size(), 4u);
  }
}

TEST(CausalPart, AStopHookCancelsAndLeavesNothing) {
  RecordedRelation r;
  for (uint64_t v = 1; v <= 300000; ++v) {
    r.depths.emplace_back(v, 1);
    if (v > 1) r.pairs.emplace_back(v - 1, v);
  }
  CausalPart part;
  const StopHook stop = [] { return true; };
  EXPECT_EQ(causal_part(r.depths, r.pairs, 1000, part, stop), Outcome::cancelled);
  EXPECT_TRUE(part.shown.empty());
  EXPECT_TRUE(part.pairs.empty());
  ASSERT_EQ(causal_part(r.depths, r.pairs, 3, part), Outcome::done);
  EXPECT_EQ(part.shown, (std::vector<uint32_t>{299997, 299998, 299999}));
}
