// VORN_ASSERT: checked builds stop at a broken precondition; release builds
// never evaluate the condition.
#include <gtest/gtest.h>

#include "grammar/flat_lists.hpp"
#include "hypergraph/assert.hpp"
#include "hypergraph/fixed_bit_set.hpp"

namespace vorn {
namespace {

#ifdef VORN_CHECKED

TEST(AssertDeathTest, BrokenPreconditionsStopWithTheirCondition) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FixedBitSet set = FixedBitSet::with_capacity(10);
  EXPECT_DEATH(set.insert(10), "vorn assertion failed: i < length_");
  const FlatLists lists = FlatLists::of(std::vector<std::vector<int>>{{1, 2}});
  EXPECT_DEATH(static_cast<void>(lists[1]), "vorn assertion failed: i < size\\(\\)");
  // A met precondition passes.
  set.insert(9);
  EXPECT_TRUE(set.contains(9));
}

#else

TEST(Assert, ReleaseBuildsNeverEvaluateTheCondition) {
  int evaluated = 0;
  VORN_ASSERT(++evaluated > 100);
  EXPECT_EQ(evaluated, 0);
}

#endif

}  // namespace
}  // namespace vorn
