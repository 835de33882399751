#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "db/db.h"
#include "db/test_util.h"
#include "retention/retention.h"
#include "snapshot/snapshot.h"
#include "util/crc32c.h"

namespace corvantine::db {
namespace {

using namespace testing;

constexpr char kView[] = "totals";

Result<stream::AppendReceipt> AppendPair(Corvantine& db) {
  RequestDraft draft;
  draft.events = {Event("a"), Event("b")};
  return db.AppendBatchWithId(Request(std::move(draft)), std::nullopt);
}

format::IdBytes Fingerprint(uint8_t fill = 0xAA) {
  format::IdBytes fingerprint{};
  fingerprint.fill(fill);
  return fingerprint;
}

// Writes a snapshot of view "totals" on the default branch at `cursor`, a
// partition of `count` when `partition` is set; returns its id.
std::string WriteSnapshot(const Corvantine& db, uint64_t cursor,
                          std::optional<uint32_t> partition = {}, uint32_t count = 1,
                          std::string name = kView) {
  snapshot::SnapshotManifest m;
  m.format_version =
      partition ? snapshot::kPartitionSnapshotFormat : snapshot::kProjectionSnapshotFormat;
  m.database_id = LogOf(db).database_id();
  m.projection_name = std::move(name);
  m.descriptor_fingerprint = Fingerprint(m.projection_name == kView ? 0xAA : 0xBB);
  m.cursor = {m.database_id, m.branch_id, cursor, m.descriptor_fingerprint};
  m.created_at_unix_nanos = snapshot::CreatedNow();
  m.uncompressed_len = 5;
  m.checksum = util::crc32c::Value("state");
  if (partition) {
    m.partition = partition;
    m.partition_scheme_id = "stream-id-modulo";
    m.partition_scheme_version = 1;
    m.partition_count = count;
  }
  return snapshot::Publish(db.directory(), std::move(m), "state").value().id;
}

retention::RetentionProjectionCoverage Coverage(uint64_t cursor, std::vector<std::string> ids) {
  return {kView, Fingerprint(), format::BranchId(), cursor, std::move(ids)};
}

// Ten events in batches of two, a segment per batch; durable head 10.
class RetentionAnchorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = OpenDb(dir_.path(), {}, /*max_segment_bytes=*/1);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(AppendPair(*db_).ok());
    ASSERT_TRUE(db_->Commit().ok());
  }

  Result<retention::RetentionAnchorInfo> Create(
      uint64_t keep_from, std::vector<retention::RetentionProjectionCoverage> coverage = {}) {
    return db_->CreateRetentionAnchorWithAllCoverage(keep_from, std::move(coverage), {}, {});
  }

  void Reopen() {
    db_.reset();
    db_ = OpenDb(dir_.path(), {}, /*max_segment_bytes=*/1);
    ASSERT_NE(db_, nullptr);
  }

  TempDir dir_;
  std::unique_ptr<Corvantine> db_;
};

TEST_F(RetentionAnchorTest, CreatingCommitsFirstAndKeepsTheCommitWhenThePlanFails) {
  ASSERT_TRUE(AppendPair(*db_).ok());
  EXPECT_EQ(Outcome(Create(13)), "offset 13 beyond head");
  EXPECT_EQ(db_->durable_head(), 12u);
  EXPECT_FALSE(db_->verified_anchor().has_value());
  const retention::RetentionAnchorInfo info = Create(5).value();
  EXPECT_EQ(info.floor, 4u);
  EXPECT_EQ(info.head, 12u);
  EXPECT_TRUE(db_->PlanRetention(5)->blockers.empty());
}

uint64_t InodeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0);
  return status.st_ino;
}

TEST_F(RetentionAnchorTest, CreatingTwiceWithEqualInputsKeepsTheFirstFile) {
  const retention::RetentionAnchorInfo first = Create(4).value();
  const uint64_t written = InodeOf(retention::AnchorPath(dir_.path()));
  EXPECT_EQ(Create(4).value(), first);
  EXPECT_EQ(InodeOf(retention::AnchorPath(dir_.path())), written);
}

