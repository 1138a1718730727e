// A reference for matching a rule's left-hand side around an anchor: the
// backtracking search written out with plain standard containers, copying its
// state from level to level instead of undoing, and collecting every complete
// assignment it accepts instead of stopping at the first. It knows nothing of
// the engine's types; tests convert the store and the rule into the plain
// `Graph` and `Rule` below.
//
// Why the set of accepted assignments is the right oracle. The search binds
// the variables in index order. Its state after binding vertices to 0..t-1
// (used vertices, candidate vertices, frontier variables) comes from set
// unions and removals, so as a set it depends only on that partial
// assignment, not on the order in which any container was iterated. Every
// test a candidate meets (injectivity, degree, the two look-aheads, the cover
// test, at the end the dangling check) reads only that state, the rule and the
// graph. So whether a partial assignment is extended, and whether a complete
// one is accepted, is fixed by the assignment itself. The search tries every
// candidate of every level until one completion is accepted; it therefore
// finds a match exactly when this set is non-empty, and the match it returns
// is the first accepted completion in its visiting order, which a suitable
// iteration order can make any member of the set. Only the order of incidence
// lists matters, and that is part of the graph.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace vorn::reference {

struct Graph {
  std::vector<uint64_t> vertices;
  // Hyperedge id -> its ordered vertex list.
  std::map<uint64_t, std::vector<uint64_t>> edges;
  // Vertex id -> ids of the hyperedges on it, in the store's incidence order,
  // one per occurrence. Ids without an entry in `edges` are skipped where a
  // hyperedge's vertices are read, but count for the degree test and the
  // dangling check, as in the store.
  std::map<uint64_t, std::vector<uint64_t>> incidence;
};

struct Rule {
  // Patterns over variables 0..lhs_var_count-1, numbered by first appearance.
  std::vector<std::vector<std::size_t>> lhs;
  // Variables whose vertex survives; the others are deleted by the rewrite.
  std::set<std::size_t> kept;
  std::size_t lhs_var_count = 0;
};

