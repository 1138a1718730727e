// Checkpoints: a loaded engine is the saved one (saving it again gives the
// same bytes) and goes on exactly as the original would; damaged bytes are
// refused with a reason, never loaded into an inconsistent engine.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "rewrite_engine/checkpoint.hpp"
#include "support/access.hpp"

using namespace vorn;

namespace {

// A run with growth, deletions (SPO), rollbacks, observables, a causal read
// half way and settings changed from their defaults.
RewriteEngine busy_engine(uint64_t seed, int steps) {
  RewriteEngine e(Hypergraph{}, seed);
  e.add_rule({}, {}, {{"a", "b"}, {"a", "c"}}, 1.0);
  e.step();
  e.clear_rules();
  e.set_semantics(Semantics::spo);
  e.set_causal_horizon(3);
  e.add_rule({{"x", "y"}, {"x", "z"}}, {"x", "y", "z"}, {{"x", "z"}, {"x", "w"}, {"y", "w"}, {"z", "w"}}, 1.0);
  e.add_rule({{"x", "y"}}, {"y"}, {}, 0.2);
  std::mt19937_64 gen(seed);
  for (int i = 0; i < steps; ++i) {
    e.step();
    if (gen() % 7 == 0) e.rollback();
    if (i == steps / 2) {
      e.graph().causal().sync();
      e.set_bitset_capacity(64);
    }
    if (gen() % 5 == 0 && e.graph().vertex_count() > 0) {
      const Slot s = e.graph().vertex_list()[gen() % e.graph().vertex_count()];
      e.set_observable(e.graph().id_of(s), "mass", static_cast<double>(i));
    }
  }
  return e;
}

// The store's shape by slots (ids aside): what two engines that took the same
// steps share even when their new vertices got different ids.
std::string shape(const Hypergraph& g) {
  std::string out;
  for (const Slot s : g.vertex_list()) {
    out += std::to_string(s) + ":";
    for (const EdgeSlot e : g.incidence(s)) out += std::to_string(e) + ",";
    out += ";";
  }
  g.for_each_hyperedge([&](EdgeSlot e) {
    out += "e" + std::to_string(e) + "=";
    for (const Slot s : g.members(e)) out += std::to_string(s) + ",";
  });
  return out + "#" + std::to_string(g.structural_pair_count());
}

}  // namespace

TEST(Checkpoint, LoadingGivesTheSavedEngineBack) {
  const RewriteEngine a = busy_engine(3, 400);
  const std::string bytes = Checkpoint::save(a);
  CheckpointDamage error;
  std::optional<RewriteEngine> b = Checkpoint::load(bytes, error);
  ASSERT_TRUE(b) << error.part;
  EXPECT_TRUE(Checkpoint::save(*b) == bytes);
  EXPECT_TRUE(check_consistency(b->graph()).empty());
  // The id counters are past every id the engine holds.
  b->graph().for_each_vertex([&](Slot s) { EXPECT_LT(b->graph().id_of(s), VERTEX_ID_COUNTER.load()); });
}

TEST(Checkpoint, ALoadedEngineGoesOnInLockstep) {
  RewriteEngine a = busy_engine(5, 300);
  CheckpointDamage error;
  std::optional<RewriteEngine> loaded = Checkpoint::load(Checkpoint::save(a), error);
  ASSERT_TRUE(loaded) << error.part;
  RewriteEngine& b = *loaded;
  std::mt19937_64 gen(9);
  for (int i = 0; i < 1500; ++i) {
    const uint64_t op = gen() % 10;
    if (op == 0) {
      ASSERT_EQ(a.rollback(), b.rollback()) << i;
    } else {
      ASSERT_EQ(a.step(), b.step()) << i;
    }
    ASSERT_EQ(shape(a.graph()), shape(b.graph())) << i;
    ASSERT_EQ(a.successful_rewrites(), b.successful_rewrites());
  }
  EXPECT_EQ(a.graph().causal().recorded().pairs.size(), b.graph().causal().recorded().pairs.size());
  EXPECT_TRUE(check_consistency(b.graph()).empty());
}

TEST(Checkpoint, DamagedBytesAreRefusedOrLoadConsistently) {
  const std::string bytes = Checkpoint::save(busy_engine(7, 120));
  CheckpointDamage error;
  // Every cut is refused, with a reason.
  for (std::size_t n = 0; n < bytes.size(); n += 1 + n / 50) {
    error = {};
    EXPECT_FALSE(Checkpoint::load(std::string_view(bytes).substr(0, n), error)) << n;
    EXPECT_FALSE(error.part.empty());
    EXPECT_TRUE(error.truncated) << n;
  }
  // A flipped byte is refused, or gives an engine that is consistent and
  // keeps stepping and rolling back consistently.
  std::mt19937_64 gen(11);
  int refused = 0, loaded = 0;
  for (int round = 0; round < 600; ++round) {
    std::string damaged = bytes;
    damaged[gen() % damaged.size()] ^= static_cast<char>(1u << (gen() % 8));
    std::optional<RewriteEngine> e = Checkpoint::load(damaged, error);
    if (!e) {
      ++refused;
      continue;
    }
    ++loaded;
    const auto problems = check_consistency(e->graph());
    ASSERT_TRUE(problems.empty()) << round << ": " << problems.front();
    for (int i = 0; i < 20; ++i) {
      e->step();
      if (i % 6 == 5) e->rollback();
    }
    const auto after = check_consistency(e->graph());
    ASSERT_TRUE(after.empty()) << round << ": " << after.front();
  }
  EXPECT_GT(refused, 100);
  EXPECT_GT(loaded, 10);  // flips in counters, observables and ids still load
}
