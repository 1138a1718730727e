// Mentions: a gtest assertion that a message, or one of several lines,
// contains a given part (the loader and the store's check name what they
// find in words).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn::test {

// Whether `text`, or one of `lines`, contains `part`.
inline ::testing::AssertionResult Mentions(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" does not mention \"" << part << "\"";
}
inline ::testing::AssertionResult Mentions(const std::vector<std::string>& lines, const std::string& part) {
  std::string all;
  for (const std::string& line : lines) {
    if (line.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    all += line + "; ";
  }
  return ::testing::AssertionFailure() << "\"" << all << "\" does not mention \"" << part << "\"";
}

}  // namespace vorn::test
