// Checkpoints: a loaded engine is the saved one (saving it again gives the
// same bytes) and goes on exactly as the original would; damaged bytes are
// refused with a reason, never loaded into an inconsistent engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "rewrite_engine/checkpoint.hpp"
#include "support/access.hpp"
#include "support/checkpoint_image.hpp"
#include "support/mentions.hpp"

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
  e.add_rule({{"x", "y"}, {"x", "z"}}, {"x", "y", "z"}, {{"x", "z"}, {"x", "w"}, {"y", "w"}, {"z", "w"}},
             1.0);
  e.add_rule({{"x", "y"}}, {"y"}, {}, 0.2);
  std::mt19937_64 gen(seed);
  for (int i = 0; i < steps; ++i) {
    e.step();
    if (gen() % 7 == 0) e.rollback();
    if (i == steps / 2) {
      e.causal().sync();
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

namespace {

using vorn::test::CheckpointImage;
using vorn::test::Mentions;

// A DPO run without deletions: every hyperedge repeat-free, so the store's
// pair count stays exact; the last step can be undone.
RewriteEngine growth_engine(uint64_t seed, int steps) {
  RewriteEngine e(Hypergraph{}, seed);
  e.add_rule({}, {}, {{"a", "b"}, {"a", "c"}}, 1.0);
  e.step();
  e.clear_rules();
  e.add_rule({{"x", "y"}, {"x", "z"}}, {"x", "y", "z"}, {{"x", "z"}, {"x", "w"}, {"y", "w"}, {"z", "w"}},
             1.0);
  e.run(steps);
  return e;
}

// What loading the image's bytes reports: "" when it loads.
std::string load_reason(const CheckpointImage& image) {
  CheckpointDamage error;
  const std::optional<RewriteEngine> e = Checkpoint::load(image.bytes(), error);
  return e ? "" : (error.truncated ? "truncated in " : "") + error.part;
}

}  // namespace

TEST(Checkpoint, BothSemanticsAndVerboseRoundTrip) {
  for (const bool dpo : {true, false}) {
    for (const bool verbose : {true, false}) {
      RewriteEngine a = growth_engine(21, 30);
      a.set_semantics(dpo ? Semantics::dpo : Semantics::spo);
      a.set_verbose(verbose);
      a.set_print_interval(1u << 20);
      CheckpointDamage error;
      const std::optional<RewriteEngine> b = Checkpoint::load(Checkpoint::save(a), error);
      ASSERT_TRUE(b) << error.part;
      EXPECT_EQ(b->dpo(), dpo) << "dpo " << dpo << " verbose " << verbose;
      EXPECT_EQ(b->verbose(), verbose) << "dpo " << dpo << " verbose " << verbose;
      EXPECT_EQ(b->print_interval(), 1u << 20);
    }
  }
}

// Every check of the loader, by the reason it gives, one damaged field at a
// time; the undamaged image loads.
TEST(Checkpoint, EachKindOfDamageIsNamed) {
  RewriteEngine engine = growth_engine(23, 60);
  ASSERT_TRUE(engine.has_undo());
  ASSERT_TRUE(engine.graph().pair_count_exact());
  const CheckpointImage good = CheckpointImage::read(Checkpoint::save(engine));
  ASSERT_EQ(load_reason(good), "");
  const auto damaged = [&good](auto&& damage) {
    CheckpointImage image = good;
    damage(image);
    return load_reason(image);
  };
  // Settings and counters.
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.dpo = 2; }), "neither 0 nor 1"));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.successful = c.attempted + 1; }),
                       "more successful rewrites than attempted ones"));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.attempted = UINT64_MAX; }),
                       "more attempted rewrites than steps"));
  EXPECT_TRUE(
      Mentions(damaged([](CheckpointImage& c) { c.steps = c.attempted = c.successful = uint64_t{1} << 62; }),
               "a step count above 2^62"));
  EXPECT_EQ(
      damaged([](CheckpointImage& c) { c.steps = c.attempted = c.successful = (uint64_t{1} << 62) - 1; }),
      "");
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.vertex_counter = (uint64_t{1} << 62) + 1; }),
                       "a vertex id above 2^62"));
  // Hyperedge ids stop where a record could no longer hold the ids to come.
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.edge_counter = (uint64_t{1} << 55) + 1; }),
                       "a hyperedge id above 2^55"));
  // The generator: its position may stand at the end of its buffer, not past it.
  EXPECT_EQ(damaged([](CheckpointImage& c) { c.set_generator_position(64); }), "");
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.set_generator_position(65); }),
                       "a generator position past its buffer"));
  // The store (its own check).
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.store.live.pop_back(); }), "not in the live list"));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.store.vertices[0].incidence.push_back(0); }),
                       "more often than it holds"));
  // The undo record against the store and the causal log.
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.undo->created_vertices[0].id += 1; }),
                       "an undo record creating a vertex the store does not hold"));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.undo->created_edges[0].slot = 1u << 30; }),
                       "an undo record creating a hyperedge the store does not hold"));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.undo->causal_step += 1; }),
                       "an undo record naming another causal step"));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.undo->created_vertices.clear(); }),
                       "an undo record that disagrees with the causal log"));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) {
                         c.undo->removed_vertices.push_back({c.store.vertices[0].id, false});
                       }),
                       "an undo record removing a live vertex"));
  // The trailer and the pair count it vouches for.
  EXPECT_EQ(good.trailer, std::string(1, '\1'));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.store.pair_count += 1; }),
                       "a structural pair count that disagrees with the hyperedges"));
  EXPECT_EQ(damaged([](CheckpointImage& c) {
              c.store.pair_count += 1;
              c.trailer = std::string(1, '\0');
            }),
            "");
  EXPECT_TRUE(
      Mentions(damaged([](CheckpointImage& c) { c.trailer = "\x03"; }), "a trailer with unknown flags"));
  EXPECT_TRUE(Mentions(damaged([](CheckpointImage& c) { c.trailer += "x"; }), "bytes after the end"));
}

