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

using namespace vorn;

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

TEST(Consistency, ReportsEachKindOfDamage) {
  const auto damaged = [](auto&& damage) {
    Hypergraph g;
    const VertexId a = g.add_vertex(), b = g.add_vertex();
    g.add_hyperedge({a, b, b});
    damage(g, a, b);
    return check_consistency(g);
  };
  // A vertex missing from vertex_list, and a wrong position.
  EXPECT_FALSE(damaged([](Hypergraph& g, VertexId, VertexId) { StoreAccess::drop_last_live(g); }).empty());
  EXPECT_FALSE(damaged([](Hypergraph& g, VertexId a, VertexId b) {
                 StoreAccess::swap_positions(g, a, b);
               }).empty());
  // Incidence short of occurrences, one stale hyperedge too many.
  EXPECT_FALSE(damaged([](Hypergraph& g, VertexId, VertexId b) {
                 StoreAccess::drop_last_incidence(g, b);
               }).empty());
  EXPECT_FALSE(damaged([](Hypergraph& g, VertexId a, VertexId) {
                 StoreAccess::add_stale_incidence(g, a);
               }).empty());
  // A hyperedge over a deleted vertex.
  EXPECT_FALSE(damaged([](Hypergraph& g, VertexId a, VertexId) { g.remove_vertex(a); }).empty());
  // A live vertex without causal data.
  EXPECT_FALSE(damaged([](Hypergraph& g, VertexId a, VertexId) { StoreAccess::drop_causal(g, a); }).empty());
  EXPECT_TRUE(damaged([](Hypergraph&, VertexId, VertexId) {}).empty());
}
