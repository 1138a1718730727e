#include "hypergraph/causal_recorded.hpp"

#include <algorithm>
#include <array>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"

namespace vorn {

namespace {

// What the reader keeps per vertex: its place in the output, the group of
// log entries (see RecordedReader) that created it, and its depth.
struct VertexFacts {
  static constexpr uint32_t kNone = ~uint32_t{0};
  uint32_t number = kNone;  // index in RecordedRelation::depths
  uint32_t birth = kNone;   // kNone when no create entry names it
  uint64_t depth = 1;
};

// VertexFacts by vertex id. Ids from one process's counter lie close
// together, so most are found by their offset from the first id in a table
// that grows; ids far outside it go to a hash map.
class FactsById {
 public:
  VertexFacts& operator[](VertexId v) {
    if (table_.empty()) low_ = v;
    if (v >= low_) {
      const uint64_t offset = v - low_;
      if (offset < table_.size()) return table_[offset];
      if (offset < 2 * table_.size() + 4096) {
        table_.resize(std::max<uint64_t>(2 * table_.size(), offset + 1));
        return table_[offset];
      }
    }
    return others_[v];
  }
  // v's facts when they lie in the table (without numbering it), else null.
  const VertexFacts* peek(VertexId v) const {
    const uint64_t offset = v - low_;
    return v >= low_ && offset < table_.size() ? &table_[offset] : nullptr;
  }
  // Asks for v's facts to be brought into the cache (when they lie in the table).
  void prefetch(VertexId v) const {
    if (const VertexFacts* f = peek(v)) __builtin_prefetch(f, 1);
  }
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < table_.size(); ++i) f(low_ + i, table_[i]);
    for (const auto& [v, facts] : others_) f(v, facts);
  }

 private:
  VertexId low_ = 0;
  std::vector<VertexFacts> table_;
  absl::flat_hash_map<VertexId, VertexFacts> others_;
};

// Reads the log in groups: an application's entries, or the entries between
// applications. Most pairs have an effect created in the same group, and
// such a pair can only have been recorded before in that group: it is looked
// for among the group's pairs, a short scan. A pair whose effect is older
// goes into a hash set, and is also looked for among the pairs of its
// effect's group. A group with many pairs puts them all into the set.
class RecordedReader {
 public:
  void read(const CausalLog::Entry& e) {
    switch (e.kind) {
      case CausalLog::Kind::step:
        skipping_ = e.undone;
        new_group();
        break;
      case CausalLog::Kind::end:
      case CausalLog::Kind::undo:
        skipping_ = false;
        new_group();
        break;
      case CausalLog::Kind::create:
        if (!skipping_) created(e.a);
        break;
      case CausalLog::Kind::relate:
        if (!skipping_ && e.a != e.b) related(e.a, e.b);
        break;
      case CausalLog::Kind::remove:
      case CausalLog::Kind::drop:
        break;
    }
  }

  // Asks for what read(e) will look at to be brought into the cache: the
  // facts of the vertices it names.
  void prefetch(const CausalLog::Entry& e) const {
    if (e.kind == CausalLog::Kind::relate) {
      facts_.prefetch(e.a);
      facts_.prefetch(e.b);
    } else if (e.kind == CausalLog::Kind::create) {
      facts_.prefetch(e.a);
    }
  }
  // The second stage, once the facts are near: where recorded_before will
  // look for a pair whose effect is older than the current group, its
  // effect's group and the hash set.
  void prefetch_lookups(const CausalLog::Entry& e) const {
    if (e.kind != CausalLog::Kind::relate) return;
    const VertexFacts* fb = facts_.peek(e.b);
    if (fb == nullptr || fb->birth == VertexFacts::kNone || fb->birth >= current()) return;
    if (!hashed(fb->birth)) __builtin_prefetch(out_.pairs.data() + begin_of(fb->birth));
    seen_.prefetch(std::pair{e.a, e.b});
  }

  RecordedRelation take() {
    out_.depths.resize(count_);
    facts_.for_each([&](VertexId v, const VertexFacts& f) {
      if (f.number != VertexFacts::kNone) out_.depths[f.number] = {v, f.depth};
    });
    return std::move(out_);
  }

 private:
  static constexpr std::size_t kScan = 16;
  static constexpr uint64_t kHashed = uint64_t{1} << 63;

  void created(VertexId v) {
    VertexFacts& f = vertex(v);
    if (f.birth == VertexFacts::kNone) f.birth = current();
    births_in_group_ = true;
  }

