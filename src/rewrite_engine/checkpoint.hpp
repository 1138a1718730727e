// Checkpoint: everything an engine needs to go on exactly as it would have,
// as bytes, and back: the store record by record (slots, live list and
// incidence in their order, free lists, observables), the rules, settings,
// counters, the generator's state, the last undo record and the causal log
// (which determines the propagated causal state; that is rebuilt when read).
// A loaded engine takes the same steps, with the same candidate orders and
// random draws, as the one saved; its new ids come from this process's
// counters, which are first moved past every id the bytes name.
//
// Loading trusts nothing: every count, slot, id and cross-reference is
// checked, and bytes that describe no consistent engine are refused with a
// CheckpointDamage naming the first problem found. The bytes carry no magic, version
// or checksum of their own; the file format around them does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "rewrite_engine/rewrite_engine.hpp"

namespace vorn {

// Why bytes were refused: `part` (static text) names the field the bytes end
// in when `truncated`, else the inconsistency found.
struct CheckpointDamage {
  bool truncated = false;
  const char* part = nullptr;
};

struct Checkpoint {
  static std::string save(const RewriteEngine& engine);
  // The engine, or nothing with `damage` saying what is wrong.
  static std::optional<RewriteEngine> load(std::string_view bytes, CheckpointDamage& damage);
};

}  // namespace vorn
