// Graph analysis over the store: every result equals a plain breadth-first
// search on the 2-section of the stored hyperedges, including repeated
// members, long hyperedges, isolated vertices, and ids a hyperedge names
// after their vertex was removed (incomplete incidence lists).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "analysis/adjacency.hpp"
#include "analysis/ball_volumes.hpp"
#include "analysis/coded_adjacency.hpp"
#include "analysis/component_ranges.hpp"
#include "analysis/components.hpp"
#include "analysis/distances.hpp"
#include "analysis/nearest_edges.hpp"
#include "analysis/two_section.hpp"
#include "hypergraph/hypergraph.hpp"

using namespace vorn;
using namespace vorn::analysis;

namespace {

struct Mixed {
  Hypergraph g;
  std::vector<VertexId> v;
  VertexId removed = 0, isolated = 0;

  Mixed() {
    for (int i = 0; i < 16; ++i) v.push_back(g.add_vertex());
    g.add_hyperedge({v[0], v[1], v[2]});
    g.add_hyperedge({v[2], v[2]});
    g.add_hyperedge({v[2], v[3]});
    g.add_hyperedge({v[4]});
    g.add_hyperedge({v[3], v[4], v[3]});
    // A long hyperedge (more members than a clique is built for).
    g.add_hyperedge({v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13], v[5]});
    g.add_hyperedge({v[13], v[0]});
    g.add_hyperedge({v[14], v[15]});
    // v[3] goes; the hyperedges naming it stay, and a later one names it again.
    removed = v[3];
    g.remove_vertex(removed);
    g.add_hyperedge({removed, v[14]});
    isolated = g.add_vertex();
  }
};

// Distances by a plain BFS on the 2-section built from the hyperedges' ids.
std::map<VertexId, uint32_t> reference(const Hypergraph& g, VertexId source) {
  std::map<VertexId, std::set<VertexId>> adj;
  g.for_each_hyperedge([&](EdgeSlot e) {
    for (const Slot a : g.members(e)) {
      for (const Slot b : g.members(e)) {
        if (a != b) adj[g.id_of(a)].insert(g.id_of(b));
      }
    }
  });
  std::map<VertexId, uint32_t> dist{{source, 0}};
  std::vector<VertexId> queue{source};
  for (std::size_t i = 0; i < queue.size(); ++i) {
    for (const VertexId w : adj[queue[i]]) {
      if (dist.emplace(w, dist[queue[i]] + 1).second) queue.push_back(w);
    }
  }
  return dist;
}

std::vector<VertexId> all_ids(const Mixed& m) {
  std::vector<VertexId> ids = m.v;
  ids.push_back(m.isolated);
  return ids;
}

}  // namespace

TEST(Analysis, DistancesAndBallVolumesMatchAPlainSearch) {
  Mixed m;
  const TwoSection g(m.g);
  ASSERT_TRUE(g.find(m.removed).has_value());  // named by hyperedges, though removed
  EXPECT_FALSE(g.find(m.isolated + 1000).has_value());
  std::vector<Slot> centres;
  for (const VertexId id : all_ids(m)) centres.push_back(*g.find(id));
  // Every centre twice: more than one batch, and repeats.
  std::vector<Slot> twice = centres;
  twice.insert(twice.end(), centres.begin(), centres.end());
  std::vector<std::vector<uint64_t>> rows;
  for (const Layout layout : {Layout::automatic, Layout::plain, Layout::coded, Layout::store}) {
    ASSERT_EQ(ball_volumes(g, twice, kNoRadius, rows, {}, layout), Outcome::done);
    for (std::size_t i = 0; i < twice.size(); ++i) {
      const VertexId id = m.g.id_of(twice[i]);
      const auto want = reference(m.g, id);
      std::vector<std::pair<Slot, uint32_t>> got;
      ASSERT_EQ(distances(g, twice[i], kNoRadius, got), Outcome::done);
      std::map<VertexId, uint32_t> got_map;
      for (const auto& [s, d] : got) EXPECT_TRUE(got_map.emplace(m.g.id_of(s), d).second);
      EXPECT_EQ(got_map, want) << "from " << id;
      EXPECT_TRUE(std::is_sorted(got.begin(), got.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; }));
      uint32_t ecc = 0;
      for (const auto& [w, d] : want) ecc = std::max(ecc, d);
      std::vector<uint64_t> volume(ecc + 1, 0);
      for (const auto& [w, d] : want) ++volume[d];
      for (std::size_t r = 1; r < volume.size(); ++r) volume[r] += volume[r - 1];
      EXPECT_EQ(rows[i], volume) << "from " << id << " layout " << static_cast<int>(layout);
    }
  }
  // A radius cap cuts both.
  ASSERT_EQ(ball_volumes(g, centres, 1, rows), Outcome::done);
  std::vector<std::pair<Slot, uint32_t>> near;
  ASSERT_EQ(distances(g, centres[0], 1, near), Outcome::done);
  EXPECT_EQ(rows[0].size(), 2u);
  EXPECT_EQ(rows[0].back(), near.size());
  EXPECT_EQ(near.size(), 4u);  // v0 with v1, v2 and v13
}

