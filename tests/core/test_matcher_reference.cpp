// The matcher against the brute-force reference of
// tests/support/reference_matcher.hpp, on random small graphs and rules: for
// every anchor the engine must find a match exactly when the reference
// accepts some assignment, and return one of those.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "grammar/matcher.hpp"
#include "grammar/rewrite_rule.hpp"
#include "hypergraph/hypergraph.hpp"
#include "support/access.hpp"
#include "support/find_match.hpp"
#include "support/nested.hpp"
#include "support/reference_matcher.hpp"

using namespace vorn;

namespace {

// The engine seen through two adapters; nothing else below reads the
// matcher's types.

reference::Graph graph_of(const Hypergraph& g) {
  reference::Graph out;
  std::set<uint64_t> named;
  g.for_each_vertex([&](Slot s) {
    out.vertices.push_back(g.id_of(s));
    named.insert(g.id_of(s));
  });
  std::sort(out.vertices.begin(), out.vertices.end());
  g.for_each_hyperedge([&](EdgeSlot e) {
    std::vector<uint64_t>& list = out.edges[g.edge_id(e)];
    for (const Slot s : g.members(e)) {
      list.push_back(g.id_of(s));
      named.insert(g.id_of(s));
    }
  });
  for (const uint64_t v : named) {
    if (g.has_incidence_list(v)) out.incidence[v] = g.edges_containing(v);
  }
  return out;
}

std::optional<std::vector<uint64_t>> engine_match(const RewriteRule& rule, const Hypergraph& g,
                                                  uint64_t anchor, bool dpo) {
  return find_match(rule, g, anchor, dpo);
}

struct RandomRule {
  NamePatterns lhs;
  std::vector<std::string> kept;
  reference::Rule ref;
  bool repeated_name = false;  // some pattern names a variable twice
  bool empty_pattern = false;
  bool disconnected = false;  // the patterns fall into two or more groups
  bool deletes = false;       // some variable is not kept
};

int below(std::mt19937_64& gen, int n) { return static_cast<int>(gen() % static_cast<uint64_t>(n)); }

RandomRule random_rule(std::mt19937_64& gen) {
  static const std::vector<std::string> names = {"a", "b", "c", "d"};
  RandomRule r;
  const int patterns = below(gen, 30) == 0 ? 0 : 1 + below(gen, 3) + below(gen, 2);
  const int pool = 1 + below(gen, 4);
  for (int p = 0; p < patterns; ++p) {
    std::vector<std::string> pattern;
    const int length = below(gen, 15) == 0 ? 0 : 1 + below(gen, 3);
    for (int k = 0; k < length; ++k) pattern.push_back(names[below(gen, pool)]);
    r.lhs.push_back(pattern);
  }
  std::map<std::string, std::size_t> index;
  for (const auto& pattern : r.lhs) {
    std::vector<std::size_t> indices;
    for (const auto& name : pattern) {
      indices.push_back(index.emplace(name, index.size()).first->second);
    }
    r.repeated_name |= std::set<std::size_t>(indices.begin(), indices.end()).size() < indices.size();
    r.empty_pattern |= indices.empty();
    r.ref.lhs.push_back(indices);
  }
  r.ref.lhs_var_count = index.size();
  for (const auto& [name, i] : index) {
    if (below(gen, 5) < 3) {
      r.kept.push_back(name);
      r.ref.kept.insert(i);
    } else {
      r.deletes = true;
    }
  }
  // Groups of variables linked by shared patterns (a tiny union-find).
  std::vector<std::size_t> group(index.size());
  for (std::size_t i = 0; i < group.size(); ++i) group[i] = i;
  const auto root = [&](std::size_t i) {
    while (group[i] != i) i = group[i];
    return i;
  };
  for (const auto& pattern : r.ref.lhs) {
    for (const std::size_t v : pattern) group[root(v)] = root(pattern.front());
  }
  for (std::size_t i = 0; i < group.size(); ++i) r.disconnected |= root(i) != root(0);
  return r;
}

// A graph of 1..10 vertices and hyperedges of length 0..4 (repeats allowed).
// Some hyperedges are removed; some of those come back under their old id as
// a rollback puts them back, at the end of the incidence lists, so incidence
// order is not creation order. In about a third of the graphs a vertex is
// removed while hyperedges still name it, as the store allows, and later
// hyperedges may name it again, so its incidence entry lists only some of its
// hyperedges. Rewrites never leave such a store, but the search is defined on
// it, and only there can the look-ahead over old frontier variables, or the
// choice of which incidence list the cover test scans, change a result.
struct RandomGraph {
  Hypergraph g;
  std::vector<VertexId> anchors;  // every vertex, plus one id that names none
  bool removed_vertex = false;
};

void random_graph(std::mt19937_64& gen, RandomGraph& out) {
  Hypergraph& g = out.g;
  std::vector<VertexId> ids;
  const int n = 1 + below(gen, 10);
  for (int i = 0; i < n; ++i) ids.push_back(g.add_vertex());
  std::optional<VertexId> removed_vertex;
  const int m = below(gen, 2 * n + 3);
  std::vector<EdgeId> edges;
  for (int i = 0; i < m; ++i) {
    if (!removed_vertex && n > 2 && below(gen, 3 * m) == 0) {
      removed_vertex = ids[below(gen, n)];
      g.remove_vertex(*removed_vertex);
    }
    std::vector<VertexId> list;
    const int length = std::min(below(gen, 6), 4);
    for (int k = 0; k < length; ++k) list.push_back(ids[below(gen, n)]);
    edges.push_back(g.add_hyperedge(list));
  }
  for (const EdgeId e : edges) {
    if (below(gen, 4) != 0) continue;
    std::optional<EdgeSlot> slot;
    g.for_each_hyperedge([&](EdgeSlot f) {
      if (g.edge_id(f) == e) slot = f;
    });
    if (!slot) continue;
    // Removed as a rewrite removes it, and put back by executing the record.
    UndoRecord record;
    g.begin_rewrite(record);
    g.remove_hyperedge(*slot, record);
    g.end_rewrite(record);
    if (below(gen, 2) == 0) g.execute_undo_record(record);
  }
  g.for_each_vertex([&](Slot s) { out.anchors.push_back(g.id_of(s)); });
  std::sort(out.anchors.begin(), out.anchors.end());
  out.anchors.push_back(removed_vertex ? *removed_vertex : ids.back() + 1000);
  out.removed_vertex = removed_vertex.has_value();
}

std::string describe(const RandomRule& r, const reference::Graph& g, uint64_t anchor, bool dpo) {
  std::ostringstream s;
  s << (dpo ? "DPO" : "SPO") << " anchor " << anchor << "\nlhs";
  for (const auto& p : r.ref.lhs) {
    s << " [";
    for (const std::size_t v : p) s << ' ' << v;
    s << " ]";
  }
  s << "\nkept";
  for (const std::size_t v : r.ref.kept) s << ' ' << v;
  s << "\nvertices";
  for (const uint64_t v : g.vertices) s << ' ' << v;
  s << "\nhyperedges";
  for (const auto& [e, list] : g.edges) {
    s << ' ' << e << ":(";
    for (const uint64_t v : list) s << ' ' << v;
    s << " )";
  }
  s << "\nincidence";
  for (const auto& [v, ids] : g.incidence) {
    s << ' ' << v << ":[";
    for (const uint64_t e : ids) s << ' ' << e;
    s << " ]";
  }
  return s.str();
}

struct Tally {
  int matched = 0, unmatched = 0;
  void add(bool m) { ++(m ? matched : unmatched); }
};

}  // namespace

