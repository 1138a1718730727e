#include "hypergraph/consistency.hpp"

#include <string>

#include "absl/container/flat_hash_map.h"

namespace vorn {

namespace {

class Report {
 public:
  explicit Report(std::size_t limit) : limit_(limit) {}
  bool full() const { return lines_.size() >= limit_; }
  void add(std::string line) {
    if (!full()) lines_.push_back(std::move(line));
  }
  std::vector<std::string> take() { return std::move(lines_); }

 private:
  std::size_t limit_;
  std::vector<std::string> lines_;
};

std::string id(uint64_t v) { return std::to_string(v); }

void check_vertex_list(const Hypergraph& g, Report& report) {
  if (g.vertex_list.size() != g.vertices.size()) {
    report.add("vertex_list holds " + id(g.vertex_list.size()) + " ids but there are " +
               id(g.vertices.size()) + " vertices");
  }
  if (g.vertex_positions.size() != g.vertices.size()) {
    report.add("vertex_positions holds " + id(g.vertex_positions.size()) +
               " entries but there are " + id(g.vertices.size()) + " vertices");
  }
  for (std::size_t i = 0; i < g.vertex_list.size() && !report.full(); ++i) {
    const VertexId v = g.vertex_list[i];
    if (!g.vertices.contains(v)) report.add("vertex_list[" + id(i) + "] = " + id(v) + " is no vertex");
    const auto pos = g.vertex_positions.find(v);
    if (pos == g.vertex_positions.end()) {
      report.add("vertex " + id(v) + " in vertex_list has no position");
    } else if (pos->second != i) {
      report.add("vertex " + id(v) + " stands at " + id(i) + " but its position says " +
                 id(pos->second));
    }
  }
  for (const auto& [v, vertex] : g.vertices) {
    if (report.full()) return;
    if (vertex.id != v) report.add("vertex filed under " + id(v) + " carries id " + id(vertex.id));
    if (!g.vertex_positions.contains(v)) report.add("vertex " + id(v) + " has no position");
  }
}

void check_hyperedges(const Hypergraph& g, Report& report) {
  // Expected incidence: vertex -> hyperedge -> occurrences.
  absl::flat_hash_map<VertexId, absl::flat_hash_map<EdgeId, uint64_t>> expected;
  for (const auto& [e, edge] : g.hyperedges) {
    if (edge.id != e) report.add("hyperedge filed under " + id(e) + " carries id " + id(edge.id));
    for (const VertexId v : edge.vertices) {
      if (!g.vertices.contains(v)) report.add("hyperedge " + id(e) + " names dead vertex " + id(v));
      ++expected[v][e];
    }
  }
  for (const auto& [v, entry] : g.incidence) {
    if (report.full()) return;
    absl::flat_hash_map<EdgeId, uint64_t> actual;
    for (const EdgeId e : entry) ++actual[e];
    const auto want = expected.find(v);
    for (const auto& [e, n] : actual) {
      const uint64_t w =
          want == expected.end() ? 0 : (want->second.contains(e) ? want->second.at(e) : 0);
      if (n != w) {
        report.add("incidence of " + id(v) + " holds hyperedge " + id(e) + " " + id(n) +
                   " times, expected " + id(w));
      }
    }
  }
  for (const auto& [v, edges] : expected) {
    if (report.full()) return;
    const auto entry = g.incidence.find(v);
    for (const auto& [e, n] : edges) {
      uint64_t have = 0;
      if (entry != g.incidence.end()) {
        for (const EdgeId x : entry->second) have += x == e ? 1 : 0;
      }
      if (have != n) {
        report.add("hyperedge " + id(e) + " holds vertex " + id(v) + " " + id(n) +
                   " times but its incidence entry lists it " + id(have) + " times");
      }
    }
  }
}

void check_causal(const Hypergraph& g, Report& report) {
  g.causal.sync();
  for (const auto& [v, vertex] : g.vertices) {
    if (report.full()) return;
    const CausalLinks* links = g.causal.links(v);
    if (links == nullptr) {
      report.add("live vertex " + id(v) + " has no causal links");
    } else if (links->depth < 1) {
      report.add("live vertex " + id(v) + " has causal depth 0");
    }
    const FixedBitSet* past = g.causal.past(v);
    if (past == nullptr) {
      report.add("live vertex " + id(v) + " has no causal past set");
    } else if (!past->contains(v)) {
      report.add("causal past of " + id(v) + " lacks its own bit");
    }
    const FixedBitSet* future = g.causal.future(v);
    if (future == nullptr) {
      report.add("live vertex " + id(v) + " has no causal future set");
    } else if (!future->contains(v)) {
      report.add("causal future of " + id(v) + " lacks its own bit");
    }
  }
  if (g.causal.pending() != 0) report.add("causal log not empty after a read");
}

}  // namespace

std::vector<std::string> check_consistency(const Hypergraph& graph, std::size_t limit) {
  Report report(limit);
  check_vertex_list(graph, report);
  check_hyperedges(graph, report);
  check_causal(graph, report);
  return report.take();
}

}  // namespace vorn