TEST(Analysis, ComponentsCoverEveryVertexAndNamedId) {
  Mixed m;
  const TwoSection g(m.g);
  std::vector<std::pair<Slot, uint32_t>> labels;
  ASSERT_EQ(components(g, labels), Outcome::done);
  std::map<VertexId, uint32_t> by_id;
  for (const auto& [s, c] : labels) by_id[m.g.id_of(s)] = c;
  for (const VertexId id : all_ids(m)) {
    ASSERT_TRUE(by_id.count(id)) << id;
    for (const VertexId other : all_ids(m)) {
      const auto d = reference(m.g, id);
      EXPECT_EQ(by_id[id] == by_id[other], d.count(other) == 1) << id << " " << other;
    }
  }
  std::set<uint32_t> distinct;
  for (const auto& [s, c] : labels) distinct.insert(c);
  EXPECT_EQ(*distinct.rbegin() + 1, distinct.size());  // numbered 0, 1, ...
}

TEST(Analysis, CopiesKnowEachSlotsComponentSize) {
  Mixed m;
  const TwoSection g(m.g);
  std::vector<std::pair<Slot, uint32_t>> labels;
  ASSERT_EQ(components(g, labels), Outcome::done);
  std::map<uint32_t, uint32_t> size;
  for (const auto& [s, c] : labels) ++size[c];
  Poll poll({});
  const std::optional<Adjacency> plain = Adjacency::build(g, poll);
  const std::optional<CodedAdjacency> coded = CodedAdjacency::build(g, poll);
  ASSERT_TRUE(plain && coded);
  for (const auto& [s, c] : labels) {
    EXPECT_EQ(plain->component_size(plain->index(s)), size[c]) << s;
    EXPECT_EQ(coded->component_size(coded->index(s)), size[c]) << s;
  }
  // Runs of one row are not kept, and rows outside every run count one.
  ComponentRanges ranges;
  ranges.close(0, 1);
  ranges.close(1, 4);
  ranges.close(4, 4);
  ranges.close(5, 7);
  const uint32_t want[] = {1, 3, 3, 3, 1, 2, 2, 1};
  for (uint32_t row = 0; row < 8; ++row) EXPECT_EQ(ranges.size_of(row), want[row]) << row;
}

TEST(Analysis, NearestEdgesGoBreadthFirstInStoreOrder) {
  Mixed m;
  const TwoSection g(m.g);
  std::vector<EdgeSlot> order;
  m.g.for_each_hyperedge([&](EdgeSlot e) { order.push_back(e); });
  std::vector<EdgeSlot> got;
  ASSERT_EQ(nearest_edges(g, *g.find(m.v[2]), 100, got), Outcome::done);
  // From v2: its hyperedges in store order ({0,1,2}, {2,2}, {2,3}); then
  // v0's remaining one ({13,0}), v3's ({3,4,3}, {3,14}), v13's long one,
  // v4's unary one, v14's pair.
  const std::vector<std::size_t> want{0, 1, 2, 6, 4, 8, 5, 3, 7};
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], order[want[i]]) << i;
  ASSERT_EQ(nearest_edges(g, *g.find(m.v[2]), 2, got), Outcome::done);
  EXPECT_EQ(got, (std::vector<EdgeSlot>{order[0], order[1]}));
  ASSERT_EQ(nearest_edges(g, *g.find(m.isolated), 5, got), Outcome::done);
  EXPECT_TRUE(got.empty());
}

