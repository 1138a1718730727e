// The causal relation's own section of a checkpoint: its log and the
// writer's bookkeeping, and the one-pass summary a loaded log is checked by.
#include <algorithm>
#include <utility>

#include "absl/container/flat_hash_set.h"
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
  return summarize_log(writer_.log(), steps);
}

void CausalGraph::save(ByteWriter& out) const {
  const CausalWriter::Bookkeeping b = writer_.bookkeeping();
  out.str(writer_.log().to_bytes());
  out.u64(b.steps);
  out.u64(b.token);
  out.u64(b.undoable);
  out.u8(b.tail_open ? 1 : 0);
  // (The cache of relations known to be in force is left out: it only saves
  // log entries, and a loaded graph starts with it empty.)
}

std::optional<CausalGraph> CausalGraph::load(ByteReader& in, LogSummary& summary) {
  CausalLog log;
  const std::string_view bytes = in.str("the causal log");
  if (const char* problem = nullptr; in.ok() && !log.from_bytes(bytes, problem)) in.fail(problem);
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
