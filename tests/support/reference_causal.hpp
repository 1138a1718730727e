// A reference for the causal relation: every write propagated at once, with
// plain standard containers, written from the definition and nothing else
// (no log, no shared storage, no cache). Tests compare the engine's deferred
// CausalGraph against it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "hypergraph/causal_graph.hpp"

namespace vorn::reference {

// A bit set with a length: bits only below the length.
struct Bits {
  uint64_t length = 0;
  std::set<uint64_t> ones;
  void grow(uint64_t n) { length = std::max(length, n); }
  bool contains(uint64_t i) const { return i < length && ones.count(i) != 0; }
  void union_with(const Bits& o) {
    grow(o.length);
    ones.insert(o.ones.begin(), o.ones.end());
  }
};

struct Links {
  uint64_t depth = 1;
  std::vector<uint64_t> causes, effects;
};

class Causal {
 public:
  std::map<uint64_t, Links> links;
  std::map<uint64_t, Bits> future, past;

  void create(uint64_t id, uint64_t capacity) {
    future[id] = own(id, capacity);
    past[id] = own(id, capacity);
    links[id] = Links{};
    if (in_step_) created_.push_back(id);
  }

  void relate(uint64_t a, uint64_t b, uint64_t horizon, uint64_t capacity) {
    if (future.count(a) && future[a].contains(b)) return;
    const uint64_t da = depth(a);
    if (links.count(b)) links[b].depth = std::max(links[b].depth, da + 1);
    if (links.count(a) && !has(links[a].effects, b)) links[a].effects.push_back(b);
    if (links.count(b) && !has(links[b].causes, a)) links[b].causes.push_back(a);
    const uint64_t db = depth(b);
    const uint64_t limit = horizon == 0 ? std::numeric_limits<uint64_t>::max() : horizon;
    Bits pa = past.count(a) ? past[a] : Bits{capacity, {}};
    Bits fb = future.count(b) ? future[b] : Bits{capacity, {}};
    const uint64_t n = std::max(pa.length, fb.length);
    const uint64_t t = causal_set_length(n, capacity);
    if (pa.length < n) pa.grow(t);
    if (fb.length < n) fb.grow(t);
    search(a, da, limit, n, t, fb, /*backward=*/true);
    search(b, db, limit, n, t, pa, /*backward=*/false);
  }

  // remove_vertex's causal part; inside a step, first saves the causal data
  // of the vertex and of its past and future (the first copy in a step wins).
  void remove(uint64_t v) {
    if (in_step_) {
      std::set<uint64_t> around{v};
      if (past.count(v)) around.insert(past[v].ones.begin(), past[v].ones.end());
      if (future.count(v)) around.insert(future[v].ones.begin(), future[v].ones.end());
      for (const uint64_t u : around) {
        if (future.count(u)) saved_future_.emplace(u, future[u]);
        if (past.count(u)) saved_past_.emplace(u, past[u]);
        if (links.count(u)) {
          saved_causes_.emplace(u, links[u].causes);
          saved_effects_.emplace(u, links[u].effects);
        }
      }
    }
    if (past.count(v)) {
      for (const uint64_t x : std::set<uint64_t>(past[v].ones)) {
        if (future.count(x)) future[x].ones.erase(v);
      }
    }
    if (future.count(v)) {
      for (const uint64_t y : std::set<uint64_t>(future[v].ones)) {
        if (past.count(y)) past[y].ones.erase(v);
      }
    }
    if (links.count(v) && in_step_) removed_.emplace_back(v, links[v]);
    drop(v);
  }

  void drop(uint64_t v) {
    links.erase(v);
    future.erase(v);
    past.erase(v);
  }

  void begin_step() {
    in_step_ = true;
    created_.clear();
    removed_.clear();
    saved_future_.clear();
    saved_past_.clear();
    saved_causes_.clear();
    saved_effects_.clear();
  }
  void end_step() { in_step_ = false; }

  // The undo of the last step: created vertices go, removed ones get their
  // links back, and the saved data replaces what is there.
  void undo() {
    for (const uint64_t c : created_) drop(c);
    for (const auto& [v, l] : removed_) links[v] = l;
    for (const auto& [v, s] : saved_future_) future[v] = s;
    for (const auto& [v, s] : saved_past_) past[v] = s;
    for (const auto& [v, l] : saved_causes_) {
      if (links.count(v)) links[v].causes = l;
    }
    for (const auto& [v, l] : saved_effects_) {
      if (links.count(v)) links[v].effects = l;
    }
    begin_step();
    in_step_ = false;
  }

 private:
  static bool has(const std::vector<uint64_t>& list, uint64_t x) {
    return std::find(list.begin(), list.end(), x) != list.end();
  }
  static Bits own(uint64_t id, uint64_t capacity) {
    Bits s{capacity, {}};
    if (s.length <= id) {
      s.grow(causal_set_length(capacity, id == std::numeric_limits<uint64_t>::max() ? id : id + 1));
    }
    s.ones.insert(id);
    return s;
  }
  uint64_t depth(uint64_t v) const {
    const auto it = links.find(v);
    return it == links.end() ? 1 : it->second.depth;
  }
  void search(uint64_t start, uint64_t start_depth, uint64_t limit, uint64_t n, uint64_t t,
              const Bits& source, bool backward) {
    std::set<uint64_t> visited{start};
    std::deque<uint64_t> queue{start};
    while (!queue.empty()) {
      const uint64_t x = queue.front();
      queue.pop_front();
      const uint64_t dx = depth(x);
      if (backward ? (start_depth > dx && start_depth - dx > limit)
                   : (dx > start_depth && dx - start_depth > limit)) {
        continue;
      }
      auto& sets = backward ? future : past;
      if (sets.count(x)) {
        if (sets[x].length < n) sets[x].grow(t);
        sets[x].union_with(source);
      }
      if (!links.count(x)) continue;
      for (const uint64_t next : backward ? links[x].causes : links[x].effects) {
        if (visited.insert(next).second) queue.push_back(next);
      }
    }
  }

  bool in_step_ = false;
  std::vector<uint64_t> created_;
  std::vector<std::pair<uint64_t, Links>> removed_;
  std::map<uint64_t, Bits> saved_future_, saved_past_;
  std::map<uint64_t, std::vector<uint64_t>> saved_causes_, saved_effects_;
};

}  // namespace vorn::reference
