#include "hypergraph/causal_replay.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace vorn {

namespace {

// A new vertex's past or future set: its own bit, in a set long enough to
// hold it.
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

void CausalReplay::apply(const CausalLog& log, const CausalLog::Entry& e) {
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
      drop(e.a);
      break;
    case CausalLog::Kind::step:
      // Only an application that is undone later, or the latest one (which
      // may still be), needs what an undo restores.
      snapshot_.reset(e.undone || log.is_last_step(e));
      break;
    case CausalLog::Kind::undo:
      if (snapshot_.active) restore_snapshot();
      snapshot_.reset(false);
      break;
    case CausalLog::Kind::end:
      snapshot_.recording = false;
      break;
  }
}

void CausalReplay::create(VertexId id, uint64_t capacity) {
  CausalNode& n = nodes_.find_or_make(id);
  n.future = own_set(id, capacity);
  n.past = own_set(id, capacity);
  n.links = CausalLinks{};
  n.has_links = n.has_future = n.has_past = true;
}

void CausalReplay::drop(VertexId v) {
  if (CausalNode* n = nodes_.find(v)) {
    n->has_links = n->has_future = n->has_past = false;
    nodes_.release_if_empty(*n);
  }
}

void CausalReplay::remove(VertexId v) {
  CausalNode* nv = nodes_.find(v);
  if (nv == nullptr) return;
  // Nodes are neither made nor released until the end, so the pointers stay
  // valid.
  if (snapshot_.recording) {
    snapshot_.save(*nv);
    const auto save = [this](uint64_t u) {
      if (const CausalNode* n = nodes_.find(u)) snapshot_.save(*n);
    };
    if (nv->has_past) nv->past.for_each_one(save);
    if (nv->has_future) nv->future.for_each_one(save);
  }
  if (nv->has_past) {
    nv->past.for_each_one([&](uint64_t x) {
      if (CausalNode* n = nodes_.find(x); n != nullptr && n->has_future) n->future.remove(v);
    });
  }
  if (nv->has_future) {
    nv->future.for_each_one([&](uint64_t y) {
      if (CausalNode* n = nodes_.find(y); n != nullptr && n->has_past) n->past.remove(v);
    });
  }
  if (nv->has_links && snapshot_.recording) snapshot_.removed.emplace_back(v, std::move(nv->links));
  nv->has_links = nv->has_future = nv->has_past = false;
  nodes_.release_if_empty(*nv);
}

// Undo of the application whose snapshot is held: created vertices are
// dropped, removed ones get their links back, and the saved sets and lists
// replace what is there (lists only for vertices that have links).
void CausalReplay::restore_snapshot() {
  for (const VertexId c : snapshot_.created) drop(c);
  for (auto& [v, links] : snapshot_.removed) {
    CausalNode& n = nodes_.find_or_make(v);
    n.links = std::move(links);
    n.has_links = true;
  }
  for (auto& [v, set] : snapshot_.future) {
    CausalNode& n = nodes_.find_or_make(v);
    n.future = std::move(set);
    n.has_future = true;
  }
  for (auto& [v, set] : snapshot_.past) {
    CausalNode& n = nodes_.find_or_make(v);
    n.past = std::move(set);
    n.has_past = true;
  }
  for (auto& [v, list] : snapshot_.causes) {
    if (CausalNode* n = nodes_.find(v); n != nullptr && n->has_links) n->links.causes = std::move(list);
  }
  for (auto& [v, list] : snapshot_.effects) {
    if (CausalNode* n = nodes_.find(v); n != nullptr && n->has_links) n->links.effects = std::move(list);
  }
}

// Records a -> b and propagates it: every cause of a (a included) reached
// backwards within the horizon gains b's future, every effect of b (b
// included) reached forwards within the horizon gains a's past, both as they
// were before the call.
void CausalReplay::relate(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity) {
  CausalNode* na = nodes_.find(a);
  CausalNode* nb = nodes_.find(b);
  // Already related: nothing changes, not even depths or links.
  if (na != nullptr && na->has_future && na->future.contains(b)) return;

  const uint64_t da = na != nullptr ? na->depth() : 1;
  if (nb != nullptr && nb->has_links) nb->links.depth = std::max(nb->links.depth, da + 1);
  if (na != nullptr && na->has_links) na->links.effects.append_unique(b);
  if (nb != nullptr && nb->has_links) nb->links.causes.append_unique(a);
  const uint64_t db = nb != nullptr ? nb->depth() : 1;
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
void CausalReplay::pass(CausalNode& start, uint64_t start_depth, uint64_t limit, uint64_t n, uint64_t t,
                        const FixedBitSet& source, bool backward) {
  if (++stamp_ == 0) {  // wrapped: forget every old mark
    nodes_.clear_stamps();
    stamp_ = 1;
  }
  queue_.clear();
  start.stamp = stamp_;
  queue_.push_back(nodes_.index_of(start));
  for (std::size_t head = 0; head < queue_.size(); ++head) {
    CausalNode& x = nodes_.at(queue_[head]);
    const uint64_t dx = x.depth();
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
      const uint32_t i = nodes_.index(next);
      if (i == CausalNodes::kAbsent) continue;
      CausalNode& y = nodes_.at(i);
      if (y.stamp != stamp_) {
        y.stamp = stamp_;
        queue_.push_back(i);
      }
    }
  }
}

}  // namespace vorn