TEST(MatcherReference, RandomGraphsAndRulesAgreeWithBruteForce) {
  std::mt19937_64 gen(20240611);
  Tally all, dpo_deleting, spo, repeated, disconnected, empty_pattern, removed_vertex_graphs;
  for (int round = 0; round < 700; ++round) {
    RandomGraph rg;
    random_graph(gen, rg);
    const reference::Graph graph = graph_of(rg.g);
    for (int k = 0; k < 4; ++k) {
      const RandomRule r = random_rule(gen);
      const RewriteRule rule = RewriteRule::compile(r.lhs, r.kept, {}, 1.0);
      ASSERT_EQ(nested(rule.lhs), r.ref.lhs);
      ASSERT_EQ(rule.lhs_var_count, r.ref.lhs_var_count);
      for (const bool dpo : {true, false}) {
        for (const VertexId anchor : rg.anchors) {
          const auto expected = reference::accepted_matches(graph, r.ref, anchor, dpo);
          const auto got = engine_match(rule, rg.g, anchor, dpo);
          ASSERT_EQ(got.has_value(), !expected.empty()) << describe(r, graph, anchor, dpo);
          if (got) {
            ASSERT_TRUE(expected.count(*got)) << describe(r, graph, anchor, dpo);
          }
          const bool m = got.has_value();
          all.add(m);
          if (dpo && r.deletes) dpo_deleting.add(m);
          if (!dpo) spo.add(m);
          if (r.repeated_name) repeated.add(m);
          if (r.disconnected) disconnected.add(m);
          if (r.empty_pattern) empty_pattern.add(m);
          if (rg.removed_vertex) removed_vertex_graphs.add(m);
        }
      }
    }
  }
  std::cout << "cases " << all.matched + all.unmatched << ": " << all.matched << " matched, " << all.unmatched
            << " not\n";
  for (const Tally* t : {&all, &dpo_deleting, &spo, &repeated, &disconnected}) {
    EXPECT_GT(t->matched, 300);
    EXPECT_GT(t->unmatched, 300);
  }
  // An empty pattern matches only in one-variable rules.
  EXPECT_GT(empty_pattern.matched, 20);
  EXPECT_GT(empty_pattern.unmatched, 300);
  EXPECT_GT(removed_vertex_graphs.matched + removed_vertex_graphs.unmatched, 300);
}
