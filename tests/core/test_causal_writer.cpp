// CausalWriter on its own: which entries each write leaves in the log, the
// cache of relations in force, undo tokens and resuming from bookkeeping.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "hypergraph/causal_writer.hpp"

using namespace vorn;
using Kind = CausalLog::Kind;

namespace {

constexpr uint64_t kCapacity = 64;

std::vector<Kind> kinds(const CausalLog& log) {
  std::vector<Kind> out;
  CausalLog::Cursor cursor;
  log.read(cursor, [&](const CausalLog::Entry& e) {
    out.push_back(e.kind);
    return true;
  });
  return out;
}

}  // namespace

TEST(CausalWriter, AnApplicationThatWritesNothingLeavesNoTrace) {
  CausalWriter w;
  w.begin_step();
  w.end_step();
  EXPECT_EQ(w.log().bytes(), 0u);
  EXPECT_EQ(w.step_token(), 0u);
  EXPECT_EQ(w.undoable_step(), 0u);
  EXPECT_EQ(w.bookkeeping().steps, 0u);
}

TEST(CausalWriter, ApplicationsAreBracketedByStepAndEndEntries) {
  CausalWriter w;
  w.add_vertex(1, kCapacity);  // outside any application: no step entry
  w.begin_step();
  w.add_vertex(2, kCapacity);
  w.add_relation(1, 2, 0, kCapacity, true);
  w.end_step();
  EXPECT_EQ(w.step_token(), 1u);
  EXPECT_EQ(w.undoable_step(), 1u);
  EXPECT_TRUE(w.bookkeeping().tail_open);
  // The next write outside an application closes the last one first.
  w.remove_vertex(1);
  EXPECT_FALSE(w.bookkeeping().tail_open);
  w.begin_step();
  w.drop_vertex(2);
  w.end_step();
  EXPECT_EQ(w.step_token(), 2u);
  EXPECT_EQ(kinds(w.log()), (std::vector<Kind>{Kind::create, Kind::step, Kind::create, Kind::relate,
                                               Kind::end, Kind::remove, Kind::step, Kind::drop}));
}

TEST(CausalWriter, ARelationInForceIsLoggedOnceUntilAnUndo) {
  CausalWriter w;
  w.add_vertex(1, kCapacity);
  w.add_vertex(2, kCapacity);
  w.begin_step();
  w.add_relation(1, 2, 0, kCapacity, true);
  const std::size_t once = w.log().bytes();
  w.add_relation(1, 2, 0, kCapacity, true);  // known to be in force
  w.add_relation(2, 2, 0, kCapacity, true);  // a live vertex is in its own future
  EXPECT_EQ(w.log().bytes(), once);
  w.add_relation(1, 2, 0, kCapacity, false);  // not both live: always logged
  EXPECT_GT(w.log().bytes(), once);
  w.end_step();

  // An undo of another application than the latest does nothing.
  const std::size_t before_undo = w.log().bytes();
  w.undo_step(w.step_token() + 1);
  EXPECT_EQ(w.log().bytes(), before_undo);
  w.undo_step(w.step_token());
  EXPECT_GT(w.log().bytes(), before_undo);
  EXPECT_EQ(w.undoable_step(), 0u);

  // The undo took the relation back, so recording it again must log it.
  w.begin_step();
  const std::size_t after_undo = w.log().bytes();
  w.add_relation(1, 2, 0, kCapacity, true);
  EXPECT_GT(w.log().bytes(), after_undo);
  w.end_step();
}

TEST(CausalWriter, AResumedWriterGoesOnAsTheOriginal) {
  CausalWriter original;
  original.add_vertex(1, kCapacity);
  original.begin_step();
  original.add_vertex(2, kCapacity);
  original.end_step();
  const CausalWriter::Bookkeeping b = original.bookkeeping();
  CausalLog log;
  const char* problem = nullptr;
  ASSERT_TRUE(log.from_bytes(original.log().to_bytes(), problem));
  CausalWriter resumed = CausalWriter::resume(std::move(log), b);
  EXPECT_EQ(resumed.bookkeeping().steps, b.steps);
  EXPECT_EQ(resumed.bookkeeping().tail_open, b.tail_open);
  EXPECT_EQ(resumed.undoable_step(), original.undoable_step());
  for (CausalWriter* w : {&original, &resumed}) {
    w->remove_vertex(2);  // the open tail is closed by an end entry in both
    w->begin_step();
    w->add_vertex(3, kCapacity);
    w->end_step();
  }
  EXPECT_EQ(resumed.log().to_bytes(), original.log().to_bytes());
  EXPECT_EQ(resumed.step_token(), original.step_token());
}
