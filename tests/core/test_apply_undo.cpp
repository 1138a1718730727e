// Rule application and its undo record; rollback restores the store exactly
// where the record promises it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "grammar/apply.hpp"
#include "grammar/matcher.hpp"

using namespace vorn;

namespace {

// Everything a rollback must restore, in a comparable form.
struct Snapshot {
  std::vector<VertexId> vertices;
  std::multiset<std::vector<VertexId>> edges;
  std::map<VertexId, std::size_t> degrees;
  uint64_t pairs;
  std::map<VertexId, std::vector<uint64_t>> past, future;
  std::map<VertexId, std::vector<VertexId>> causes, effects;
  std::map<VertexId, uint64_t> depth;
  std::map<VertexId, std::map<std::string, double>> observables;

  explicit Snapshot(Hypergraph& g) : pairs(g.structural_pair_count()) {
    g.for_each_vertex([&](Slot s) {
      const VertexId v = g.id_of(s);
      vertices.push_back(v);
      degrees[v] = g.edges_containing(v).size();
      past[v] = g.causal().past(v)->ones();
      future[v] = g.causal().future(v)->ones();
      causes[v] = g.causal().links(v)->causes;
      effects[v] = g.causal().links(v)->effects;
      depth[v] = g.causal().links(v)->depth;
      const Observables& o = *g.observables(v);
      observables[v] = std::map<std::string, double>(o.begin(), o.end());
    });
    std::sort(vertices.begin(), vertices.end());
    g.for_each_hyperedge([&](EdgeSlot e) {
      std::vector<VertexId> list;
      for (const Slot m : g.members(e)) list.push_back(g.id_of(m));
      edges.insert(list);
    });
  }
  bool operator==(const Snapshot&) const = default;
};

MatchState bound(const RewriteRule& rule, const Hypergraph& g,
                 std::initializer_list<std::pair<VarIndex, VertexId>> pairs) {
  MatchState m;
  m.binding.assign(rule.var_count, kNoSlot);
  for (const auto& [var, v] : pairs) m.binding[var] = *g.slot_of(v);
  return m;
}

UndoRecord apply(const RewriteRule& rule, Hypergraph& g, MatchState match) {
  UndoRecord record;
  apply_match(rule, g, match, record);
  return record;
}

std::set<EdgeId> removed_edges(const UndoRecord& r) {
  std::set<EdgeId> out;
  for (const auto& e : r.removed_edges) out.insert(e.id);
  return out;
}

}  // namespace

TEST(Apply, DeletingRuleUnderSpoAndItsRollback) {
  Hypergraph g;
  const VertexId v10 = g.add_vertex(), v11 = g.add_vertex(), v12 = g.add_vertex();
  const EdgeId e5 = g.add_hyperedge({v10, v11});
  const EdgeId e6 = g.add_hyperedge({v11, v12});
  g.set_observable(v11, "mass", 1.5);
  // Related to the deleted vertex, so their causal data is saved as well.
  g.add_causal_relation(v10, v11);
  g.add_causal_relation(v11, v12);
  const Snapshot before(g);

  const RewriteRule rule = RewriteRule::compile({{"a", "b"}}, {"a"}, {{"a", "c"}, {"c", "b2"}}, 1.0);
  UndoRecord record = apply(rule, g, bound(rule, g, {{0, v10}, {1, v11}}));
  EXPECT_EQ(removed_edges(record), (std::set<EdgeId>{e5, e6}));
  ASSERT_EQ(record.removed_vertices.size(), 1u);
  ASSERT_TRUE(record.removed_vertices[0].has_observables);
  EXPECT_EQ(record.removed_observables.at(0).at("mass"), 1.5);
  ASSERT_EQ(record.created_vertices.size(), 2u);
  ASSERT_EQ(record.created_edges.size(), 2u);
  const VertexId c = record.created_vertices[0].id, b2 = record.created_vertices[1].id;
  EXPECT_LT(c, b2);
  EXPECT_EQ(g.hyperedge(record.created_edges[0].id)->vertices, (std::vector<VertexId>{v10, c}));
  EXPECT_EQ(g.hyperedge(record.created_edges[1].id)->vertices, (std::vector<VertexId>{c, b2}));
  EXPECT_EQ(g.causal().links(c)->causes, (std::vector<VertexId>{v10}));
  EXPECT_TRUE(g.causal().future(v10)->contains(b2));  // propagated, not direct
  EXPECT_FALSE(g.has_vertex(v11));

  g.execute_undo_record(record);
  EXPECT_TRUE(Snapshot(g) == before);
  EXPECT_EQ(g.observables(v11)->at("mass"), 1.5);
}

