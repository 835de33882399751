#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/log.h"
#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::log {
namespace {

using namespace platform::testing;
using Reclaimable = std::vector<std::pair<uint64_t, uint64_t>>;

TEST(ChooseFloorForBytesTest, KeepsTheLongestTailThatFits) {
  const SegmentSize closed[] = {{0, 64}, {100, 64}};
  const SegmentSize active{200, 10};
  const struct {
    uint64_t target;
    FloorForBytes expected;
  } cases[] = {
      {80, {100, 74, true}},
      {10, {200, 10, true}},
      {5, {200, 10, false}},
      {1000, {0, 138, true}},
      {138, {0, 138, true}},
      {137, {100, 74, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(ChooseFloorForBytes(closed, active, c.target), c.expected);
  }
  EXPECT_EQ(ChooseFloorForBytes({}, active, 0), (FloorForBytes{200, 10, false}));
}

// A log with closed segments at bases 0 and 100 and the active one at 250.
class RetentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Open();
    ASSERT_NO_FATAL_FAILURE(AppendAndRoll(100));
    ASSERT_NO_FATAL_FAILURE(AppendAndRoll(150));
    ASSERT_EQ(log_->active_segment().base(), 250u);
    size0_ = *platform::FileSizeOf(SegmentPath(0));
    size100_ = *platform::FileSizeOf(SegmentPath(100));
  }

  void Open() {
    log_.reset();
    Result<std::unique_ptr<Log>> opened = Log::OpenInternal(dir_.path(), 1 << 20, 0);
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    log_ = std::move(*opened);
  }

  void AppendAndRoll(uint32_t events) {
    std::vector<segment::BatchRecord> records;
    for (uint32_t i = 0; i < events; ++i) {
      format::RecordEnvelopeV2 envelope;
      envelope.batch_index = i;
      records.push_back({envelope, "payload"});
    }
    ASSERT_TRUE(log_->AppendBatch(records).ok());
    ASSERT_TRUE(log_->Roll().ok());
  }

  std::string SegmentPath(uint64_t base) const {
    return platform::JoinPath(log_->log_directory(), segment::SegmentFileName(base));
  }

  platform::TempDir dir_;
  std::unique_ptr<Log> log_;
  uint64_t size0_ = 0;
  uint64_t size100_ = 0;
};

TEST_F(RetentionTest, BoundaryMovesByWholeSegments) {
  const struct {
    uint64_t position;
    uint64_t floor;
    Reclaimable reclaimable;
  } cases[] = {
      {0, 0, {}},
      {50, 0, {}},
      {180, 100, {{0, size0_}}},
      // The active segment holds no event yet: it is no floor.
      {250, 100, {{0, size0_}}},
      {1000, 100, {{0, size0_}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.position);
    RetentionBoundary boundary = log_->RetentionBoundaryFor(c.position);
    EXPECT_EQ(boundary.effective_floor, c.floor);
    EXPECT_EQ(boundary.reclaimable, c.reclaimable);
  }

  // The current floor raises the boundary; a deleted file is not listed.
  ASSERT_TRUE(log_->ActivateRetention(100, 7).ok());
  EXPECT_EQ(log_->RetentionBoundaryFor(50).effective_floor, 100u);
  EXPECT_EQ(log_->RetentionBoundaryFor(50).reclaimable, (Reclaimable{{0, size0_}}));
  ASSERT_TRUE(platform::RemoveFile(SegmentPath(0)).ok());
  EXPECT_EQ(log_->RetentionBoundaryFor(50).reclaimable, Reclaimable{});

  // Once an event lands there, it is the floor a batch's roll would have made.
  ASSERT_NO_FATAL_FAILURE(AppendAndRoll(1));
  EXPECT_EQ(log_->RetentionBoundaryFor(250).effective_floor, 250u);
}

TEST_F(RetentionTest, FloorForBytesCountsOnlyRetainedSegments) {
  const uint64_t all = size0_ + size100_;  // the active segment is empty
  EXPECT_EQ(*log_->RetentionFloorForBytes(all), (FloorForBytes{0, all, true}));
  EXPECT_EQ(*log_->RetentionFloorForBytes(size100_), (FloorForBytes{100, size100_, true}));
  // The active segment, without events, goes with the one before it.
  EXPECT_EQ(*log_->RetentionFloorForBytes(0), (FloorForBytes{100, size100_, false}));

  ASSERT_TRUE(log_->ActivateRetention(100, 7).ok());
  ASSERT_TRUE(platform::RemoveFile(SegmentPath(0)).ok());  // below the floor: not asked
  EXPECT_EQ(*log_->RetentionFloorForBytes(all), (FloorForBytes{100, size100_, true}));
  ASSERT_TRUE(platform::RemoveFile(SegmentPath(100)).ok());
  EXPECT_EQ(Outcome(log_->RetentionFloorForBytes(all)),
            "io: No such file or directory (os error 2)");
}

TEST_F(RetentionTest, ActivationMovesTheFloorDurably) {
  EXPECT_EQ(Outcome(log_->ActivateRetention(251, 1)),
            "invalid argument: invalid retention floor 251 for current floor 0 and head 250");
  ASSERT_EQ(Outcome(log_->ActivateRetention(100, 11)), "ok");
  EXPECT_EQ(Outcome(log_->ActivateRetention(99, 1)),
            "invalid argument: invalid retention floor 99 for current floor 100 and head 250");

  // The same floor again: the next generation and the new checksum.
  ASSERT_EQ(Outcome(log_->ActivateRetention(100, 12)), "ok");
  EXPECT_EQ(log_->retention_floor(), 100u);
  EXPECT_EQ(log_->retention_generation(), 2u);
  EXPECT_EQ(log_->retention_anchor_checksum(), 12u);
  EXPECT_EQ(log_->manifest().next_offset, 250u);
  EXPECT_EQ(*manifest::Manifest::Read(dir_.path()), log_->manifest());

  // A failed write changes nothing, in memory or on disk.
  const manifest::Manifest before = log_->manifest();
  {
    ScopedFault fault(Op::kRename, 1, Fault::Error(EIO));
    EXPECT_EQ(Outcome(log_->ActivateRetention(250, 13)), "io: Input/output error (os error 5)");
  }
  EXPECT_EQ(log_->manifest(), before);
  EXPECT_EQ(*manifest::Manifest::Read(dir_.path()), before);
}

TEST_F(RetentionTest, GenerationSaturates) {
  manifest::Manifest edited = log_->manifest();
  edited.retention_generation = std::numeric_limits<uint64_t>::max();
  log_.reset();
  ASSERT_TRUE(edited.Write(dir_.path()).ok());
  Open();
  ASSERT_TRUE(log_->ActivateRetention(0, 1).ok());
  EXPECT_EQ(log_->retention_generation(), std::numeric_limits<uint64_t>::max());
}

TEST_F(RetentionTest, ReclaimDeletesSegmentsButNotSidecars) {
  ASSERT_EQ(log_->sidecar_cache().size(), 2u);  // cached by the rolls
  ASSERT_TRUE(log_->ActivateRetention(250, 1).ok());
  EXPECT_EQ(log_->ReclaimBelowRetentionFloor(), size0_ + size100_);
  EXPECT_FALSE(platform::PathExists(SegmentPath(0)));
  EXPECT_FALSE(platform::PathExists(SegmentPath(100)));
  EXPECT_TRUE(platform::PathExists(index::SidecarPath(SegmentPath(0))));
  EXPECT_TRUE(platform::PathExists(index::SidecarPath(SegmentPath(100))));
  EXPECT_TRUE(log_->closed_segments().empty());
  EXPECT_TRUE(log_->sidecar_cache().empty());
  EXPECT_EQ(log_->ReclaimBelowRetentionFloor(), 0u);
}

TEST_F(RetentionTest, ReclaimRetriesWhatItCouldNotDelete) {
  ASSERT_TRUE(log_->ActivateRetention(250, 1).ok());
  {
    ScopedFault fault(Op::kRemove, 1, Fault::Error(EBUSY), "00000000000000000000.seg");
    EXPECT_EQ(log_->ReclaimBelowRetentionFloor(), size100_);
  }
  ASSERT_EQ(log_->closed_segments().size(), 1u);
  EXPECT_EQ(log_->closed_segments()[0].base, 0u);

  // A file that is already gone is forgotten without counting.
  ASSERT_TRUE(platform::RemoveFile(SegmentPath(0)).ok());
  EXPECT_EQ(log_->ReclaimBelowRetentionFloor(), 0u);
  EXPECT_TRUE(log_->closed_segments().empty());
}

TEST_F(RetentionTest, CrashPointAbortsAfterTheFirstDeletion) {
  ASSERT_TRUE(log_->ActivateRetention(250, 1).ok());
  EXPECT_DEATH(
      {
        setenv("CORVANTINE_RETENTION_CRASH_AT", "during_cleanup", 1);
        log_->ReclaimBelowRetentionFloor();
      },
      "");
  EXPECT_FALSE(platform::PathExists(SegmentPath(0)));
  EXPECT_TRUE(platform::PathExists(SegmentPath(100)));

  // The survivor is a closed segment again after a reopen, and goes next.
  Open();
  EXPECT_EQ(log_->ReclaimBelowRetentionFloor(), size100_);
}

}  // namespace
}  // namespace corvantine::log
