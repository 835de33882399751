#include <cerrno>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/db.h"
#include "db/test_util.h"
#include "platform/platform.h"
#include "retention/retention.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::db {
namespace {

using namespace testing;

Result<stream::AppendReceipt> AppendBatch(Corvantine& db, size_t events,
                                          const format::BranchId& branch = {}) {
  RequestDraft draft;
  for (size_t i = 0; i < events; ++i) draft.events.push_back(Event("{}"));
  draft.branch = branch;
  return db.AppendBatchWithId(Request(std::move(draft)), std::nullopt);
}

std::vector<uint64_t> Range(uint64_t from, uint64_t to) {
  std::vector<uint64_t> positions(to - from);
  std::iota(positions.begin(), positions.end(), from);
  return positions;
}

std::vector<uint64_t> Positions(const Corvantine& db, ReadRequest request) {
  std::vector<uint64_t> positions;
  for (const format::OwnedStoredRecord& record : Drain(db.Read(std::move(request)).value())) {
    positions.push_back(record.position);
  }
  return positions;
}

ReadRequest ReadOf(const format::BranchId& branch, std::optional<uint64_t> until = {}) {
  ReadRequest request;
  request.branch_id = branch;
  request.until = until;
  return request;
}

// main holds 0..29; b, forked from main at 30, holds 30..49; c, forked from
// b at 50, holds 50..89.
class LineageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = OpenDb(dir_.path());
    ASSERT_TRUE(AppendBatch(*db_, 30).ok());
    b_ = db_->ForkBranch({}, 30, "b", {}).value().id;
    ASSERT_TRUE(AppendBatch(*db_, 20, b_).ok());
    c_ = db_->ForkBranch(b_, 50, "c", {}).value().id;
    ASSERT_TRUE(AppendBatch(*db_, 40, c_).ok());
  }

  TempDir dir_;
  std::unique_ptr<Corvantine> db_;
  format::BranchId b_, c_;
};

TEST_F(LineageTest, ReadsFollowTheLineage) {
  EXPECT_EQ(Positions(*db_, ReadOf({})), Range(0, 30));
  EXPECT_EQ(Positions(*db_, ReadOf(b_)), Range(0, 50));
  EXPECT_EQ(Positions(*db_, ReadOf(c_, 70)), Range(0, 70));
  EXPECT_EQ(Positions(*db_, ReadOf(c_, 40)), Range(0, 40));
  ReadRequest from_b = ReadOf(c_);
  from_b.start = StartBound::Excluded(44);
  EXPECT_EQ(Positions(*db_, from_b), Range(45, 90));
}

TEST_F(LineageTest, DiffStartsAtTheDivergence) {
  DiffRequest request{b_, 80, c_, 90, log::reader::PartitionFilter::All()};
  const BranchDiff diff = db_->Diff(request).value();
  EXPECT_EQ(diff.common_ancestor.id, b_);
  EXPECT_EQ(diff.divergence_offset, 50u);
  EXPECT_EQ(Positions(*db_, diff.shared), Range(0, 50));
  EXPECT_EQ(Positions(*db_, diff.left.read), Range(50, 50));
  EXPECT_EQ(Positions(*db_, diff.right.read), Range(50, 90));
  EXPECT_EQ(diff.left.until, 80u);
  EXPECT_EQ(diff.right.branch.name, "c");

  const BranchDiff itself =
      db_->Diff({b_, 80, b_, 60, log::reader::PartitionFilter::All()}).value();
  EXPECT_EQ(itself.common_ancestor.id, b_);
  EXPECT_EQ(itself.divergence_offset, 60u);
  EXPECT_EQ(itself.shared.start.First(), 0u);
  EXPECT_EQ(itself.left.read.start.First(), 60u);
}