namespace detail {

using Assignment = std::vector<uint64_t>;  // indexed by variable; bound prefix only

inline std::vector<uint64_t> incidence_of(const Graph& g, uint64_t v) {
  const auto it = g.incidence.find(v);
  return it == g.incidence.end() ? std::vector<uint64_t>{} : it->second;
}

inline bool contains_all(const std::vector<uint64_t>& list, const std::vector<uint64_t>& image) {
  for (const uint64_t v : image) {
    if (std::find(list.begin(), list.end(), v) == list.end()) return false;
  }
  return true;
}

inline bool has(const std::vector<std::size_t>& pattern, std::size_t t) {
  return std::find(pattern.begin(), pattern.end(), t) != pattern.end();
}

inline std::vector<uint64_t> image_of(const std::vector<std::size_t>& pattern, const Assignment& a) {
  std::vector<uint64_t> image;
  for (const std::size_t v : pattern) image.push_back(a[v]);
  return image;
}

// The vertices on the hyperedges of c's incidence list (c included if listed).
inline std::set<uint64_t> around(const Graph& g, uint64_t c) {
  std::set<uint64_t> out;
  for (const uint64_t e : incidence_of(g, c)) {
    const auto edge = g.edges.find(e);
    if (edge != g.edges.end()) out.insert(edge->second.begin(), edge->second.end());
  }
  return out;
}

// A pattern image is covered when it is non-empty and some hyperedge on its
// first vertex's incidence list is at least as long and contains every vertex.
inline bool covered(const Graph& g, const std::vector<uint64_t>& image) {
  if (image.empty()) return false;
  for (const uint64_t e : incidence_of(g, image.front())) {
    const auto edge = g.edges.find(e);
    if (edge != g.edges.end() && edge->second.size() >= image.size() && contains_all(edge->second, image)) {
      return true;
    }
  }
  return false;
}

// Every hyperedge on a deleted vertex must be one the patterns matched: for
// each non-empty pattern, the first hyperedge on its first image vertex's list
// that contains every image vertex (no length condition).
inline bool no_dangling(const Graph& g, const Rule& r, const Assignment& a) {
  std::set<uint64_t> matched;
  for (const auto& pattern : r.lhs) {
    if (pattern.empty()) continue;
    const std::vector<uint64_t> image = image_of(pattern, a);
    for (const uint64_t e : incidence_of(g, image.front())) {
      const auto edge = g.edges.find(e);
      if (edge != g.edges.end() && contains_all(edge->second, image)) {
        matched.insert(e);
        break;
      }
    }
  }
  for (std::size_t v = 0; v < a.size(); ++v) {
    if (r.kept.count(v)) continue;
    for (const uint64_t e : incidence_of(g, a[v])) {
      if (!matched.count(e)) return false;
    }
  }
  return true;
}

struct State {
  Assignment bound;
  std::set<uint64_t> used;
  std::set<uint64_t> candidates;
  std::set<std::size_t> frontier;
};

// Binds the next variable t = s.bound.size() to c, growing the candidates and
// the frontier.
inline State bind(const Graph& g, const Rule& r, State s, uint64_t c) {
  const std::size_t t = s.bound.size();
  s.bound.push_back(c);
  s.used.insert(c);
  for (const uint64_t x : around(g, c)) {
    if (!s.used.count(x)) s.candidates.insert(x);
  }
  s.candidates.erase(c);
  for (const auto& pattern : r.lhs) {
    if (!has(pattern, t)) continue;
    for (const std::size_t v : pattern) {
      if (v > t) s.frontier.insert(v);  // unbound: variables are bound in index order
    }
  }
  s.frontier.erase(t);
  return s;
}

inline void search(const Graph& g, const Rule& r, bool dpo, const State& s, std::set<Assignment>& out) {
  const std::size_t t = s.bound.size();
  if (t == r.lhs_var_count) {
    if (!dpo || no_dangling(g, r, s.bound)) out.insert(s.bound);
    return;
  }
  const std::set<uint64_t> all(g.vertices.begin(), g.vertices.end());
  const std::set<uint64_t> candidates = s.frontier.count(t) ? s.candidates : all;

  std::size_t occurrences = 0;
  std::set<std::size_t> mates;  // unbound variables sharing a pattern with t
  for (const auto& pattern : r.lhs) {
    occurrences += static_cast<std::size_t>(std::count(pattern.begin(), pattern.end(), t));
    if (!has(pattern, t)) continue;
    for (const std::size_t v : pattern) {
      if (v > t) mates.insert(v);
    }
  }
  std::size_t a_need = 0, b_need = 0;
  for (const std::size_t v : mates) (s.frontier.count(v) ? a_need : b_need) += 1;

  for (const uint64_t c : candidates) {
    if (s.used.count(c)) continue;
    if (incidence_of(g, c).size() < occurrences) continue;
    std::size_t in = 0, out_of = 0;
    for (const uint64_t x : around(g, c)) {
      if (x == c || s.used.count(x)) continue;
      (s.candidates.count(x) ? in : out_of) += 1;
    }
    if (a_need > 0 && in < a_need) continue;
    if (b_need > 0 && out_of < b_need) continue;

    const State next = bind(g, r, s, c);
    bool all_covered = true;
    for (const auto& pattern : r.lhs) {
      const bool complete =
          std::all_of(pattern.begin(), pattern.end(), [&](std::size_t v) { return v < next.bound.size(); });
      if (complete && !covered(g, image_of(pattern, next.bound))) {
        all_covered = false;
        break;
      }
    }
    if (all_covered) search(g, r, dpo, next, out);
  }
}

}  // namespace detail

// Every complete assignment (vertex per variable, indexed by variable) that
// the backtracking search may return for `anchor` under some iteration order
// of its containers. Empty when there is no match.
inline std::set<std::vector<uint64_t>> accepted_matches(const Graph& g, const Rule& r, uint64_t anchor,
                                                        bool dpo) {
  std::set<std::vector<uint64_t>> out;
  if (r.lhs.empty()) {
    out.insert(std::vector<uint64_t>{});  // the empty assignment
    return out;
  }
  const bool anchor_exists = std::find(g.vertices.begin(), g.vertices.end(), anchor) != g.vertices.end();
  if (r.lhs_var_count == 0 || !anchor_exists) return out;
  // Variable 0 takes the anchor without any test.
  detail::State s;
  s.bound.push_back(anchor);
  s.used.insert(anchor);
  for (const auto& pattern : r.lhs) {
    if (!detail::has(pattern, 0)) continue;
    for (const std::size_t v : pattern) {
      if (v != 0) s.frontier.insert(v);
    }
  }
  for (const uint64_t x : detail::around(g, anchor)) {
    if (x != anchor) s.candidates.insert(x);
  }
  detail::search(g, r, dpo, s, out);
  return out;
}

}  // namespace vorn::reference