TEST(Apply, PatternsRemoveOneHyperedgeOfExactLengthEach) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex();
  const EdgeId longer = g.add_hyperedge({a, b, c});
  const EdgeId ba = g.add_hyperedge({b, a});
  const EdgeId ab = g.add_hyperedge({a, b});
  const RewriteRule rule = RewriteRule::compile({{"x", "y"}}, {"x", "y"}, {}, 1.0);
  UndoRecord record = apply(rule, g, bound(rule, g, {{0, a}, {1, b}}));
  // The first length-2 hyperedge on a's list holding both: (b, a).
  EXPECT_EQ(removed_edges(record), (std::set<EdgeId>{ba}));
  EXPECT_TRUE(g.hyperedge(longer) && g.hyperedge(ab));
  // Two equal patterns remove two distinct hyperedges.
  const RewriteRule twice = RewriteRule::compile({{"x", "y"}, {"x", "y"}}, {"x", "y"}, {}, 1.0);
  g.add_hyperedge({b, a});
  UndoRecord r2 = apply(twice, g, bound(twice, g, {{0, a}, {1, b}}));
  EXPECT_EQ(r2.removed_edges.size(), 2u);
  EXPECT_EQ(g.edge_count(), 1u);  // only the longer one is left
}

TEST(Apply, EmptyLhsCreatesOneVertexPerNameAndRecordsCausality) {
  Hypergraph g;
  const RewriteRule rule = RewriteRule::compile({}, {}, {{"a", "b", "c"}, {}, {"a"}, {"c", "c"}}, 1.0);
  UndoRecord record = apply(rule, g, bound(rule, g, {}));
  ASSERT_EQ(record.created_vertices.size(), 3u);
  EXPECT_EQ(record.created_edges.size(), 4u);
  const VertexId a = record.created_vertices[0].id, b = record.created_vertices[1].id,
                 c = record.created_vertices[2].id;
  EXPECT_EQ(g.causal().links(b)->causes, (std::vector<VertexId>{a}));
  EXPECT_EQ(g.causal().links(c)->causes, (std::vector<VertexId>{b}));  // not a directly
  EXPECT_TRUE(g.causal().past(c)->contains(a));
  EXPECT_TRUE(g.hyperedge(record.created_edges[1].id)->vertices.empty());
}

TEST(Apply, NameOnBothSidesIsKeptEvenWhenNotListed) {
  Hypergraph g;
  const VertexId x = g.add_vertex(), y = g.add_vertex();
  g.add_hyperedge({x, y});
  // y is not listed as kept but the rhs uses it again: its vertex survives.
  const RewriteRule rule = RewriteRule::compile({{"x", "y"}}, {"x"}, {{"y", "z"}}, 1.0);
  UndoRecord record = apply(rule, g, bound(rule, g, {{0, x}, {1, y}}));
  EXPECT_TRUE(record.removed_vertices.empty());
  EXPECT_TRUE(g.has_vertex(y));
  g.for_each_hyperedge([&](EdgeSlot e) {
    for (const Slot v : g.members(e)) EXPECT_TRUE(g.is_vertex(v));
  });
}

// Two deleted vertices that are causally related: each is in the other's
// snapshot, and the copy kept is the one from before the step, so a
// rollback restores every causal set and list exactly.
TEST(Apply, SeveralDeletedVerticesRollBackToTheStateBeforeTheStep) {
  Hypergraph g;
  const VertexId p = g.add_vertex(), a = g.add_vertex(), b = g.add_vertex(), q = g.add_vertex();
  g.add_hyperedge({p, a});
  g.add_hyperedge({a, b});
  g.add_hyperedge({b, q});
  g.add_causal_relation(p, a);
  g.add_causal_relation(a, b);
  g.add_causal_relation(b, q);
  const Snapshot before(g);
  const RewriteRule rule = RewriteRule::compile({{"x", "y"}}, {}, {{"n"}}, 1.0);
  for (int order = 0; order < 2; ++order) {
    UndoRecord record = apply(rule, g, bound(rule, g, {{0, order ? b : a}, {1, order ? a : b}}));
    EXPECT_EQ(record.removed_vertices.size(), 2u);
    EXPECT_FALSE(g.causal().future(p)->contains(a));
    g.execute_undo_record(record);
    EXPECT_TRUE(Snapshot(g) == before) << "order " << order;
  }
}

// The pair count depends on the order in which overlapping hyperedges came
// and went and stops at 0, so undo restores it rather than retracing it.
TEST(Apply, RollbackRestoresThePairCountOfOverlappingHyperedges) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex();
  g.add_hyperedge({a, b});
  g.add_hyperedge({a, b, a, b});  // every pair already covered
  ASSERT_EQ(g.structural_pair_count(), 1u);
  const RewriteRule deletes = RewriteRule::compile({{"x"}}, {}, {}, 1.0);
  UndoRecord record = apply(deletes, g, bound(deletes, g, {{0, a}}));
  EXPECT_EQ(g.edge_count(), 0u);
  g.execute_undo_record(record);
  EXPECT_EQ(g.structural_pair_count(), 1u);

  // New hyperedges that share a pair starting at a new vertex.
  const RewriteRule twice = RewriteRule::compile({}, {}, {{"p", "q"}, {"p", "q"}}, 1.0);
  UndoRecord r2 = apply(twice, g, bound(twice, g, {}));
  EXPECT_EQ(g.structural_pair_count(), 2u);
  g.execute_undo_record(r2);
  EXPECT_EQ(g.structural_pair_count(), 1u);
}