TEST(Analysis, AStopHookCancelsAndLeavesNoPartialResult) {
  Hypergraph store;
  std::vector<VertexId> path{store.add_vertex()};
  for (int i = 0; i < 200000; ++i) {
    path.push_back(store.add_vertex());
    store.add_hyperedge({path[path.size() - 2], path.back()});
  }
  const TwoSection g(store);
  int asked = 0;
  const StopHook stop = [&] { return ++asked >= 2; };
  std::vector<std::vector<uint64_t>> rows;
  const std::vector<Slot> centres{*g.find(path[0]), *g.find(path[1000])};
  EXPECT_EQ(ball_volumes(g, centres, kNoRadius, rows, stop), Outcome::cancelled);
  EXPECT_TRUE(rows.empty());
  asked = 0;
  EXPECT_EQ(ball_volumes(g, centres, kNoRadius, rows, stop, Layout::coded), Outcome::cancelled);
  EXPECT_TRUE(rows.empty());
  asked = 0;
  std::vector<std::pair<Slot, uint32_t>> reached;
  EXPECT_EQ(distances(g, centres[0], kNoRadius, reached, stop), Outcome::cancelled);
  EXPECT_TRUE(reached.empty());
  asked = 0;
  EXPECT_EQ(components(g, reached, stop), Outcome::cancelled);
  EXPECT_TRUE(reached.empty());
  // Without a stop the same calls finish: the path's far end is 200000 away.
  ASSERT_EQ(ball_volumes(g, centres, kNoRadius, rows), Outcome::done);
  EXPECT_EQ(rows[0].size(), 200001u);
  EXPECT_EQ(rows[0].back(), 200001u);
}

TEST(Analysis, TheAdjacencyCopyHoldsEachNeighbourOnce) {
  Mixed m;
  m.g.add_hyperedge({m.v[1], m.v[0]});  // a pair another hyperedge already joins
  const TwoSection g(m.g);
  const StopHook never;
  Poll poll(never);
  const std::optional<Adjacency> a = Adjacency::build(g, poll);
  ASSERT_TRUE(a.has_value());
  std::vector<Slot> slot_of_row(a->capacity());
  for (Slot s = 0; s < a->capacity(); ++s) slot_of_row[a->index(s)] = s;
  for (const VertexId id : all_ids(m)) {
    const std::optional<Slot> s = g.find(id);
    ASSERT_TRUE(s.has_value());
    // The row's neighbours, long hyperedges read through their reference.
    std::multiset<VertexId> got;
    for (const uint32_t x : a->row(a->index(*s))) {
      if ((x & Adjacency::kHub) == 0) {
        got.insert(m.g.id_of(slot_of_row[x]));
      } else {
        for (const Slot w : m.g.members(x & ~Adjacency::kHub)) {
          if (w != *s) got.insert(m.g.id_of(w));
        }
      }
    }
    std::set<VertexId> want;
    for (const auto& [w, d] : reference(m.g, id)) {
      if (d == 1) want.insert(w);
    }
    // Entries without the hub's own repeats: each plain neighbour once.
    EXPECT_EQ(std::set<VertexId>(got.begin(), got.end()), want) << id;
    for (const uint32_t x : a->row(a->index(*s))) {
      if ((x & Adjacency::kHub) == 0) {
        EXPECT_NE(slot_of_row[x], *s);
        EXPECT_EQ(got.count(m.g.id_of(slot_of_row[x])), 1u) << id;
      }
    }
  }
}

namespace {

// The coded copy's neighbours of every slot against the plain search's,
// returning how many rows named only plain neighbours, ascending and once.
std::size_t check_coded(const Hypergraph& store) {
  const TwoSection g(store);
  const StopHook never;
  Poll poll(never);
  const std::optional<CodedAdjacency> a = CodedAdjacency::build(g, poll);
  EXPECT_TRUE(a.has_value());
  if (!a) return 0;
  std::vector<Slot> slot_of_row(a->capacity());
  for (Slot s = 0; s < a->capacity(); ++s) slot_of_row[a->index(s)] = s;
  std::map<VertexId, std::set<VertexId>> adj;
  store.for_each_hyperedge([&](EdgeSlot e) {
    for (const Slot x : store.members(e)) {
      for (const Slot y : store.members(e)) {
        if (x != y) adj[store.id_of(x)].insert(store.id_of(y));
      }
    }
  });
  // Rows read in order start where the block starts say.
  const uint8_t* p = a->first_row();
  for (uint32_t i = 0; i < a->capacity(); p = CodedAdjacency::skip(p), ++i) {
    if (p != a->row(i)) {
      ADD_FAILURE() << "row " << i;
      break;
    }
  }
  std::size_t plain_rows = 0;
  g.for_each_slot([&](Slot s) {
    const VertexId id = store.id_of(s);
    std::vector<uint32_t> calls;
    std::size_t n = 0;
    const uint32_t i = a->index(s);
    const uint8_t* end = a->neighbours(
        i, a->row(i), [&](uint32_t row) { calls.push_back(row); }, n);
    EXPECT_EQ(n, calls.size());
    EXPECT_EQ(end, CodedAdjacency::skip(a->row(i)));
    std::set<VertexId> got;
    for (const uint32_t row : calls) {
      if (slot_of_row[row] != s) got.insert(store.id_of(slot_of_row[row]));
    }
    EXPECT_EQ(got, adj[id]) << id;
    if (got.size() == calls.size()) {
      EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end())) << id;
      ++plain_rows;
    }
  });
  return plain_rows;
}

}  // namespace

