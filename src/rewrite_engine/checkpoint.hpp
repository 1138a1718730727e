// Checkpoint: everything an engine needs to go on exactly as it would have,
// as bytes, and back. The bytes are the engine's sections in order: settings
// and counters, the generator, the rules (as the names they were compiled
// from), the store with its causal relation, the undo record of the last
// step, and a trailer saying whether the store's pair count is exact. Each
// part writes and reads its own section; this file composes them and checks
// what ties them together. A loaded engine takes the same steps, with the
// same candidate orders and random draws, as the one saved; its new ids come
// from this process's counters, which are first moved past every id the
// bytes name.
//
// Loading trusts nothing: bytes that describe no consistent engine are
// refused with a CheckpointDamage naming the first problem found. Bytes
// without the trailer (written before it existed) load as they always did.
// The bytes carry no magic, version or checksum of their own; the file
// format around them does. Saving and loading stream: beside the engine
// they hold a piece of the bytes at a time, never the whole.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "hypergraph/byte_stream.hpp"
#include "rewrite_engine/rewrite_engine.hpp"

namespace vorn {

struct Checkpoint {
  static std::string save(const RewriteEngine& engine);
  // The same bytes into `out` (which may stream them), and their number,
  // counted without writing them.
  static void save(const RewriteEngine& engine, ByteWriter& out);
  static std::size_t size(const RewriteEngine& engine);
  // The engine, or nothing with `damage` saying what is wrong.
  static std::optional<RewriteEngine> load(std::string_view bytes, CheckpointDamage& damage);
  // The same from a reader, which may stream the bytes: nothing is handed
  // out before all of them have been read and checked.
  static std::optional<RewriteEngine> load(ByteReader& in, CheckpointDamage& damage);
};

}  // namespace vorn
