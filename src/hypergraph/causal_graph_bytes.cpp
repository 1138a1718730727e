// The causal relation's own section of a checkpoint: its log and the
// writer's bookkeeping, and the one-pass summary a loaded log is checked by.
#include <algorithm>

#include "hypergraph/causal_graph.hpp"

namespace vorn {

namespace {

// The summary and the number of step entries, in one pass over the log.
CausalGraph::LogSummary summarize_log(const CausalLog& log, uint64_t& steps) {
  CausalGraph::LogSummary out;
  steps = 0;
  absl::flat_hash_set<VertexId> linked;
  bool active = false, recording = false;
  std::vector<VertexId> created, removed;
  const auto note = [&](VertexId v) { out.id_floor = std::max(out.id_floor, v + 1); };
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
        note(entry.a);
        linked.insert(entry.a);
        if (recording) created.push_back(entry.a);
        break;
      case CausalLog::Kind::relate:
        note(entry.a);
        note(entry.b);
        break;
      case CausalLog::Kind::remove:
        if (linked.erase(entry.a) != 0 && recording) removed.push_back(entry.a);
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
  out.linked.assign(linked.begin(), linked.end());
  std::sort(out.linked.begin(), out.linked.end());
  if (active) {
    out.last_created = std::move(created);
    out.last_removed = std::move(removed);
  }
  return out;
}

}  // namespace

CausalGraph::LogSummary CausalGraph::summarize() const {
  uint64_t steps = 0;
  return summarize_log(log_, steps);
}

void CausalGraph::save(ByteWriter& out) const {
  // The log's bytes straight from its chunks (as a length and the bytes).
  out.u64(log_.bytes());
  if (out.counting()) {
    out.skip(log_.bytes());
  } else {
    log_.for_each_piece([&](const uint8_t* p, std::size_t n) { out.raw(p, n); });
  }
  out.u64(steps_);
  out.u64(token_);
  out.u64(undoable_);
  out.u8(tail_open_ ? 1 : 0);
  // (The cache of relations known to be in force is left out: it only saves
  // log entries, and a loaded graph starts with it empty.)
}

std::optional<CausalGraph> CausalGraph::load(ByteReader& in, LogSummary& summary) {
  CausalGraph c;
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
    if (!c.log_.append_bytes(bytes, false, used, problem)) {
      decoding = false;
      return;
    }
    std::string rest(bytes.substr(used));
    carried = std::move(rest);
  });
  if (in.ok() && decoding) {
    std::size_t used = 0;
    if (!c.log_.append_bytes(carried, true, used, problem)) decoding = false;
  }
  if (in.ok() && !decoding) in.fail(problem);
  c.steps_ = in.u64("the causal step count");
  c.token_ = in.u64("the causal step token");
  c.undoable_ = in.u64("the undoable causal step");
  c.tail_open_ = in.flag("the causal tail flag");
  if (!in.ok()) return std::nullopt;
  uint64_t steps = 0;
  summary = summarize_log(c.log_, steps);
  if (steps != c.steps_ || c.token_ > c.steps_ || (c.undoable_ != 0 && c.undoable_ != c.steps_)) {
    in.fail("causal step bookkeeping that disagrees with the causal log");
    return std::nullopt;
  }
  return c;
}

}  // namespace vorn
