#include "log/sequence.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvantine::log::sequence {
namespace {

using Membership = FrameSequence::Membership;

FrameMark Mark(uint8_t kind, uint64_t position, uint8_t batch, uint32_t index = 0) {
  return {kind, position, format::BatchId(format::IdBytes{batch}), index};
}
FrameMark Open(uint64_t position, uint8_t batch = 1) {
  return Mark(format::kBatchOpenFrame, position, batch);
}
FrameMark Event(uint64_t position, uint8_t batch = 1, uint32_t index = 0) {
  return Mark(format::kEventFrame, position, batch, index);
}
FrameMark Commit(uint64_t position, uint8_t batch = 1) {
  return Mark(format::kBatchCommitFrame, position, batch);
}
FrameMark System(uint64_t position) { return Mark(format::kSystemRecordFrame, position, 0); }

// A sequence starting at 10 takes every frame of a case but the last, which
// is then checked, with batch membership checked and taken on trust.
TEST(FrameSequenceTest, FirstBrokenRuleAndThePositionDue) {
  const struct {
    std::string name;
    std::vector<FrameMark> frames;
    Break checked;
    Break trusted;
    uint64_t due;
  } cases[] = {
      {"standalone event", {Event(10)}, Break::kNone, Break::kNone, 0},
      {"standalone event ahead", {Event(11)}, Break::kOutOfPlace, Break::kOutOfPlace, 10},
      {"system records share the next position", {Event(10), System(11), System(11)},
       Break::kNone, Break::kNone, 0},
      {"system record behind", {Event(10), System(10)}, Break::kOutOfPlace, Break::kOutOfPlace,
       11},
      {"whole batch", {Open(10), Event(10), Event(11, 1, 1), Commit(10)}, Break::kNone,
       Break::kNone, 0},
      {"event after a batch", {Open(10), Event(10), Event(11, 1, 1), Commit(10), Event(13)},
       Break::kOutOfPlace, Break::kOutOfPlace, 12},
      {"open inside a batch", {Open(10), Open(10)}, Break::kOutOfPlace, Break::kOutOfPlace, 10},
      {"system record inside a batch", {Open(10), Event(10), System(11)}, Break::kOutOfPlace,
       Break::kOutOfPlace, 10},
      {"event of a batch out of place", {Open(10), Event(10), Event(10, 1, 1)},
       Break::kEventOutOfPlace, Break::kEventOutOfPlace, 11},
      {"event of another batch", {Open(10), Event(10, 2)}, Break::kEventOfAnotherBatch,
       Break::kNone, 10},
      {"event with another index", {Open(10), Event(10, 1, 1)}, Break::kEventOfAnotherBatch,
       Break::kNone, 10},
      {"commit without begin", {Event(10), Commit(11)}, Break::kCommitWithoutBegin,
       Break::kCommitWithoutBegin, 11},
      {"commit elsewhere", {Open(10), Event(10), Commit(11)}, Break::kCommitOfAnotherBatch,
       Break::kCommitOfAnotherBatch, 10},
      {"commit of another batch", {Open(10), Event(10), Commit(10, 2)},
       Break::kCommitOfAnotherBatch, Break::kNone, 10},
      {"commit of no events", {Open(10), Commit(10)}, Break::kCommitOfNoEvents,
       Break::kCommitOfNoEvents, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (Membership membership : {Membership::kChecked, Membership::kTrusted}) {
      FrameSequence sequence(10, membership);
      for (size_t i = 0; i + 1 < c.frames.size(); ++i) {
        ASSERT_EQ(sequence.Check(c.frames[i]).broken, Break::kNone) << i;
        sequence.Accept(c.frames[i]);
      }
      const Verdict verdict = sequence.Check(c.frames.back());
      const Break expected = membership == Membership::kChecked ? c.checked : c.trusted;
      EXPECT_EQ(verdict.broken, expected);
      if (expected != Break::kNone) {
        EXPECT_EQ(verdict.due, c.due);
      }
    }
  }
}

TEST(FrameSequenceTest, ExpectedPositionStaysAtTheBeginOfAnOpenBatch) {
  FrameSequence sequence(10, Membership::kChecked);
  for (const FrameMark& frame : {Open(10), Event(10), Event(11, 1, 1)}) sequence.Accept(frame);
  EXPECT_TRUE(sequence.in_batch());
  EXPECT_EQ(sequence.expected(), 10u);
  sequence.Accept(Commit(10));
  EXPECT_FALSE(sequence.in_batch());
  EXPECT_EQ(sequence.expected(), 12u);
  EXPECT_EQ(CorruptSequence(13, 12).ToString(),
            "corrupt record at offset 13: position 13 breaks expected sequence 12");
}

}  // namespace
}  // namespace corvantine::log::sequence
