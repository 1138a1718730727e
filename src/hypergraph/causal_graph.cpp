#include "hypergraph/causal_graph.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

namespace vorn {

uint64_t causal_set_length(uint64_t a, uint64_t b) {
  const uint64_t m = std::max(a, b);
  if (m < 2) return 1;
  if (m > (uint64_t{1} << 63)) return std::numeric_limits<uint64_t>::max();
  return std::bit_ceil(m);
}

namespace {

FixedBitSet own_set(VertexId id, uint64_t capacity) {
  FixedBitSet set = FixedBitSet::with_capacity(capacity);
  if (set.length() <= id) {
    const uint64_t needed = id == std::numeric_limits<uint64_t>::max() ? id : id + 1;
    set.grow(causal_set_length(capacity, needed));
  }
  set.insert(id);
  return set;
}

}  // namespace

// --- Writes -------------------------------------------------------------------

void CausalGraph::open_step_slow() {
  if (in_step_) {
    log_.step();
    step_open_ = true;
    ++steps_;
  } else {
    // Only writes outside any application (the store's own operations used
    // directly) need this; a rewriting engine never writes one.
    log_.end();
    tail_open_ = false;
  }
}

void CausalGraph::add_vertex(VertexId id, uint64_t capacity) {
  open_step();
  log_.create(id, capacity);
}

void CausalGraph::remove_vertex(VertexId v) {
  open_step();
  log_.remove(v);
}

void CausalGraph::drop_vertex(VertexId v) {
  open_step();
  log_.drop(v);
}

void CausalGraph::begin_step() {
  in_step_ = true;
  step_open_ = false;
  tail_open_ = false;
}

void CausalGraph::end_step() {
  token_ = step_open_ ? steps_ : 0;
  tail_open_ = step_open_;
  undoable_ = token_;
  in_step_ = false;
  step_open_ = false;
}

void CausalGraph::undo_step(uint64_t token) {
  if (token == 0 || token != undoable_) return;
  undoable_ = 0;
  tail_open_ = false;
  log_.mark_last_step_undone();
  log_.undo();
  known_.fill({0, 0});
}

// --- Replay -------------------------------------------------------------------

void CausalGraph::StepSnapshot::reset(bool keep) {
  active = keep;
  recording = keep;
  created.clear();
  removed.clear();
  future.clear();
  past.clear();
  causes.clear();
  effects.clear();
}

void CausalGraph::sync() const {
  log_.read(replayed_, [this](const CausalLog::Entry& e) {
    replay(e);
    return true;
  });
}

namespace {

// What recorded() keeps per vertex: its place in the output, the group of
// log entries (see below) that created it, and its depth.
struct VertexFacts {
  static constexpr uint32_t kNone = ~uint32_t{0};
  uint32_t number = kNone;  // index in Recorded::depths
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

}  // namespace

CausalGraph::Recorded CausalGraph::recorded() const {
  // The log is read in groups: a step's entries, or the entries between
  // steps. Most pairs have an effect created in the same group, and such a
  // pair can only have been recorded before in that group: it is looked
  // for among the group's pairs, a short scan. A pair whose effect is older
  // goes into a hash set, and is also looked for among the pairs of its
  // effect's group. A group with many pairs puts them all into the set.
  constexpr std::size_t kScan = 16;
  // Where each group's pairs begin in out.pairs (a group ends where the
  // next begins), with kHashed set when its pairs are in `seen`.
  constexpr uint64_t kHashed = uint64_t{1} << 63;
  std::vector<uint64_t> groups{0};
  bool births_in_group = false;
  Recorded out;
  FactsById facts;
  uint32_t count = 0;
  absl::flat_hash_set<std::pair<VertexId, VertexId>> seen;

  const auto vertex = [&](VertexId v) -> VertexFacts& {
    VertexFacts& f = facts[v];
    if (f.number == VertexFacts::kNone) f.number = count++;
    return f;
  };
  const auto begin_of = [&](std::size_t g) { return groups[g] & ~kHashed; };
  const auto end_of = [&](std::size_t g) {
    return g + 1 < groups.size() ? begin_of(g + 1) : out.pairs.size();
  };
  // Whether group g recorded (a, b), when its pairs are not in `seen`.
  const auto in_group = [&](std::size_t g, VertexId a, VertexId b) {
    const auto first = out.pairs.begin() + begin_of(g), last = out.pairs.begin() + end_of(g);
    return std::find(first, last, std::pair{a, b}) != last;
  };
  const auto recorded_before = [&](VertexId a, VertexId b, uint32_t b_birth) {
    const std::size_t current = groups.size() - 1;
    if (b_birth == current) {  // an effect created in this group
      if ((groups[current] & kHashed) == 0 && out.pairs.size() - begin_of(current) >= kScan) {
        groups[current] |= kHashed;
        seen.insert(out.pairs.begin() + begin_of(current), out.pairs.end());
      }
      if ((groups[current] & kHashed) == 0) return in_group(current, a, b);
    } else if (b_birth != VertexFacts::kNone && (groups[b_birth] & kHashed) == 0 &&
               in_group(b_birth, a, b)) {
      return true;
    }
    return !seen.emplace(a, b).second;
  };
  const auto new_group = [&] {
    if (out.pairs.size() != begin_of(groups.size() - 1) || births_in_group) {
      groups.push_back(out.pairs.size());
      births_in_group = false;
    }
  };

  bool skipping = false;  // inside a step that was undone
  CausalLog::Cursor cursor;
  log_.read(cursor, [&](const CausalLog::Entry& e) {
    switch (e.kind) {
      case CausalLog::Kind::step:
        skipping = e.undone;
        new_group();
        break;
      case CausalLog::Kind::end:
      case CausalLog::Kind::undo:
        skipping = false;
        new_group();
        break;
      case CausalLog::Kind::create:
        if (!skipping) {
          VertexFacts& v = vertex(e.a);
          if (v.birth == VertexFacts::kNone) v.birth = static_cast<uint32_t>(groups.size() - 1);
          births_in_group = true;
        }
        break;
      case CausalLog::Kind::relate:
        if (!skipping && e.a != e.b) {
          const uint64_t depth_a = vertex(e.a).depth;
          VertexFacts& b = vertex(e.b);
          if (!recorded_before(e.a, e.b, b.birth)) {
            b.depth = std::max(b.depth, depth_a + 1);
            out.pairs.emplace_back(e.a, e.b);
          }
        }
        break;
      case CausalLog::Kind::remove:
      case CausalLog::Kind::drop:
        break;
    }
    return true;
  });
  out.depths.resize(count);
  facts.for_each([&](VertexId v, const VertexFacts& f) {
    if (f.number != VertexFacts::kNone) out.depths[f.number] = {v, f.depth};
  });
  return out;
}

void CausalGraph::replay(const CausalLog::Entry& e) const {
  switch (e.kind) {
    case CausalLog::Kind::create:
      create(e.a, e.capacity);
      if (snapshot_.recording) snapshot_.created.push_back(e.a);
      break;
    case CausalLog::Kind::relate:
      relate(e.a, e.b, e.horizon, e.capacity);
      break;
    case CausalLog::Kind::remove:
      remove(e.a);
      break;
    case CausalLog::Kind::drop:
      erase(e.a);
      break;
    case CausalLog::Kind::step:
      // Only a step that is undone later, or the latest one (which may
      // still be), needs what an undo restores.
      snapshot_.reset(e.undone || log_.is_last_step(e));
      break;
    case CausalLog::Kind::undo:
      if (snapshot_.active) undo_snapshot();
      snapshot_.reset(false);
      break;
    case CausalLog::Kind::end:
      snapshot_.recording = false;
      break;
  }
}

CausalGraph::Node* CausalGraph::find(VertexId v) const {
  const auto it = index_.find(v);
  return it == index_.end() ? nullptr : &nodes_[it->second];
}

CausalGraph::Node& CausalGraph::node(VertexId v) const {
  const auto [it, inserted] = index_.try_emplace(v, 0);
  if (!inserted) return nodes_[it->second];
  if (free_.empty()) {
    it->second = static_cast<uint32_t>(nodes_.size());
    nodes_.emplace_back();
  } else {
    it->second = free_.back();
    free_.pop_back();
  }
  Node& n = nodes_[it->second];
  n.id = v;
  return n;
}

void CausalGraph::release_if_empty(Node& n) const {
  if (n.has_links || n.has_future || n.has_past) return;
  const auto it = index_.find(n.id);
  free_.push_back(it->second);
  index_.erase(it);
  n.links = CausalLinks{};
  n.future = FixedBitSet{};
  n.past = FixedBitSet{};
}

void CausalGraph::set_future(VertexId v, FixedBitSet set) const {
  Node& n = node(v);
  n.future = std::move(set);
  n.has_future = true;
}

void CausalGraph::set_past(VertexId v, FixedBitSet set) const {
  Node& n = node(v);
  n.past = std::move(set);
  n.has_past = true;
}

void CausalGraph::create(VertexId id, uint64_t capacity) const {
  Node& n = node(id);
  n.future = own_set(id, capacity);
  n.past = own_set(id, capacity);
  n.links = CausalLinks{};
  n.has_links = n.has_future = n.has_past = true;
}

void CausalGraph::erase(VertexId v) const {
  if (Node* n = find(v)) {
    n->has_links = n->has_future = n->has_past = false;
    release_if_empty(*n);
  }
}

// The causal data of u as it was before the step: the first copy taken in
// the step wins.
void CausalGraph::save(VertexId u) const {
  const Node* n = find(u);
  if (n == nullptr) return;
  if (n->has_future) snapshot_.future.try_emplace(u, n->future);
  if (n->has_past) snapshot_.past.try_emplace(u, n->past);
  if (n->has_links) {
    snapshot_.causes.try_emplace(u, n->links.causes);
    snapshot_.effects.try_emplace(u, n->links.effects);
  }
}

void CausalGraph::remove(VertexId v) const {
  Node* nv = find(v);
  if (nv == nullptr) return;
  if (snapshot_.recording) {
    save(v);
    if (nv->has_past) nv->past.for_each_one([this](uint64_t u) { save(u); });
    if (nv->has_future) nv->future.for_each_one([this](uint64_t u) { save(u); });
  }
  // Nodes are neither made nor released below, so the pointers stay valid.
  if (nv->has_past) {
    nv->past.for_each_one([&](uint64_t x) {
      if (Node* n = find(x); n != nullptr && n->has_future) n->future.remove(v);
    });
  }
  if (nv->has_future) {
    nv->future.for_each_one([&](uint64_t y) {
      if (Node* n = find(y); n != nullptr && n->has_past) n->past.remove(v);
    });
  }
  if (nv->has_links && snapshot_.recording) snapshot_.removed.emplace_back(v, std::move(nv->links));
  nv->has_links = nv->has_future = nv->has_past = false;
  release_if_empty(*nv);
}

// Undo of the step whose snapshot is held: created vertices go, deleted ones
// get their links back, and the saved sets and lists replace what is there
// (lists only for vertices that have links).
void CausalGraph::undo_snapshot() const {
  for (const VertexId c : snapshot_.created) erase(c);
  for (auto& [v, links] : snapshot_.removed) {
    Node& n = node(v);
    n.links = std::move(links);
    n.has_links = true;
  }
  for (auto& [v, set] : snapshot_.future) set_future(v, std::move(set));
  for (auto& [v, set] : snapshot_.past) set_past(v, std::move(set));
  for (auto& [v, list] : snapshot_.causes) {
    if (Node* n = find(v); n != nullptr && n->has_links) n->links.causes = std::move(list);
  }
  for (auto& [v, list] : snapshot_.effects) {
    if (Node* n = find(v); n != nullptr && n->has_links) n->links.effects = std::move(list);
  }
}

// --- Reads --------------------------------------------------------------------

const CausalLinks* CausalGraph::links(VertexId v) const {
  sync();
  const Node* n = find(v);
  return n != nullptr && n->has_links ? &n->links : nullptr;
}

const FixedBitSet* CausalGraph::past(VertexId v) const {
  sync();
  const Node* n = find(v);
  return n != nullptr && n->has_past ? &n->past : nullptr;
}

const FixedBitSet* CausalGraph::future(VertexId v) const {
  sync();
  const Node* n = find(v);
  return n != nullptr && n->has_future ? &n->future : nullptr;
}

// Records a -> b and propagates it: every cause of a (a included) reached
// backwards within the horizon gains b's future, every effect of b (b
// included) reached forwards within the horizon gains a's past, both as they
// were before the call.
void CausalGraph::relate(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity) const {
  Node* na = find(a);
  Node* nb = find(b);
  // Already related: nothing changes, not even depths or links.
  if (na != nullptr && na->has_future && na->future.contains(b)) return;

  const uint64_t da = na != nullptr && na->has_links ? na->links.depth : 1;
  if (nb != nullptr && nb->has_links) nb->links.depth = std::max(nb->links.depth, da + 1);
  if (na != nullptr && na->has_links) na->links.effects.append_unique(b);
  if (nb != nullptr && nb->has_links) nb->links.causes.append_unique(a);
  const uint64_t db = nb != nullptr && nb->has_links ? nb->links.depth : 1;
  const uint64_t limit = horizon == 0 ? std::numeric_limits<uint64_t>::max() : horizon;

  // Copies share storage with their sources; they are taken before any set
  // changes and are the only things merged below.
  FixedBitSet pa = na != nullptr && na->has_past ? na->past : FixedBitSet::with_capacity(capacity);
  FixedBitSet fb = nb != nullptr && nb->has_future ? nb->future : FixedBitSet::with_capacity(capacity);
  const uint64_t n = std::max(pa.length(), fb.length());
  const uint64_t t = causal_set_length(n, capacity);
  if (pa.length() < n) pa.grow(t);
  if (fb.length() < n) fb.grow(t);
  // An id without a node has no sets to gain and no links to follow.
  if (na != nullptr) pass(*na, da, limit, n, t, fb, /*backward=*/true);
  if (nb != nullptr) pass(*nb, db, limit, n, t, pa, /*backward=*/false);
}

// Breadth-first along causes (backward) or effects (forward). A vertex
// outside the horizon is marked but neither updated nor expanded; ids
// without a node would do nothing and are not queued.
void CausalGraph::pass(Node& start, uint64_t start_depth, uint64_t limit, uint64_t n, uint64_t t,
                       const FixedBitSet& source, bool backward) const {
  if (++stamp_ == 0) {  // wrapped: forget every old mark
    for (Node& node : nodes_) node.stamp = 0;
    stamp_ = 1;
  }
  queue_.clear();
  start.stamp = stamp_;
  queue_.push_back(static_cast<uint32_t>(&start - nodes_.data()));
  for (std::size_t head = 0; head < queue_.size(); ++head) {
    Node& x = nodes_[queue_[head]];
    const uint64_t dx = x.has_links ? x.links.depth : 1;
    if (backward ? (start_depth > dx && start_depth - dx > limit)
                 : (dx > start_depth && dx - start_depth > limit)) {
      continue;
    }
    if (backward ? x.has_future : x.has_past) {
      FixedBitSet& set = backward ? x.future : x.past;
      if (set.length() < n) set.grow(t);
      set.union_with(source);
    }
    if (!x.has_links) continue;
    for (const VertexId next : backward ? x.links.causes : x.links.effects) {
      const auto it = index_.find(next);
      if (it == index_.end()) continue;
      Node& y = nodes_[it->second];
      if (y.stamp != stamp_) {
        y.stamp = stamp_;
        queue_.push_back(it->second);
      }
    }
  }
}

}  // namespace vorn
