#include "python/weight_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace vorn::python {

std::string format_weight(double weight) {
  if (std::isnan(weight)) return "NaN";
  if (std::isinf(weight)) return weight > 0 ? "inf" : "-inf";
  // The shortest round-trip digits come from the scientific form; fixed
  // notation would pick the fewest characters instead, which for large
  // magnitudes are the exact binary expansion (1e23 -> 99999999999999991611392).
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof(buffer), std::fabs(weight), std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
  // digits = d0 d1 d2 ..., value = d0.d1d2... x 10^exponent.
  std::string out = std::signbit(weight) ? "-" : "";
  const long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

}  // namespace vorn::python
