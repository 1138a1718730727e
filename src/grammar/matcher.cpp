#include "grammar/matcher.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace vorn {

namespace {

const std::vector<EdgeId>& incidence_of(const Hypergraph& graph, VertexId v) {
  static const std::vector<EdgeId> kNone;
  const auto it = graph.incidence.find(v);
  return it == graph.incidence.end() ? kNone : it->second;
}

bool contains_all(const std::vector<VertexId>& list, const std::vector<VertexId>& image) {
  for (const VertexId v : image) {
    if (std::find(list.begin(), list.end(), v) == list.end()) return false;
  }
  return true;
}

void image_into(const std::vector<VarIndex>& pattern, const MatchState& state,
                std::vector<VertexId>& image) {
  image.clear();
  for (const VarIndex v : pattern) image.push_back(state.bindings.at(v));
}

std::vector<VertexId> image_of(const std::vector<VarIndex>& pattern, const MatchState& state) {
  std::vector<VertexId> image;
  image_into(pattern, state, image);
  return image;
}

// Buffers of one level of the search, kept per thread and per depth so that
// a search allocates nothing once they have grown.
struct LevelScratch {
  std::vector<VertexId> candidates;
  std::vector<VertexId> inside;   // distinct neighbours of c among the candidates
  std::vector<VertexId> outside;  // distinct neighbours of c outside them
  std::vector<VertexId> added_candidates;
  std::vector<VarIndex> added_frontier;
  std::vector<VertexId> image;
};

LevelScratch& level_scratch(std::size_t t) {
  thread_local std::vector<std::unique_ptr<LevelScratch>> levels;
  while (levels.size() <= t) levels.push_back(std::make_unique<LevelScratch>());
  return *levels[t];
}

// Under DPO: no vertex to be deleted may lie on a hyperedge outside the
// matched-edge set (the first hyperedge found for each pattern's image).
bool dangling_check(const RewriteRule& rule, const MatchState& state, const Hypergraph& graph) {
  bool deletes = false;
  for (const auto& [v, x] : state.bindings) {
    if (!rule.kept.contains(v)) {
      deletes = true;
      break;
    }
  }
  if (!deletes) return true;
  absl::flat_hash_set<EdgeId> matched;
  for (const auto& pattern : rule.lhs) {
    if (pattern.empty()) continue;
    const std::vector<VertexId> image = image_of(pattern, state);
    for (const EdgeId e : incidence_of(graph, image.front())) {
      const auto edge = graph.hyperedges.find(e);
      if (edge != graph.hyperedges.end() && contains_all(edge->second.vertices, image)) {
        matched.insert(e);
        break;
      }
    }
  }
  for (const auto& [v, x] : state.bindings) {
    if (rule.kept.contains(v)) continue;
    for (const EdgeId e : incidence_of(graph, x)) {
      if (!matched.contains(e)) return false;
    }
  }
  return true;
}

// The counting look-aheads: whether c's neighbourhood (the distinct unbound
// vertices other than c on c's hyperedges) holds at least `need_in` vertices
// that are candidates and `need_out` that are not. Stops as soon as both
// counts are reached; a zero need is not checked.
bool enough_neighbours(const Hypergraph& graph, VertexId c, const MatchState& state,
                       std::size_t need_in, std::size_t need_out, std::vector<VertexId>& inside,
                       std::vector<VertexId>& outside) {
  inside.clear();
  outside.clear();
  const auto done = [&] {
    return inside.size() >= need_in && outside.size() >= need_out;
  };
  for (const EdgeId e : incidence_of(graph, c)) {
    const auto edge = graph.hyperedges.find(e);
    if (edge == graph.hyperedges.end()) continue;
    for (const VertexId x : edge->second.vertices) {
      if (x == c || state.used_vertices.contains(x)) continue;
      const bool is_candidate = state.candidate_vertices.contains(x);
      auto& side = is_candidate ? inside : outside;
      // Only counts up to the need matter, which keeps the lists short.
      if (side.size() < (is_candidate ? need_in : need_out) &&
          std::find(side.begin(), side.end(), x) == side.end()) {
        side.push_back(x);
        if (done()) return true;
      }
    }
  }
  return done();
}

}  // namespace

bool image_covered(const Hypergraph& graph, const std::vector<VertexId>& image) {
  if (image.empty()) return false;
  // A covering hyperedge contains every image vertex, so it lies on the
  // incidence list of each of them: scanning the shortest list decides the
  // same as scanning the first vertex's. That holds while every image vertex
  // is a live vertex, whose incidence entry lists all its hyperedges; for ids
  // without a record, scan the first vertex's list as defined.
  const std::vector<EdgeId>* scan = &incidence_of(graph, image.front());
  if (scan->size() > 4) {
    bool all_live = graph.vertices.contains(image.front());
    for (std::size_t i = 1; i < image.size() && all_live; ++i) {
      if (!graph.vertices.contains(image[i])) {
        all_live = false;
        break;
      }
      const std::vector<EdgeId>& other = incidence_of(graph, image[i]);
      if (other.size() < scan->size()) scan = &other;
    }
    if (!all_live) scan = &incidence_of(graph, image.front());
  }
  for (const EdgeId e : *scan) {
    const auto edge = graph.hyperedges.find(e);
    if (edge == graph.hyperedges.end()) continue;
    const auto& list = edge->second.vertices;
    if (list.size() >= image.size() && contains_all(list, image)) return true;
  }
  return false;
}