TEST_F(LineageTest, RequestChecks) {
  const format::BranchId unknown(format::GenerateIdBytes());
  ReadRequest modulo = ReadOf({});
  modulo.partition = log::reader::PartitionFilter::Modulo(0, 0);
  ReadRequest excluded_max = ReadOf({});
  excluded_max.start = StartBound::Excluded(std::numeric_limits<uint64_t>::max());
  struct Case {
    const char* what;
    ReadRequest request;
    std::string outcome;
  } cases[] = {
      {"until the head", ReadOf({}, 90), "ok"},
      {"beyond the head", ReadOf({}, 91), "offset 91 beyond head"},
      {"modulo 0", modulo, "invalid argument: partition class 0 of 0 is not a valid partition"},
      {"unknown branch", ReadOf(unknown), "branch not found: " + unknown.ToHex()},
      {"excluded maximum", excluded_max, "ok"},
  };
  for (Case& c : cases) {
    EXPECT_EQ(Outcome(db_->Read(c.request)), c.outcome) << c.what;
  }
  EXPECT_TRUE(Positions(*db_, excluded_max).empty());

  EXPECT_EQ(Outcome(db_->Diff({b_, 91, c_, {}, log::reader::PartitionFilter::All()})),
            "offset 91 beyond head");
  EXPECT_EQ(Outcome(db_->Diff({b_, {}, unknown, {}, log::reader::PartitionFilter::All()})),
            "branch not found: " + unknown.ToHex());
  EXPECT_EQ(Outcome(db_->Diff({b_, {}, c_, {}, log::reader::PartitionFilter::Modulo(2, 2)})),
            "invalid argument: partition class 2 of 2 is not a valid partition");
}

TEST_F(LineageTest, ForksOnlyAtBatchBoundaries) {
  struct Case {
    uint64_t position;
    std::string outcome;
  } cases[] = {
      {15, "position 15 is not a committed batch boundary"},
      {29, "position 29 is not a committed batch boundary"},
      {51, "position 51 is not a committed batch boundary"},
      {50, "ok"},  // a batch on c follows one on b
      {0, "ok"},
      {90, "ok"},
      {91, "offset 91 beyond head"},
  };
  int n = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(Outcome(db_->ForkBranch(c_, c.position, "f" + std::to_string(n++), {})), c.outcome)
        << c.position;
  }
  const format::BranchId unknown(format::GenerateIdBytes());
  EXPECT_EQ(Outcome(db_->ForkBranch(unknown, 0, "x", {})), "branch not found: " + unknown.ToHex());
  EXPECT_EQ(Outcome(db_->ForkBranch({}, 0, "b", {})), "branch already exists: b");
}

// Fork and archive change the live catalog; nothing is read back from the log.
TEST(ForkTest, AppliesTheValidatedChangeWithoutReadingTheLog) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  ASSERT_TRUE(AppendBatch(*db, 3).ok());  // buffered: the fork commits it
  CallCounter reads(Op::kRead);
  const branch::BranchInfo side = db->ForkBranch({}, 3, "side", {{"k", "v"}}).value();
  const branch::BranchInfo archived = db->ArchiveBranch(side.id).value();
  EXPECT_EQ(reads.count(), 0u);
  EXPECT_EQ(db->durable_head(), 3u);
  EXPECT_EQ(*db->branch_catalog().Find(side.id), archived);
  EXPECT_EQ(archived.status, branch::BranchStatus::kArchived);
  EXPECT_EQ(side.parent, format::BranchId());
  EXPECT_EQ(side.fork_position, 3u);
  EXPECT_EQ(side.metadata, (branch::BranchMetadata{{"k", "v"}}));

  // Archiving again writes nothing; the default branch cannot be archived.
  const size_t records = db->SystemMetadata()->size();
  EXPECT_EQ(*db->ArchiveBranch(side.id), archived);
  EXPECT_EQ(Outcome(db->ArchiveBranch({})),
            "invalid argument: the default branch cannot be archived");
  EXPECT_EQ(db->SystemMetadata()->size(), records);
  // An archived parent can still be forked from.
  EXPECT_TRUE(db->ForkBranch(side.id, 3, "child", {}).ok());

  db.reset();
  db = OpenDb(dir.path());
  EXPECT_EQ(*db->branch_catalog().Find(side.id), archived);
  EXPECT_NE(db->branch_catalog().Named("child"), nullptr);
}

