// The causal log's encoding: what is appended reads back, the bytes
// round-trip, and an entry with flags of no meaning is refused.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "hypergraph/causal_log.hpp"

using namespace vorn;

namespace {

struct Appended {
  CausalLog::Kind kind;
  uint64_t a = 0, b = 0, horizon = 0, capacity = 0;
};

std::vector<Appended> read_all(const CausalLog& log) {
  std::vector<Appended> out;
  CausalLog::Cursor cursor;
  log.read(cursor, [&](const CausalLog::Entry& e) {
    Appended x{e.kind};
    if (e.kind == CausalLog::Kind::create || e.kind == CausalLog::Kind::remove ||
        e.kind == CausalLog::Kind::drop) {
      x.a = e.a;
    }
    if (e.kind == CausalLog::Kind::create) x.capacity = e.capacity;
    if (e.kind == CausalLog::Kind::relate) {
      x.a = e.a;
      x.b = e.b;
      x.horizon = e.horizon;
      x.capacity = e.capacity;
    }
    out.push_back(x);
    return true;
  });
  return out;
}

bool operator==(const Appended& x, const Appended& y) {
  return x.kind == y.kind && x.a == y.a && x.b == y.b && x.horizon == y.horizon && x.capacity == y.capacity;
}

}  // namespace

TEST(CausalLog, EntriesReadBackAndTheCheckpointEncodingRoundTrips) {
  std::mt19937_64 rng(23);
  CausalLog log;
  std::vector<Appended> model;
  std::vector<uint64_t> vertices;
  uint64_t next = 0, horizon = 6, capacity = 1024;
  // Enough entries to cross several 64 KiB chunks.
  for (int step = 0; step < 40000; ++step) {
    if (rng() % 500 == 0) horizon = rng() % 9;
    if (rng() % 700 == 0) capacity = 64 << (rng() % 5);
    log.step();
    model.push_back({CausalLog::Kind::step});
    next += rng() % 16 == 0 ? 2 + rng() % 1000 : 1;
    log.create(next, capacity);
    model.push_back({CausalLog::Kind::create, next, 0, 0, capacity});
    vertices.push_back(next);
    // Relations among a few matched vertices and the new one, chained as a
    // rule's hyperedges chain their members.
    uint64_t picked[3];
    for (uint64_t& p : picked) p = vertices[rng() % vertices.size()];
    const uint64_t ends[][2] = {{picked[0], picked[1]}, {picked[0], next},      {picked[2], next},
                                {picked[1], next},      {picked[1], picked[2]}, {next, picked[0]}};
    const int count = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < count; ++k) {
      const auto& [a, b] = ends[rng() % 6];
      log.relate(a, b, horizon, capacity);
      model.push_back({CausalLog::Kind::relate, a, b, horizon, capacity});
    }
    if (rng() % 50 == 0) {
      const uint64_t v = vertices[rng() % vertices.size()];
      log.remove(v);
      model.push_back({CausalLog::Kind::remove, v});
    }
    if (rng() % 80 == 0) {
      const uint64_t v = vertices[rng() % vertices.size()];
      log.drop(v);
      model.push_back({CausalLog::Kind::drop, v});
    }
    log.end();
    model.push_back({CausalLog::Kind::end});
  }
  ASSERT_EQ(read_all(log), model);

  const std::string bytes = log.to_bytes();
  CausalLog loaded;
  const char* problem = nullptr;
  ASSERT_TRUE(loaded.from_bytes(bytes, problem)) << problem;
  EXPECT_EQ(read_all(loaded), model);
  EXPECT_EQ(loaded.to_bytes(), bytes);
  EXPECT_EQ(loaded.bytes(), log.bytes());
}

TEST(CausalLog, UnknownFlagsAreRefused) {
  // A relation entry with a flag bit no encoder sets: the bytes are damaged.
  const std::string relate_with_recent_end = {static_cast<char>(1 | 64), 2, 0};
  CausalLog log;
  const char* problem = nullptr;
  EXPECT_FALSE(log.from_bytes(relate_with_recent_end, problem));
  EXPECT_EQ(log.bytes(), 0u);
}