// Bytes written before the trailer existed load; a count that agrees with
// the hyperedges is taken as exact, one that does not is not refused (it may
// come from hyperedges that repeated a vertex).
TEST(Checkpoint, BytesWithoutTheTrailerLoad) {
  CheckpointImage image = CheckpointImage::read(Checkpoint::save(growth_engine(29, 40)));
  image.trailer.clear();
  CheckpointDamage error;
  std::optional<RewriteEngine> e = Checkpoint::load(image.bytes(), error);
  ASSERT_TRUE(e) << error.part;
  EXPECT_TRUE(e->graph().pair_count_exact());
  image.store.pair_count += 1;
  e = Checkpoint::load(image.bytes(), error);
  ASSERT_TRUE(e) << error.part;
  EXPECT_FALSE(e->graph().pair_count_exact());
  EXPECT_TRUE(check_consistency(e->graph()).empty());
}

namespace {

// A reader over `bytes` whose source hands out pieces of random lengths
// (at most what is asked for), as a file read in pieces might.
ByteReader streamed(const std::string& bytes, uint64_t seed, std::size_t* largest_request = nullptr) {
  auto at = std::make_shared<std::size_t>(0);
  auto gen = std::make_shared<std::mt19937_64>(seed);
  return ByteReader(
      [&bytes, at, gen, largest_request](char* out, std::size_t max) -> std::size_t {
        if (largest_request != nullptr) *largest_request = std::max(*largest_request, max);
        const std::size_t n =
            std::min({max, bytes.size() - *at, static_cast<std::size_t>(1 + (*gen)() % 70000)});
        std::memcpy(out, bytes.data() + *at, n);
        *at += n;
        return n;
      },
      bytes.size());
}

}  // namespace

TEST(Checkpoint, SavingAndLoadingStreamInPieces) {
  // Grown long enough that the causal log alone spans several pieces.
  RewriteEngine a(Hypergraph{}, 9);
  a.add_rule({}, {}, {{"a", "b"}, {"a", "c"}}, 1.0);
  a.step();
  a.clear_rules();
  a.add_rule({{"x", "y"}, {"x", "z"}}, {"x", "y", "z"}, {{"x", "z"}, {"x", "w"}, {"y", "w"}, {"z", "w"}},
             1.0);
  a.run(150000);
  a.rollback();
  const std::string whole = Checkpoint::save(a);
  ASSERT_GT(whole.size(), 3 * kPiece);
  EXPECT_EQ(Checkpoint::size(a), whole.size());
  std::string joined;
  std::size_t pieces = 0, largest = 0;
  ByteWriter out([&](std::string_view piece) {
    joined.append(piece);
    ++pieces;
    largest = std::max(largest, piece.size());
    return true;
  });
  Checkpoint::save(a, out);
  EXPECT_TRUE(out.finish());
  EXPECT_TRUE(joined == whole);
  EXPECT_GT(pieces, 3u);
  EXPECT_LT(largest, kPiece + (std::size_t{1} << 16) + 64);  // a piece and at most one log chunk beyond it
  // A sink that refuses stops the writing.
  int calls = 0;
  ByteWriter refusing([&](std::string_view) { return ++calls < 2; });
  Checkpoint::save(a, refusing);
  EXPECT_FALSE(refusing.finish());
  EXPECT_EQ(calls, 2);

  for (const uint64_t seed : {1u, 2u}) {
    std::size_t largest_request = 0;
    ByteReader in = streamed(whole, seed, &largest_request);
    CheckpointDamage error;
    std::optional<RewriteEngine> b = Checkpoint::load(in, error);
    ASSERT_TRUE(b) << error.part;
    EXPECT_TRUE(Checkpoint::save(*b) == whole);
    EXPECT_LE(largest_request, kPiece);
  }
}

TEST(Checkpoint, StreamedLoadingRefusesWhatWholeLoadingRefuses) {
  const RewriteEngine a = busy_engine(4, 3000);
  const std::string good = Checkpoint::save(a);
  std::mt19937_64 gen(8);
  for (int trial = 0; trial < 300; ++trial) {
    std::string bad = good;
    if (trial % 3 == 0) {
      bad.resize(gen() % good.size());
    } else {
      bad[gen() % bad.size()] ^= static_cast<char>(1u << (gen() % 8));
    }
    CheckpointDamage whole_error, streamed_error;
    const bool whole_loads = Checkpoint::load(bad, whole_error).has_value();
    ByteReader in = streamed(bad, trial);
    const bool streamed_loads = Checkpoint::load(in, streamed_error).has_value();
    ASSERT_EQ(whole_loads, streamed_loads) << trial;
    EXPECT_EQ(whole_error.truncated, streamed_error.truncated) << trial;
    EXPECT_EQ(whole_error.part, streamed_error.part) << trial;
  }
}

TEST(Checkpoint, AFailingSourceIsTruncation) {
  const std::string good = Checkpoint::save(busy_engine(2, 200));
  ByteReader in([](char*, std::size_t) -> std::size_t { return 0; }, good.size());
  CheckpointDamage error;
  EXPECT_FALSE(Checkpoint::load(in, error));
  EXPECT_TRUE(in.source_failed());
  EXPECT_TRUE(error.truncated);
}
