// Replays every input of the fuzzer's committed corpus (fuzz/corpus) through
// the same decoder, with the invariants checked after each operation, and
// checks the consistency checker itself on stores broken on purpose.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/operations.hpp"
#include "rewrite_engine/checkpoint.hpp"
#include "support/access.hpp"
#include "support/checkpoint_image.hpp"
#include "support/mentions.hpp"

using namespace vorn;
using vorn::test::Mentions;

#ifndef VORN_FUZZ_CORPUS
#define VORN_FUZZ_CORPUS "fuzz/corpus"
#endif

TEST(FuzzCorpus, EveryInputKeepsTheInvariants) {
  const std::filesystem::path dir(VORN_FUZZ_CORPUS);
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  std::size_t replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    const auto failure = fuzz::run_operations(bytes.data(), bytes.size());
    EXPECT_FALSE(failure.has_value()) << entry.path() << ": " << failure.value_or("");
    ++replayed;
  }
  EXPECT_GE(replayed, 10u) << "the committed corpus is missing";
}

#ifndef VORN_CHECKPOINT_CORPUS
#define VORN_CHECKPOINT_CORPUS "fuzz/checkpoints"
#endif

// The checkpoint fuzzer's corpus: valid checkpoints, each of which loads a
// consistent engine.
TEST(FuzzCorpus, CommittedCheckpointsLoad) {
  std::size_t loaded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VORN_CHECKPOINT_CORPUS)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    CheckpointDamage error;
    const auto engine = Checkpoint::load(bytes, error);
    ASSERT_TRUE(engine) << entry.path() << ": " << error.part;
    EXPECT_TRUE(check_consistency(engine->graph()).empty()) << entry.path();
    ++loaded;
  }
  EXPECT_GE(loaded, 3u);
}

TEST(Consistency, AStoreBuiltThroughItsOperationsIsConsistent) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex(), c = g.add_vertex();
  g.add_hyperedge({a, b, a});
  const EdgeId e = g.add_hyperedge({b, c});
  g.add_hyperedge({});
  g.add_causal_relation(a, b);
  EXPECT_TRUE(check_consistency(g).empty());
  g.remove_hyperedge(e);
  g.remove_vertex(c);
  EXPECT_TRUE(check_consistency(g).empty());
}

// Each kind of damage is found: in a store's bytes by the loader, which
// names it, and in a store in memory by the check the tests run.
TEST(Consistency, ReportsEachKindOfDamage) {
  Hypergraph g;
  const VertexId a = g.add_vertex(), b = g.add_vertex();
  g.add_hyperedge({a, b, b});
  ByteWriter out;
  g.save(out);
  const std::string bytes = out.take();
  const auto load_damaged = [&bytes](auto&& damage) -> std::string {
    test::Cursor cursor(bytes);
    test::StoreImage image = test::StoreImage::read(cursor);
    damage(image);
    ByteWriter damaged;
    image.write(damaged);
    const std::string written = damaged.take();
    ByteReader in(written);
    CausalGraph::LogSummary summary;
    return Hypergraph::load(in, summary) ? "" : in.damage().part;
  };
  EXPECT_EQ(load_damaged([](test::StoreImage&) {}), "");
  // A vertex missing from the live list, and a wrong position.
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) { s.live.pop_back(); }),
                       "live but not in the live list"));
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) { std::swap(s.live[0], s.live[1]); }),
                       "stands at 0 but records position 1"));
  // Incidence short of occurrences, one stale hyperedge too many, one entry
  // more than the hyperedge holds.
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) { s.vertices[1].incidence.pop_back(); }),
                       "misses a hyperedge"));
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) { s.vertices[0].incidence.push_back(7); }),
                       "names a removed hyperedge"));
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) { s.vertices[0].incidence.push_back(0); }),
                       "more often than it holds the vertex"));
  // Slots: unknown flags, a free slot in use, two slots with one id.
  EXPECT_TRUE(
      Mentions(load_damaged([](test::StoreImage& s) { s.vertices[0].flags |= 64; }), "unknown flags"));
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) { s.free_vertices.push_back(0); }),
                       "free flag disagrees"));
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) { s.vertices[1].id = s.vertices[0].id; }),
                       "not indexed under its id"));
  // Hyperedges: a removed slot off the free list, two with one id.
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) {
                         s.edges.push_back({99, 0, {}});
                       }),
                       "is not free"));
  EXPECT_TRUE(Mentions(load_damaged([](test::StoreImage& s) {
                         s.edges.push_back(s.edges[0]);
                         for (const uint32_t m : s.edges[0].members) s.vertices[m].incidence.push_back(1);
                       }),
                       "two hyperedges with id"));
  // A live vertex the causal log does not know.
  EXPECT_TRUE(
      Mentions(load_damaged([](test::StoreImage& s) {
                 s.vertices.push_back({s.vertices[1].id + 1, static_cast<uint32_t>(s.live.size()), 1, {}});
                 s.live.push_back(static_cast<uint32_t>(s.vertices.size() - 1));
               }),
               "causal log that disagrees with the live vertices"));

  // In memory: a hyperedge over a deleted vertex.
  g.remove_vertex(a);
  EXPECT_TRUE(Mentions(check_consistency(g), "names dead vertex"));
  // A live vertex without causal data: a removal undone by a record that
  // names no causal step.
  Hypergraph h;
  const VertexId c = h.add_vertex();
  UndoRecord record;
  h.begin_rewrite(record);
  h.remove_vertex(*h.slot_of(c), record);
  h.end_rewrite(record);
  record.causal_step = 0;
  h.execute_undo_record(record);
  EXPECT_TRUE(Mentions(check_consistency(h), "has no causal links"));
}
