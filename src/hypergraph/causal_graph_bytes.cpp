// The causal relation's own section of a checkpoint: its log and the
// writer's bookkeeping, and the one-pass summary a loaded log is checked by.
#include <algorithm>
#include <utility>

#include "absl/container/flat_hash_set.h"
#include "hypergraph/causal_graph.hpp"

namespace vorn {

namespace {

// The vertices with causal data, as a set: a bit per id of the range the
// log names when that is not much wider than the vertices it creates (ids
// are handed out in order), else a hash set. An id outside the bits' range
// (a damaged log can name one past the range's end) goes to the hash set.
class LinkedSet {
 public:
  LinkedSet(uint64_t lowest, uint64_t highest, uint64_t creations) : lowest_(lowest) {
    if (highest >= lowest && (highest - lowest) / 64 <= creations) bits_.assign(highest - lowest + 1, false);
  }
  bool insert(VertexId v) {
    if (!in_bits(v)) return hashed_.insert(v).second;
    const bool was = bits_[v - lowest_];
    bits_[v - lowest_] = true;
    return !was;
  }
  bool erase(VertexId v) {
    if (!in_bits(v)) return hashed_.erase(v) != 0;
    const bool was = bits_[v - lowest_];
    bits_[v - lowest_] = false;
    return was;
  }
  std::vector<VertexId> sorted() const {
    // (Sized first: a vector grown by doubling would hold about three times
    // the ids at its peak.)
    const auto set = static_cast<std::size_t>(std::count(bits_.begin(), bits_.end(), true));
    std::vector<VertexId> out;
    out.reserve(hashed_.size() + set);
    out.assign(hashed_.begin(), hashed_.end());
    for (uint64_t i = 0; i < bits_.size(); ++i) {
      if (bits_[i]) out.push_back(lowest_ + i);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  bool in_bits(VertexId v) const { return v >= lowest_ && v - lowest_ < bits_.size(); }

  uint64_t lowest_;
  std::vector<bool> bits_;
  absl::flat_hash_set<VertexId> hashed_;
};

// The summary and the number of step entries, in two passes over the log
// (the first finds the range of the ids it names).
CausalGraph::LogSummary summarize_log(const CausalLog& log, uint64_t& steps) {
  CausalGraph::LogSummary out;
  steps = 0;
  uint64_t lowest = ~uint64_t{0}, creations = 0;
  {
    CausalLog::Cursor cursor;
    log.read(cursor, [&](const CausalLog::Entry& entry) {
      const auto note = [&](VertexId v) {
        lowest = std::min(lowest, v);
        out.id_floor = std::max(out.id_floor, v + 1);
      };
      if (entry.kind == CausalLog::Kind::create) {
        ++creations;
        note(entry.a);
      } else if (entry.kind == CausalLog::Kind::relate) {
        note(entry.a);
        note(entry.b);
      } else if (entry.kind == CausalLog::Kind::remove || entry.kind == CausalLog::Kind::drop) {
        note(entry.a);
      }
      return true;
    });
  }
  LinkedSet linked(lowest, out.id_floor == 0 ? 0 : out.id_floor - 1, creations);
  bool active = false, recording = false;
  std::vector<VertexId> created, removed;
  CausalLog::Cursor cursor;
  log.read(cursor, [&](const CausalLog::Entry& entry) {
    switch (entry.kind) {
      case CausalLog::Kind::step:
        ++steps;
        active = recording = entry.undone || log.is_last_step(entry);
        created.clear();
        removed.clear();
        break;
      case CausalLog::Kind::end:
        recording = false;
        break;
      case CausalLog::Kind::create:
        linked.insert(entry.a);
        if (recording) created.push_back(entry.a);
        break;
      case CausalLog::Kind::relate:
        break;
      case CausalLog::Kind::remove:
        if (linked.erase(entry.a) && recording) removed.push_back(entry.a);
        break;
      case CausalLog::Kind::drop:
        linked.erase(entry.a);
        break;
      case CausalLog::Kind::undo:
        if (active) {
          for (const VertexId v : created) linked.erase(v);
          for (const VertexId v : removed) linked.insert(v);
        }
        active = recording = false;
        created.clear();
        removed.clear();
        break;
    }
    return true;
  });
  out.linked = linked.sorted();
  if (active) {
    out.last_created = std::move(created);
    out.last_removed = std::move(removed);
  }
  return out;
}

}  // namespace

CausalGraph::LogSummary CausalGraph::summarize() const {
  uint64_t steps = 0;
  return summarize_log(writer_.log(), steps);
}

void CausalGraph::save(ByteWriter& out) const {
  const CausalWriter::Bookkeeping b = writer_.bookkeeping();
  const CausalLog& log = writer_.log();
  // The log's bytes straight from its chunks (as a length and the bytes).
  out.u64(log.bytes());
  if (out.counting()) {
    out.skip(log.bytes());
  } else {
    log.for_each_piece([&](const uint8_t* p, std::size_t n) { out.raw(p, n); });
  }
  out.u64(b.steps);
  out.u64(b.token);
  out.u64(b.undoable);
  out.u8(b.tail_open ? 1 : 0);
  // (The cache of relations known to be in force is left out: it only saves
  // log entries, and a loaded graph starts with it empty.)
}

std::optional<CausalGraph> CausalGraph::load(ByteReader& in, LogSummary& summary) {
  CausalLog log;
  // Decoded piece by piece as the bytes arrive; an entry cut by a piece's
  // end is carried over to the next piece.
  std::string carried;
  const char* problem = nullptr;
  bool decoding = true;
  in.pieces("the causal log", [&](std::string_view piece) {
    if (!decoding) return;
    std::string_view bytes = piece;
    if (!carried.empty()) {
      carried.append(piece);
      bytes = carried;
    }
    std::size_t used = 0;
    if (!log.append_bytes(bytes, false, used, problem)) {
      decoding = false;
      return;
    }
    std::string rest(bytes.substr(used));
    carried = std::move(rest);
  });
  if (in.ok() && decoding) {
    std::size_t used = 0;
    if (!log.append_bytes(carried, true, used, problem)) decoding = false;
  }
  if (in.ok() && !decoding) in.fail(problem);
  CausalWriter::Bookkeeping b;
  b.steps = in.u64("the causal step count");
  b.token = in.u64("the causal step token");
  b.undoable = in.u64("the undoable causal step");
  b.tail_open = in.flag("the causal tail flag");
  if (!in.ok()) return std::nullopt;
  uint64_t steps = 0;
  summary = summarize_log(log, steps);
  if (steps != b.steps || b.token > b.steps || (b.undoable != 0 && b.undoable != b.steps)) {
    in.fail("causal step bookkeeping that disagrees with the causal log");
    return std::nullopt;
  }
  CausalGraph c;
  c.writer_ = CausalWriter::resume(std::move(log), b);
  return c;
}

}  // namespace vorn