TEST_F(RetentionAnchorTest, CoverageIsProvedBySnapshotFilesPresentNow) {
  const std::string whole = WriteSnapshot(*db_, 10);
  const std::string early = WriteSnapshot(*db_, 8);
  const std::string other = WriteSnapshot(*db_, 10, {}, 1, "other");
  std::vector<std::string> parts;
  for (uint32_t p = 0; p < 3; ++p) parts.push_back(WriteSnapshot(*db_, 10, p, 4));
  const std::string part3 = WriteSnapshot(*db_, 10, 3, 4);
  struct Case {
    std::string name;
    std::vector<std::string> ids;
    uint64_t cursor;
    uint32_t partitions;
    bool covered;
  } cases[] = {
      {"a snapshot at the anchor's head", {whole}, 10, 1, true},
      {"an entry whose cursor is not the anchor's head", {early}, 8, 1, false},
      {"a snapshot below the entry's cursor", {early}, 10, 1, false},
      {"another view's snapshot", {other}, 10, 1, false},
      {"a missing snapshot", {"missing.snap"}, 10, 1, false},
      {"three of four partitions", parts, 10, 4, false},
      {"all four partitions", {parts[0], parts[1], parts[2], part3}, 10, 4, true},
      {"a partition named twice", {parts[0], parts[1], parts[2], parts[2]}, 10, 4, false},
      {"a whole snapshot for four partitions", {whole, whole, whole, whole}, 10, 4, false},
  };
  EXPECT_FALSE(db_->HasRetentionProjectionCoverage(kView, Fingerprint(), {}, 1).value());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Create(4, {Coverage(c.cursor, c.ids)}).ok());
    EXPECT_EQ(db_->HasRetentionProjectionCoverage(kView, Fingerprint(), {}, c.partitions).value(),
              c.covered);
  }
  ASSERT_TRUE(Create(4, {Coverage(10, {whole})}).ok());
  EXPECT_FALSE(db_->HasRetentionProjectionCoverage(kView, Fingerprint(), {}, 2).value());
  EXPECT_FALSE(db_->HasRetentionProjectionCoverage(kView, {}, {}, 1).value());
  ASSERT_TRUE(snapshot::Delete(dir_.path(), whole).value());
  EXPECT_FALSE(db_->HasRetentionProjectionCoverage(kView, Fingerprint(), {}, 1).value());
}

TEST_F(RetentionAnchorTest, BootstrapLookupsAnswerFromTheVerifiedAnchorOnly) {
  EXPECT_EQ(db_->RetentionConsumerBootstrap("c"), std::nullopt);
  retention::RetentionConsumerBootstrap consumer;
  consumer.consumer_id = "c";
  consumer.floor = 4;
  consumer.checkpoint = "cp";
  consumer.checksum = util::crc32c::Value("cp");
  consumer.checkpoint_id[0] = 1;
  ASSERT_TRUE(db_->CreateRetentionAnchorWithAllCoverage(4, {}, {}, {consumer}).ok());
  EXPECT_EQ(db_->RetentionConsumerBootstrap("c"), "cp");
  EXPECT_EQ(db_->RetentionConsumerBootstrap("d"), std::nullopt);
  const format::BranchId branch = db_->ForkBranch({}, 2, "early", {}).value().id;
  EXPECT_EQ(db_->RetentionBranchBootstrap(branch), std::nullopt);
  ASSERT_TRUE(db_->CreateRetentionAnchorWithAllCoverage(
                     4, {}, {{branch, 4, util::crc32c::Value("b"), "b"}}, {})
                  .ok());
  EXPECT_EQ(db_->RetentionBranchBootstrap(branch), "b");
  EXPECT_EQ(db_->RetentionBranchBootstrap({}), std::nullopt);
  EXPECT_EQ(db_->RetentionConsumerBootstrap("c"), std::nullopt);
}

// After an apply, the log alone no longer holds the history below the
// floor; the next anchor must still carry it, and the open after the
// second apply must still see it.
TEST_F(RetentionAnchorTest, ASecondAnchorAfterRetentionKeepsTheHistoryBelowTheFloor) {
  ASSERT_TRUE(db_->AppendSystemRecord("corvantine.consumer.checkpoint",
                                      R"({"consumer_id":"early","position":1})")
                  .ok());
  ASSERT_TRUE(db_->AppendSystemRecord("app.note", "kept").ok());
  ASSERT_TRUE(Create(4).ok());
  ASSERT_EQ(Outcome(db_->ApplyRetentionPrevalidated(4, 10)), "ok");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(AppendPair(*db_).ok());
  ASSERT_TRUE(db_->AppendSystemRecord("corvantine.consumer.checkpoint",
                                      R"({"consumer_id":"early","position":12})")
                  .ok());
  const stream::StreamCatalog before = db_->stream_catalog();
  ASSERT_TRUE(Create(14).ok());
  EXPECT_TRUE(SameIgnoringDurability(db_->stream_catalog(), before));
  ASSERT_EQ(Outcome(db_->ApplyRetentionPrevalidated(14, 16)), "ok");
  Reopen();
  EXPECT_EQ(LogOf(*db_).retention_floor(), 14u);
  EXPECT_TRUE(SameIgnoringDurability(db_->stream_catalog(), before));
  EXPECT_EQ(db_->SystemMetadata().value(),
            (std::vector<retention::AnchoredSystemRecord>{
                {"app.note", "kept"},
                {"corvantine.consumer.checkpoint", R"({"consumer_id":"early","position":12})"},
                // the log from the floor on repeats what the anchor holds of it
                {"corvantine.consumer.checkpoint", R"({"consumer_id":"early","position":12})"}}));
  RequestDraft next;
  next.events = {Event("c")};
  next.expected = stream::ExpectedRevision::Exact(format::StreamRevision{15});
  EXPECT_EQ(db_->AppendBatchWithId(Request(next), std::nullopt)->first_position, 16u);
}

}  // namespace
}  // namespace corvantine::db
