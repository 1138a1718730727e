// The binding's pure C++ texts: the comparison by which set_semantics
// accepts a name, and weights as the error messages show them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "python/semantics.hpp"
#include "python/weight_text.hpp"

namespace vorn::python {
namespace {

TEST(Weight, TextIsShortestRoundTripPositional) {
  EXPECT_EQ(format_weight(0.0), "0");
  EXPECT_EQ(format_weight(-0.0), "-0");
  EXPECT_EQ(format_weight(-1.5), "-1.5");
  EXPECT_EQ(format_weight(-3.0), "-3");
  EXPECT_EQ(format_weight(-1e-7), "-0.0000001");
  EXPECT_EQ(format_weight(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(format_weight(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(format_weight(std::nan("")), "NaN");
  EXPECT_EQ(format_weight(1e21), "1000000000000000000000");
  // Large magnitudes: the shortest digits, not the exact binary expansion.
  EXPECT_EQ(format_weight(-1e23), "-100000000000000000000000");
  EXPECT_EQ(format_weight(-std::ldexp(1.0, 70)), "-1180591620717411300000");
  EXPECT_EQ(format_weight(-1e300), "-1" + std::string(300, '0'));
  EXPECT_EQ(format_weight(-std::numeric_limits<double>::max()), "-17976931348623157" + std::string(292, '0'));
  EXPECT_EQ(format_weight(-5e-324), "-0." + std::string(323, '0') + "5");
  EXPECT_EQ(format_weight(-123.456), "-123.456");
}

TEST(Semantics, FullUpperCaseMapping) {
  EXPECT_TRUE(upper_equals("dPo", "DPO"));
  EXPECT_TRUE(upper_equals("\xc5\xbfpo", "SPO"));   // long s
  EXPECT_FALSE(upper_equals("\xc3\x9fpo", "SPO"));  // sharp s is "SS"
  EXPECT_TRUE(upper_equals("\xef\xac\x85", "ST"));  // the st ligature
  EXPECT_FALSE(upper_equals("DP", "DPO"));
  EXPECT_FALSE(upper_equals("DPOO", "DPO"));
  EXPECT_FALSE(upper_equals("\xff", "DPO"));
  EXPECT_FALSE(upper_equals("", "DPO"));
}

}  // namespace
}  // namespace vorn::python
