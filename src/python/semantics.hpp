// The names set_semantics accepts. Python compares them as
// `text.upper() == "DPO"`, which uses the full Unicode upper-case mapping
// (so "ſpo", with a long s, is "SPO"); this reproduces that comparison on
// the UTF-8 bytes of the argument. Pure C++, so the C++ tests cover it.
#pragma once

#include <optional>
#include <string_view>

#include "rewrite_engine/rewrite_engine.hpp"

namespace vorn::python {

// Whether `text` upper-cases (full Unicode mapping) to exactly `upper`, an
// ASCII upper-case word. Invalid UTF-8 never matches.
bool upper_equals(std::string_view text, std::string_view upper);

// The semantics a name selects, or nothing for an unknown name.
std::optional<Semantics> semantics_named(std::string_view text);

// "DPO" or "SPO".
const char* semantics_name(Semantics semantics);

}  // namespace vorn::python
