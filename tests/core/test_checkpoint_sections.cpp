// Each part's own section of a checkpoint, on its own: the generator
// (rewrite_engine/chacha_bytes.cpp), the store with its causal relation
// (hypergraph/hypergraph_bytes.cpp, causal_graph_bytes.cpp), and the store's
// check (hypergraph/store_check.cpp) that the loader runs on what it read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hypergraph/byte_stream.hpp"
#include "hypergraph/hypergraph.hpp"
#include "rewrite_engine/chacha.hpp"

using namespace vorn;

namespace {

std::vector<std::vector<VertexId>> edges_of(const Hypergraph& g) {
  std::vector<std::vector<VertexId>> out;
  g.for_each_hyperedge([&](EdgeSlot e) {
    std::vector<VertexId> ids;
    for (const Slot s : g.members(e)) ids.push_back(g.id_of(s));
    out.push_back(ids);
  });
  return out;
}

}  // namespace

TEST(CheckpointSections, AGeneratorContinuesItsStreamAfterARoundTrip) {
  ChaCha12 rng = ChaCha12::from_u64_seed(42);
  for (int i = 0; i < 37; ++i) rng.next_u32();  // mid-buffer, not at a block boundary
  ByteWriter out;
  rng.save(out);
  const std::string bytes = out.take();
  ByteReader in(bytes);
  std::optional<ChaCha12> back = ChaCha12::load(in);
  ASSERT_TRUE(back.has_value());
  for (int i = 0; i < 200; ++i) ASSERT_EQ(back->next_u64(), rng.next_u64()) << i;
  // A section cut short is refused, never read past its end.
  ByteReader cut(std::string_view(bytes).substr(0, bytes.size() - 1));
  EXPECT_FALSE(ChaCha12::load(cut).has_value());
}

TEST(CheckpointSections, AStoreComesBackWholeAndPassesItsCheck) {
  Hypergraph g;
  std::vector<VertexId> v;
  for (int i = 0; i < 8; ++i) v.push_back(g.add_vertex());
  g.add_hyperedge({v[0], v[1], v[2]});
  g.add_hyperedge({v[2], v[3]});
  g.add_hyperedge({v[4], v[5]});
  g.add_causal_relation(v[0], v[1]);
  g.add_causal_relation(v[1], v[3]);
  g.remove_vertex(v[7]);
  g.set_observable(v[2], "mass", 1.5);
  ASSERT_TRUE(g.check(16, true).empty());

  ByteWriter out;
  g.save(out);
  const std::string bytes = out.take();
  ByteReader in(bytes);
  CausalGraph::LogSummary summary;
  std::optional<Hypergraph> back = Hypergraph::load(in, summary);
  ASSERT_TRUE(back.has_value()) << in.damage().part;
  EXPECT_TRUE(back->check(16, true).empty());
  EXPECT_EQ(edges_of(*back), edges_of(g));
  EXPECT_EQ(back->vertex_count(), g.vertex_count());
  EXPECT_EQ(back->structural_pair_count(), g.structural_pair_count());
  EXPECT_FALSE(back->has_vertex(v[7]));
  ASSERT_NE(back->observables(v[2]), nullptr);
  EXPECT_EQ(back->observables(v[2])->at("mass"), 1.5);
  EXPECT_EQ(back->causal_past(v[3]), g.causal_past(v[3]));

  // Every cut of the section is refused.
  for (std::size_t n = 0; n < bytes.size(); n += 7) {
    ByteReader cut(std::string_view(bytes).substr(0, n));
    CausalGraph::LogSummary s;
    EXPECT_FALSE(Hypergraph::load(cut, s).has_value()) << n;
  }
}