bool backtrack_search(const RewriteRule& rule, std::size_t t, std::size_t n, MatchState& state,
                      const Hypergraph& graph, bool dpo) {
  if (t >= n) return !dpo || dangling_check(rule, state, graph);

  // Candidates: the neighbourhood of the bound vertices when t is adjacent to
  // a bound variable, every vertex otherwise; snapshot once per level.
  const bool t_in_frontier = state.frontier_vars.contains(t);
  LevelScratch& scratch = level_scratch(t);
  std::vector<VertexId>& candidates = scratch.candidates;
  candidates.clear();
  if (t_in_frontier) {
    candidates.assign(state.candidate_vertices.begin(), state.candidate_vertices.end());
  } else {
    candidates.reserve(graph.vertices.size());
    for (const auto& [v, vertex] : graph.vertices) candidates.push_back(v);
  }
  if (candidates.empty()) return false;

  // The look-ahead counts depend on the level only: unbound neighbours of t
  // already in the frontier (A) and not yet in it (B).
  std::size_t a_count = 0;
  std::size_t b_count = 0;
  for (const VarIndex v : rule.lhs_neighbours[t]) {
    if (state.bindings.contains(v)) continue;
    if (state.frontier_vars.contains(v)) {
      ++a_count;
    } else {
      ++b_count;
    }
  }
  const auto occurrences = rule.lhs_occurrences.find(t);
  const std::size_t needed_degree =
      occurrences == rule.lhs_occurrences.end() ? 0 : occurrences->second;

  std::vector<VertexId>& inside = scratch.inside;
  std::vector<VertexId>& outside = scratch.outside;
  std::vector<VertexId>& added_candidates = scratch.added_candidates;
  std::vector<VarIndex>& added_frontier = scratch.added_frontier;
  const bool last_level = t + 1 >= n;
  for (const VertexId c : candidates) {
    if (state.used_vertices.contains(c)) continue;
    if (incidence_of(graph, c).size() < needed_degree) continue;
    if ((a_count > 0 || b_count > 0) &&
        !enough_neighbours(graph, c, state, a_count, b_count, inside, outside)) {
      continue;
    }

    // Bind t to c.
    state.bindings.emplace(t, c);
    state.used_vertices.insert(c);
    const bool c_was_candidate = state.candidate_vertices.contains(c);
    added_candidates.clear();
    // After the last variable nothing reads the candidates: skip growing them.
    if (!last_level) {
      for (const EdgeId e : incidence_of(graph, c)) {
        const auto edge = graph.hyperedges.find(e);
        if (edge == graph.hyperedges.end()) continue;
        for (const VertexId x : edge->second.vertices) {
          if (!state.used_vertices.contains(x) && state.candidate_vertices.insert(x).second) {
            added_candidates.push_back(x);
          }
        }
      }
    }
    state.candidate_vertices.erase(c);
    added_frontier.clear();
    for (const VarIndex v : rule.lhs_neighbours[t]) {
      if (!state.bindings.contains(v) && state.frontier_vars.insert(v).second) {
        added_frontier.push_back(v);
      }
    }
    state.frontier_vars.erase(t);

    // Cover test of the patterns completed by this binding (the others were
    // tested at the level that completed them, against the same graph).
    bool covered = true;
    for (const std::size_t p : rule.cover_tests[t]) {
      image_into(rule.lhs[p], state, scratch.image);
      if (!image_covered(graph, scratch.image)) {
        covered = false;
        break;
      }
    }
    if (covered && backtrack_search(rule, t + 1, n, state, graph, dpo)) return true;

    // Undo exactly what this binding changed.
    state.bindings.erase(t);
    state.used_vertices.erase(c);
    for (const VertexId x : added_candidates) state.candidate_vertices.erase(x);
    if (c_was_candidate) state.candidate_vertices.insert(c);
    for (const VarIndex v : added_frontier) state.frontier_vars.erase(v);
    if (t_in_frontier) state.frontier_vars.insert(t);
  }
  return false;
}

bool find_match_into(const RewriteRule& rule, const Hypergraph& graph, VertexId anchor, bool dpo,
                     MatchState& state) {
  state.bindings.clear();
  state.used_vertices.clear();
  state.candidate_vertices.clear();
  state.frontier_vars.clear();
  if (rule.lhs.empty()) return true;
  // An anchor that names no vertex here (id 0 on an empty graph) matches
  // nothing: hyperedges over it would name a vertex of no graph, or another's.
  if (rule.lhs_var_count == 0 || !graph.vertices.contains(anchor)) return false;
  state.bindings.emplace(0, anchor);
  state.used_vertices.insert(anchor);
  for (const VarIndex v : rule.lhs_neighbours[0]) state.frontier_vars.insert(v);
  for (const EdgeId e : incidence_of(graph, anchor)) {
    const auto edge = graph.hyperedges.find(e);
    if (edge == graph.hyperedges.end()) continue;
    for (const VertexId x : edge->second.vertices) {
      if (!state.used_vertices.contains(x)) state.candidate_vertices.insert(x);
    }
  }
  return backtrack_search(rule, 1, rule.lhs_var_count, state, graph, dpo);
}

std::optional<MatchState> find_match(const RewriteRule& rule, const Hypergraph& graph,
                                     VertexId anchor, bool dpo) {
  MatchState state;
  if (find_match_into(rule, graph, anchor, dpo, state)) return state;
  return std::nullopt;
}

}  // namespace vorn
