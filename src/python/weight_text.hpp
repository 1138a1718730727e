// A rule weight as the error messages show it: the shortest decimal that
// reads back to the same double, written positionally (no exponent), or
// "NaN", "inf", "-inf". Pure C++, so the C++ tests cover it.
#pragma once

#include <string>

namespace vorn::python {

std::string format_weight(double weight);

}  // namespace vorn::python