  void related(VertexId a, VertexId b) {
    const uint64_t depth_a = vertex(a).depth;
    VertexFacts& fb = vertex(b);
    if (recorded_before(a, b, fb.birth)) return;
    fb.depth = std::max(fb.depth, depth_a + 1);
    out_.pairs.emplace_back(a, b);
  }

  // v's facts, numbered on first appearance.
  VertexFacts& vertex(VertexId v) {
    VertexFacts& f = facts_[v];
    if (f.number == VertexFacts::kNone) f.number = count_++;
    return f;
  }

  uint32_t current() const { return static_cast<uint32_t>(groups_.size() - 1); }
  std::size_t begin_of(std::size_t g) const { return groups_[g] & ~kHashed; }
  std::size_t end_of(std::size_t g) const {
    return g + 1 < groups_.size() ? begin_of(g + 1) : out_.pairs.size();
  }
  bool hashed(std::size_t g) const { return (groups_[g] & kHashed) != 0; }

  // Whether group g recorded (a, b), when its pairs are not in `seen_`.
  bool in_group(std::size_t g, VertexId a, VertexId b) const {
    const auto first = out_.pairs.begin() + static_cast<std::ptrdiff_t>(begin_of(g));
    const auto last = out_.pairs.begin() + static_cast<std::ptrdiff_t>(end_of(g));
    return std::find(first, last, std::pair{a, b}) != last;
  }

  // Whether (a, b) was recorded before; if not, it is now known.
  bool recorded_before(VertexId a, VertexId b, uint32_t b_birth) {
    const std::size_t g = current();
    if (b_birth == g) {  // an effect created in this group
      if (!hashed(g) && out_.pairs.size() - begin_of(g) >= kScan) hash_group(g);
      if (!hashed(g)) return in_group(g, a, b);
    } else if (b_birth != VertexFacts::kNone && !hashed(b_birth) && in_group(b_birth, a, b)) {
      return true;
    }
    return !seen_.emplace(a, b).second;
  }

  // Moves group g's lookups to the hash set.
  void hash_group(std::size_t g) {
    groups_[g] |= kHashed;
    seen_.insert(out_.pairs.begin() + static_cast<std::ptrdiff_t>(begin_of(g)), out_.pairs.end());
  }

  // Starts a group unless the current one is still empty.
  void new_group() {
    if (out_.pairs.size() != begin_of(current()) || births_in_group_) {
      groups_.push_back(out_.pairs.size());
      births_in_group_ = false;
    }
  }

  // Where each group's pairs begin in out_.pairs (a group ends where the
  // next begins), with kHashed set when its pairs are in `seen_`.
  std::vector<uint64_t> groups_{0};
  bool births_in_group_ = false;
  bool skipping_ = false;  // inside an application that was undone
  RecordedRelation out_;
  FactsById facts_;
  uint32_t count_ = 0;
  absl::flat_hash_set<std::pair<VertexId, VertexId>> seen_;
};

// Reads the log into `reader` a batch of entries at a time: the facts a
// batch needs are asked for first, so that their cache misses overlap
// rather than come one after another. Asks keep_going() after every
// kAsk entries; false once it said to stop.
template <class KeepGoing>
bool read_batched(const CausalLog& log, RecordedReader& reader, KeepGoing&& keep_going) {
  constexpr std::size_t kBatch = 64;
  constexpr uint32_t kAsk = 1 << 16;  // entries between questions: well under a millisecond
  std::array<CausalLog::Entry, kBatch> batch;
  std::size_t held = 0;
  uint32_t budget = kAsk;
  const auto drain = [&] {
    for (std::size_t i = 0; i < held; ++i) reader.prefetch(batch[i]);
    for (std::size_t i = 0; i < held; ++i) reader.prefetch_lookups(batch[i]);
    for (std::size_t i = 0; i < held; ++i) reader.read(batch[i]);
    held = 0;
  };
  CausalLog::Cursor cursor;
  const bool ended = log.read(cursor, [&](const CausalLog::Entry& e) {
    batch[held++] = e;
    if (held == kBatch) drain();
    if (--budget != 0) return true;
    budget = kAsk;
    return keep_going();
  });
  drain();
  return ended;
}

}  // namespace

RecordedRelation read_recorded_relation(const CausalLog& log) {
  RecordedReader reader;
  read_batched(log, reader, [] { return true; });
  return reader.take();
}

std::optional<RecordedRelation> read_recorded_relation(const CausalLog& log,
                                                       const std::function<bool()>& keep_going) {
  RecordedReader reader;
  if (!read_batched(log, reader, keep_going)) return std::nullopt;
  return reader.take();
}

}  // namespace vorn
