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

void CausalGraph::add_vertex(VertexId id, uint64_t capacity) {
  if (log_.empty()) {
    create(id, capacity);
  } else {
    log_.push_back(Entry{Kind::create, id, 0, 0, capacity});
  }
}

void CausalGraph::create(VertexId id, uint64_t capacity) const {
  future_.insert_or_assign(id, own_set(id, capacity));
  past_.insert_or_assign(id, own_set(id, capacity));
  links_.insert_or_assign(id, CausalLinks{});
}

void CausalGraph::add_relation(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity) {
  log_.push_back(Entry{Kind::relate, a, b, horizon, capacity});
}

void CausalGraph::drop_vertex(VertexId v) {
  if (log_.empty()) {
    erase(v);
  } else {
    log_.push_back(Entry{Kind::drop, v, 0, 0, 0});
  }
}

void CausalGraph::erase(VertexId v) const {
  links_.erase(v);
  future_.erase(v);
  past_.erase(v);
}

std::optional<CausalLinks> CausalGraph::remove_vertex(VertexId v) {
  sync();
  if (const auto p = past_.find(v); p != past_.end()) {
    p->second.for_each_one([&](uint64_t x) {
      if (const auto f = future_.find(x); f != future_.end()) f->second.remove(v);
    });
  }
  if (const auto f = future_.find(v); f != future_.end()) {
    f->second.for_each_one([&](uint64_t y) {
      if (const auto p = past_.find(y); p != past_.end()) p->second.remove(v);
    });
  }
  std::optional<CausalLinks> out;
  if (auto node = links_.extract(v); !node.empty()) out = std::move(node.mapped());
  future_.erase(v);
  past_.erase(v);
  return out;
}

void CausalGraph::sync() const {
  // Entries are replayed in order; an entry never appends to the log.
  for (const Entry& e : log_) {
    switch (e.kind) {
      case Kind::relate: relate(e.a, e.b, e.horizon, e.capacity); break;
      case Kind::drop: erase(e.a); break;
      case Kind::create: create(e.a, e.capacity); break;
    }
  }
  log_.clear();
}

const CausalLinks* CausalGraph::links(VertexId v) const {
  sync();
  const auto it = links_.find(v);
  return it == links_.end() ? nullptr : &it->second;
}

const FixedBitSet* CausalGraph::past(VertexId v) const {
  sync();
  const auto it = past_.find(v);
  return it == past_.end() ? nullptr : &it->second;
}

const FixedBitSet* CausalGraph::future(VertexId v) const {
  sync();
  const auto it = future_.find(v);
  return it == future_.end() ? nullptr : &it->second;
}

void CausalGraph::restore_links(VertexId v, CausalLinks links) {
  sync();
  links_.insert_or_assign(v, std::move(links));
}

void CausalGraph::restore_past(VertexId v, FixedBitSet set) {
  sync();
  past_.insert_or_assign(v, std::move(set));
}

void CausalGraph::restore_future(VertexId v, FixedBitSet set) {
  sync();
  future_.insert_or_assign(v, std::move(set));
}

void CausalGraph::replace_causes(VertexId v, CausalList causes) {
  sync();
  if (const auto it = links_.find(v); it != links_.end()) it->second.causes = std::move(causes);
}

void CausalGraph::replace_effects(VertexId v, CausalList effects) {
  sync();
  if (const auto it = links_.find(v); it != links_.end()) it->second.effects = std::move(effects);
}

uint64_t CausalGraph::depth_of(VertexId v) const {
  const auto it = links_.find(v);
  return it == links_.end() ? 1 : it->second.depth;
}

// Records a -> b and propagates it: every cause of a (a included) reached
// backwards within the horizon gains b's future, every effect of b (b
// included) reached forwards within the horizon gains a's past, both as they
// were before the call.
void CausalGraph::relate(VertexId a, VertexId b, uint64_t horizon, uint64_t capacity) const {
  // Already related: nothing changes, not even depths or links.
  if (const auto fa = future_.find(a); fa != future_.end() && fa->second.contains(b)) return;

  const uint64_t da = depth_of(a);
  const auto lb = links_.find(b);
  if (lb != links_.end()) lb->second.depth = std::max(lb->second.depth, da + 1);
  if (const auto la = links_.find(a); la != links_.end()) la->second.effects.append_unique(b);
  if (lb != links_.end()) lb->second.causes.append_unique(a);
  const uint64_t db = depth_of(b);
  const uint64_t limit = horizon == 0 ? std::numeric_limits<uint64_t>::max() : horizon;

  // Copies share storage with their sources; they are taken before any set
  // changes and are the only things merged below.
  const auto pa_it = past_.find(a);
  FixedBitSet pa = pa_it != past_.end() ? pa_it->second : FixedBitSet::with_capacity(capacity);
  const auto fb_it = future_.find(b);
  FixedBitSet fb = fb_it != future_.end() ? fb_it->second : FixedBitSet::with_capacity(capacity);
  const uint64_t n = std::max(pa.length(), fb.length());
  const uint64_t t = causal_set_length(n, capacity);
  if (pa.length() < n) pa.grow(t);
  if (fb.length() < n) fb.grow(t);

  // Breadth-first along causes (backward) or effects (forward). A vertex
  // outside the horizon is marked but neither updated nor expanded. The
  // visited set holds only the ids met, so it costs what the search costs.
  const auto pass = [&](VertexId start, uint64_t start_depth, bool backward) {
    visited_.clear();
    queue_.clear();
    visited_.insert(start);
    queue_.push_back(start);
    for (std::size_t head = 0; head < queue_.size(); ++head) {
      const VertexId x = queue_[head];
      const auto lx = links_.find(x);
      const uint64_t dx = lx == links_.end() ? 1 : lx->second.depth;
      if (backward ? (start_depth > dx && start_depth - dx > limit)
                   : (dx > start_depth && dx - start_depth > limit)) {
        continue;
      }
      auto& sets = backward ? future_ : past_;
      if (const auto s = sets.find(x); s != sets.end()) {
        if (s->second.length() < n) s->second.grow(t);
        s->second.union_with(backward ? fb : pa);
      }
      if (lx == links_.end()) continue;
      for (const VertexId next : backward ? lx->second.causes : lx->second.effects) {
        if (visited_.insert(next).second) queue_.push_back(next);
      }
    }
  };
  pass(a, da, /*backward=*/true);
  pass(b, db, /*backward=*/false);
}

}  // namespace vorn