TEST(Analysis, TheCodedCopyHoldsEachNeighbourOnce) {
  Mixed m;
  m.g.add_hyperedge({m.v[1], m.v[0]});
  EXPECT_GT(check_coded(m.g), 0u);
  // A star of 70000 leaves, the first and last joined: rows of many entries
  // and gaps of up to three bytes, first entries below and above their row.
  Hypergraph star;
  const VertexId hub = star.add_vertex();
  std::vector<VertexId> leaves;
  for (int i = 0; i < 70000; ++i) {
    leaves.push_back(star.add_vertex());
    star.add_hyperedge({hub, leaves.back()});
  }
  star.add_hyperedge({leaves.front(), leaves.back()});
  star.add_hyperedge({leaves[5], leaves[5]});
  EXPECT_EQ(check_coded(star), 70001u);
  // Every centre's volumes match the plain copy's.
  const TwoSection g(star);
  const std::vector<Slot> centres{*g.find(hub), *g.find(leaves.front()), *g.find(leaves.back()),
                                  *g.find(leaves[9])};
  std::vector<std::vector<uint64_t>> coded, plain;
  ASSERT_EQ(ball_volumes(g, centres, kNoRadius, coded, {}, Layout::coded), Outcome::done);
  ASSERT_EQ(ball_volumes(g, centres, kNoRadius, plain, {}, Layout::plain), Outcome::done);
  EXPECT_EQ(coded, plain);
  EXPECT_EQ(coded[1], (std::vector<uint64_t>{1, 3, 70001}));
}

TEST(Analysis, LayoutsAgreeOnAGraphWithWideLevels) {
  // A 150 x 150 grid with chords, triangles and a few long hyperedges: levels
  // wide enough that the coded search passes over all rows, and 70 centres
  // (more than one batch).
  Hypergraph store;
  constexpr int kSide = 150;
  std::vector<VertexId> v;
  for (int i = 0; i < kSide * kSide; ++i) v.push_back(store.add_vertex());
  uint64_t state = 12345;
  const auto random = [&](uint64_t bound) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return (state >> 33) % bound;
  };
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      const int i = y * kSide + x;
      if (x + 1 < kSide) store.add_hyperedge({v[i], v[i + 1]});
      if (y + 1 < kSide) store.add_hyperedge({v[i], v[i + kSide]});
    }
  }
  for (int k = 0; k < 300; ++k) store.add_hyperedge({v[random(v.size())], v[random(v.size())]});
  for (int k = 0; k < 100; ++k) {
    store.add_hyperedge({v[random(v.size())], v[random(v.size())], v[random(v.size())]});
  }
  for (int k = 0; k < 5; ++k) {
    std::vector<VertexId> long_edge;
    for (int m = 0; m < 12; ++m) long_edge.push_back(v[random(v.size())]);
    store.add_hyperedge(long_edge);
  }
  const TwoSection g(store);
  std::vector<Slot> centres;
  for (int k = 0; k < 70; ++k) centres.push_back(*g.find(v[random(v.size())]));
  std::vector<std::vector<uint64_t>> plain, coded, walked;
  ASSERT_EQ(ball_volumes(g, centres, kNoRadius, plain, {}, Layout::plain), Outcome::done);
  ASSERT_EQ(ball_volumes(g, centres, kNoRadius, coded, {}, Layout::coded), Outcome::done);
  ASSERT_EQ(ball_volumes(g, centres, kNoRadius, walked, {}, Layout::store), Outcome::done);
  EXPECT_EQ(coded, plain);
  EXPECT_EQ(walked, plain);
  EXPECT_EQ(plain[0].back(), uint64_t{kSide * kSide});
  ASSERT_EQ(ball_volumes(g, centres, 7, coded, {}, Layout::coded), Outcome::done);
  ASSERT_EQ(ball_volumes(g, centres, 7, plain, {}, Layout::plain), Outcome::done);
  EXPECT_EQ(coded, plain);
}