// The branch record is in the log when the commit fails, so the branch is in
// the catalog too.
TEST(ForkTest, FailedCommitKeepsTheBranch) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  {
    ScopedFault fault(Op::kSync, 1, Fault::Error(EIO), ".seg");
    EXPECT_EQ(Outcome(db->ForkBranch({}, 0, "side", {})), "io: Input/output error (os error 5)");
  }
  ASSERT_NE(db->branch_catalog().Named("side"), nullptr);
  const branch::BranchInfo side = *db->branch_catalog().Named("side");
  db.reset();
  db = OpenDb(dir.path());
  EXPECT_EQ(*db->branch_catalog().Named("side"), side);
}

TEST(ForkTest, LineagesAreAtMost64Deep) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  format::BranchId parent;
  for (int depth = 2; depth <= 64; ++depth) {
    parent = db->ForkBranch(parent, 0, "b" + std::to_string(depth), {}).value().id;
  }
  EXPECT_EQ(db->branch_catalog().Ancestry(parent)->size(), 64u);
  EXPECT_EQ(Outcome(db->ForkBranch(parent, 0, "b65", {})),
            "invalid branch ancestry: lineage exceeds maximum depth 64");
  EXPECT_EQ(db->branch_catalog().branches().size(), 64u);
}

// A segment base and the retention floor are batch boundaries by
// construction; forking there reads nothing, and the event before the floor
// is gone.
TEST(ForkTest, SegmentBasesAndTheFloorNeedNoScan) {
  TempDir dir;
  auto db = OpenDb(dir.path(), {}, /*max_segment_bytes=*/1);  // a segment per batch
  for (size_t events : {2, 2, 2}) ASSERT_TRUE(AppendBatch(*db, events).ok());
  // This fork rolls the full segment (which reads it to index it); the
  // next one finds an empty active segment.
  ASSERT_TRUE(db->ForkBranch({}, 0, "rolls", {}).ok());
  {
    CallCounter reads(Op::kRead);
    ASSERT_TRUE(db->ForkBranch({}, 2, "at-base", {}).ok());
    EXPECT_EQ(reads.count(), 0u);
  }
  retention::CoreRetentionAnchor anchor;
  anchor.database_id = LogOf(*db).database_id();
  anchor.floor = 4;
  anchor.head = db->durable_head();
  anchor.stream_catalog = db->stream_catalog();
  anchor.branch_catalog = db->branch_catalog();
  const uint32_t checksum = retention::Publish(dir.path(), anchor, std::nullopt).value().checksum;
  ASSERT_TRUE(LogOf(*db).ActivateRetention(4, checksum).ok());
  LogOf(*db).ReclaimBelowRetentionFloor();

  EXPECT_EQ(Outcome(db->ForkBranch({}, 4, "at-floor", {})), "ok");
  EXPECT_EQ(Outcome(db->ForkBranch({}, 3, "below-floor", {})),
            "position 3 is unavailable: retained history starts at 4, head is 6");
  EXPECT_EQ(Outcome(db->ForkBranch({}, 5, "inside", {})),
            "position 5 is not a committed batch boundary");
  ReadRequest below = ReadOf({});
  below.start = StartBound::Included(3);
  EXPECT_EQ(Outcome(db->Read(below)),
            "position 3 is unavailable: retained history starts at 4, head is 6");
  EXPECT_EQ(Outcome(db->Read(ReadOf({}))),
            "position 0 is unavailable: retained history starts at 4, head is 6");
  below.start = StartBound::Included(4);
  EXPECT_EQ(Positions(*db, below), Range(4, 6));
}

}  // namespace
}  // namespace corvantine::db
