#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "db/test_util.h"
#include "platform/platform.h"
#include "retention/retention.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::db {
namespace {

using namespace testing;
using stream::ReceiptDurability;

constexpr char kNoMatchingAnchor[] =
    "invalid format: manifest has no matching authoritative retention anchor";

uint32_t Publish(const Corvantine& db, const retention::CoreRetentionAnchor& anchor) {
  return retention::Publish(db.directory(), anchor, LogOf(db).retention_anchor_checksum())
      .value()
      .checksum;
}

// A stream only an anchor knows: shows which base a reopened catalog grew from.
void MarkAsAnchors(retention::CoreRetentionAnchor& anchor) {
  const stream::AppendReceipt receipt{
      format::BatchId(format::GenerateIdBytes()), 0, 0, {}, {}, {0}, ReceiptDurability::kSynced};
  anchor.stream_catalog.RecordBatch({}, "from-anchor", {}, {}, std::nullopt, 0, receipt);
}

TEST(OpenTest, FreshDirectory) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  EXPECT_EQ(db->durable_head(), 0u);
  EXPECT_EQ(db->stream_catalog(), stream::StreamCatalog());
  EXPECT_EQ(db->branch_catalog(), branch::BranchCatalog());
  EXPECT_FALSE(db->verified_anchor());
  EXPECT_EQ(CheckpointHead(dir.path()), 0u);
}

TEST(OpenTest, CheckpointBehindTheLogIsRolledForward) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  const auto first = AppendOne(*db, "a", "1", stream::RequestDurability::kSync).value();
  ASSERT_EQ(CheckpointHead(dir.path()), 1u);
  const std::string stale = platform::ReadFile(CheckpointPath(dir.path())).value();
  RequestDraft keyed;
  keyed.stream = "b";
  keyed.key = "key";
  keyed.events.push_back(Event("2"));
  keyed.events.push_back(Event("3", EventIdOf(3)));
  ASSERT_TRUE(db->AppendBatchWithId(Request(keyed), std::nullopt).ok());
  ASSERT_TRUE(AppendOne(*db, "a", "4").ok());
  const stream::StreamCatalog live = db->stream_catalog();
  db.reset();

  WriteFile(CheckpointPath(dir.path()), stale);
  db = OpenDb(dir.path());
  EXPECT_TRUE(SameIgnoringDurability(db->stream_catalog(), live));
  // What came from the checkpoint keeps the durability it recorded.
  EXPECT_EQ(db->stream_catalog().BatchReceipt(first.batch_id)->durability,
            ReceiptDurability::kSynced);
  EXPECT_EQ(CheckpointHead(dir.path()), 4u);  // rewritten at the log head
}

// An open leaves the event-id and idempotency maps to a background thread:
// a retry that is the first to need them answers as before the reopen.
TEST(OpenTest, RetryFirstAfterACheckpointedOpenGetsTheStoredReceipt) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  RequestDraft keyed;
  keyed.key = "key";
  keyed.events.push_back(Event("1", EventIdOf(1)));
  const auto first = db->AppendBatchWithId(Request(keyed), std::nullopt).value();
  ASSERT_TRUE(db->Commit().ok());
  const stream::StreamCatalog live = db->stream_catalog();
  for (const bool by_key : {true, false}) {
    db.reset();
    db = OpenDb(dir.path());
    RequestDraft retry = keyed;
    if (!by_key) retry.key.reset();
    const auto again = db->AppendBatchWithId(Request(retry), std::nullopt).value();
    EXPECT_EQ(again.batch_id, first.batch_id);
    EXPECT_EQ(again.last_position, first.last_position);
    EXPECT_EQ(db->stream_catalog(), live);
  }
}

// A checkpoint ahead of the log (its tail was lost) is rebuilt over.
TEST(OpenTest, CheckpointAheadOfTheLogIsIgnored) {
  TempDir dir, earlier;
  auto db = OpenDb(dir.path());
  ASSERT_TRUE(AppendOne(*db, "a", "1", stream::RequestDurability::kSync).ok());
  db.reset();
  std::filesystem::copy(
      dir.path(), earlier.path(),
      std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
  db = OpenDb(dir.path());
  ASSERT_TRUE(AppendOne(*db, "b", "2", stream::RequestDurability::kSync).ok());
  db.reset();
  WriteFile(CheckpointPath(earlier.path()), platform::ReadFile(CheckpointPath(dir.path())).value());

  db = OpenDb(earlier.path());
  EXPECT_FALSE(db->stream_catalog().Stream({}, "b"));
  EXPECT_TRUE(SameIgnoringDurability(db->stream_catalog(), RebuiltCatalog(LogOf(*db))));
  EXPECT_EQ(CheckpointHead(earlier.path()), 1u);
}

// The log is cut below the head of a checkpoint and an anchor, the rewrite
// of the checkpoint fails, and other batches pass their head: both describe
// another history and must not be the base of the catalog, also when the
// checkpoint comes back (its removal can fail too).
TEST(OpenTest, CheckpointAndAnchorOfACutHistoryAreNotTheBase) {
  for (const bool checkpoint_restored : {false, true}) {
    SCOPED_TRACE(checkpoint_restored);
    TempDir dir;
    auto db = OpenDb(dir.path());
    ASSERT_TRUE(AppendOne(*db, "a", "1", stream::RequestDurability::kSync).ok());
    const std::string segment = LogOf(*db).active_segment().path();
    const uint64_t kept_bytes = LogOf(*db).active_segment().byte_length();
    RequestDraft keyed;
    keyed.stream = "b";
    keyed.key = "key";
    keyed.events.push_back(Event("2"));
    keyed.events.push_back(Event("3"));
    keyed.durability = stream::RequestDurability::kSync;
    ASSERT_TRUE(db->AppendBatchWithId(Request(keyed), std::nullopt).ok());
    Publish(*db, AnchorOf(*db, 0));
    db.reset();
    ASSERT_EQ(CheckpointHead(dir.path()), 3u);
    const std::string stale = platform::ReadFile(CheckpointPath(dir.path())).value();
    // A torn tail: the open cuts the log back to its first batch.
    ASSERT_TRUE(platform::OpenForReadWrite(segment)->Truncate(kept_bytes + 10).ok());

    ::testing::internal::CaptureStderr();
    {
      ScopedFault failing(Op::kRename, 1, Fault::Error(EIO).Persistent(), "core-catalog.tmp");
      db = OpenDb(dir.path());
      ASSERT_EQ(LogOf(*db).head(), 1u);
      EXPECT_FALSE(platform::PathExists(CheckpointPath(dir.path())));
      for (const char* payload : {"4", "5", "6"}) {
        ASSERT_TRUE(AppendOne(*db, "c", payload, stream::RequestDurability::kSync).ok());
      }
      db.reset();
      EXPECT_GT(failing.hits(), 0u);
    }
    ::testing::internal::GetCapturedStderr();
    if (checkpoint_restored) WriteFile(CheckpointPath(dir.path()), stale);

    db = OpenDb(dir.path());
    EXPECT_FALSE(db->verified_anchor());
    EXPECT_TRUE(SameIgnoringDurability(db->stream_catalog(), RebuiltCatalog(LogOf(*db))));
    // The key was lost with the cut: the retry appends, and its receipt
    // names its own events.
    const stream::AppendReceipt retry = db->AppendBatchWithId(Request(keyed), std::nullopt).value();
    const std::vector<format::OwnedStoredRecord> events = Drain(
        LogOf(*db).PlanReader(AllEventsBetween(retry.first_position, retry.last_position + 1)));
    ASSERT_EQ(events.size(), 2u);
    for (const format::OwnedStoredRecord& event : events) {
      EXPECT_EQ(event.envelope.batch_id, retry.batch_id);
    }
  }
}

enum class AnchorState {
  kMissing,
  kDamaged,
  kOtherDatabase,
  kOtherChecksum,
  kGood,
  kBehind,
  kAhead
};

struct OpenCase {
  const char* what;
  bool manifest_names_anchor;
  AnchorState state;
  std::string outcome;
  bool accepted;
  std::string warning;
};

// Builds a database whose anchor is in `state`: the head is 3 with a branch
// forked at 2; kBehind anchors at 2 and appends after it. The checkpoint is
// removed, so an accepted anchor provides the catalogs.
void MakeDatabase(const std::string& dir, const OpenCase& c, stream::StreamCatalog* streams,
                  branch::BranchCatalog* branches) {
  auto db = OpenDb(dir);
  ASSERT_TRUE(AppendOne(*db, "orders", "1").ok());
  ASSERT_TRUE(AppendOne(*db, "orders", "2").ok());
  ASSERT_TRUE(db->ForkBranch({}, 2, "side", {}).ok());
  const bool behind = c.state == AnchorState::kBehind;
  if (!behind) {
    ASSERT_TRUE(AppendOne(*db, "orders", "3", stream::RequestDurability::kSync).ok());
  }

  retention::CoreRetentionAnchor anchor = AnchorOf(*db, 0);
  if (c.state == AnchorState::kOtherDatabase) {
    anchor.database_id = format::DatabaseId(format::GenerateIdBytes());
  }
  if (c.state == AnchorState::kAhead) anchor.head += 1;
  if (c.state != AnchorState::kOtherChecksum || c.manifest_names_anchor) {
    const uint32_t checksum = Publish(*db, anchor);
    if (c.manifest_names_anchor) {
      ASSERT_TRUE(LogOf(*db).ActivateRetention(0, checksum).ok());
    }
  }
  if (c.state == AnchorState::kOtherChecksum) {
    // A newer anchor the manifest does not name, and the named one lost.
    ASSERT_TRUE(AppendOne(*db, "orders", "4", stream::RequestDurability::kSync).ok());
    Publish(*db, AnchorOf(*db, 0));
    (void)platform::RemoveFile(retention::PreviousAnchorPath(dir));
  }
  if (behind) {
    ASSERT_TRUE(AppendOne(*db, "orders", "3").ok());
    ASSERT_TRUE(db->ArchiveBranch(db->branch_catalog().Named("side")->id).ok());
    ASSERT_TRUE(db->ForkBranch({}, 3, "later", {}).ok());
  }
  *streams = db->stream_catalog();
  *branches = db->branch_catalog();
  db.reset();
  ASSERT_TRUE(platform::RemoveFile(CheckpointPath(dir)).ok());

  const std::string anchor_path = retention::AnchorPath(dir);
  if (c.state == AnchorState::kMissing) {
    ASSERT_TRUE(platform::RemoveFile(anchor_path).ok());
  }
  if (c.state == AnchorState::kDamaged) {
    std::string bytes = platform::ReadFile(anchor_path).value();
    bytes.back() ^= 0x01;
    WriteFile(anchor_path, bytes);
  }
}

TEST(OpenTest, AnchorDecisionTable) {
  const std::string kChecksumMismatch = "invalid format: retention anchor checksum mismatch";
  const OpenCase cases[] = {
      {"unnamed, missing", false, AnchorState::kMissing, "ok", false, ""},
      {"unnamed, damaged", false, AnchorState::kDamaged, "ok", false,
       "corvantine: ignoring non-authoritative retention anchor: " + kChecksumMismatch + "\n"},
      {"unnamed, other database", false, AnchorState::kOtherDatabase, "ok", false, ""},
      {"unnamed, unnamed checksum", false, AnchorState::kOtherChecksum, "ok", true, ""},
      {"unnamed, good", false, AnchorState::kGood, "ok", true, ""},
      {"unnamed, behind the log", false, AnchorState::kBehind, "ok", true, ""},
      {"unnamed, ahead of the log", false, AnchorState::kAhead, "ok", false, ""},
      {"named, missing", true, AnchorState::kMissing, kNoMatchingAnchor, false, ""},
      {"named, damaged", true, AnchorState::kDamaged, kChecksumMismatch, false, ""},
      {"named, other database", true, AnchorState::kOtherDatabase, kNoMatchingAnchor, false, ""},
      {"named, other checksum", true, AnchorState::kOtherChecksum, kNoMatchingAnchor, false, ""},
      {"named, good", true, AnchorState::kGood, "ok", true, ""},
      {"named, behind the log", true, AnchorState::kBehind, "ok", true, ""},
      {"named, ahead of the log", true, AnchorState::kAhead, kNoMatchingAnchor, false, ""},
  };
  for (const OpenCase& c : cases) {
    TempDir dir;
    stream::StreamCatalog streams;
    branch::BranchCatalog branches;
    MakeDatabase(dir.path(), c, &streams, &branches);
    ::testing::internal::CaptureStderr();
    auto db = Corvantine::OpenInternal(dir.path(), {}, std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.warning) << c.what;
    ASSERT_EQ(Outcome(db), c.outcome) << c.what;
    if (!db.ok()) {
      EXPECT_FALSE(platform::PathExists(platform::JoinPath(dir.path(), "LOCK"))) << c.what;
      continue;
    }
    Corvantine& opened = **db;
    EXPECT_EQ(opened.verified_anchor().has_value(), c.accepted) << c.what;
    EXPECT_TRUE(SameIgnoringDurability(opened.stream_catalog(), streams)) << c.what;
    EXPECT_EQ(opened.branch_catalog(), branches) << c.what;
    // An accepted anchor leaves the missing checkpoint alone.
    EXPECT_EQ(platform::PathExists(CheckpointPath(dir.path())), !c.accepted) << c.what;
  }
}

// The manifest keeps naming the anchor a plan was applied with while a newer
// one is published: open relies on the named one.
TEST(OpenTest, UsesTheAnchorTheManifestNames) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  ASSERT_TRUE(AppendOne(*db, "orders", "1", stream::RequestDurability::kSync).ok());
  const uint32_t named = Publish(*db, AnchorOf(*db, 0));
  ASSERT_TRUE(LogOf(*db).ActivateRetention(0, named).ok());
  ASSERT_TRUE(AppendOne(*db, "orders", "2", stream::RequestDurability::kSync).ok());
  const uint32_t newer = Publish(*db, AnchorOf(*db, 0));
  ASSERT_NE(newer, named);
  db.reset();

  db = OpenDb(dir.path());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->verified_anchor()->checksum, named);
  EXPECT_EQ(db->verified_anchor()->head, 1u);
}

// The manifest has no checksum; the anchor it names tells whether its floor
// was damaged.
TEST(OpenTest, ManifestFloorMustBeTheNamedAnchors) {
  TempDir dir;
  auto db = OpenDb(dir.path(), {}, /*max_segment_bytes=*/1);  // a segment per batch
  for (const char* payload : {"0", "1", "2", "3"}) ASSERT_TRUE(AppendOne(*db, "s", payload).ok());
  ASSERT_TRUE(db->Commit().ok());
  ASSERT_TRUE(LogOf(*db).ActivateRetention(2, Publish(*db, AnchorOf(*db, 2))).ok());
  db.reset();
  const std::string kDiffers =
      "manifest error: retention_floor {} differs from the floor 2 of the retention anchor it "
      "names";
  for (const uint64_t floor : {0, 3, 2}) {
    log::manifest::Manifest manifest = log::manifest::Manifest::Read(dir.path()).value();
    manifest.retention_floor = floor;
    ASSERT_TRUE(manifest.Write(dir.path()).ok());
    EXPECT_EQ(Outcome(Corvantine::OpenInternal(dir.path(), {}, std::nullopt)),
              floor == 2 ? "ok" : fmt::format(fmt::runtime(kDiffers), floor));
  }
}

enum class IdDamage { kNone, kFlippedBit, kManifestLost, kOtherDatabasesCheckpoint };

struct IdCase {
  const char* what;
  uint32_t events;
  std::optional<uint64_t> max_segment_bytes;  // 1: a segment per batch
  IdDamage damage;
  bool refused;
};

format::DatabaseId WithFlippedBit(const format::DatabaseId& id) {
  format::IdBytes bytes = id.bytes();
  bytes[3] ^= 0x10;
  return format::DatabaseId(bytes);
}

void Damage(const std::string& dir, IdDamage damage) {
  log::manifest::Manifest manifest = log::manifest::Manifest::Read(dir).value();
  switch (damage) {
    case IdDamage::kNone: return;
    case IdDamage::kFlippedBit:
      manifest.database_id = WithFlippedBit(manifest.database_id);
      ASSERT_TRUE(manifest.Write(dir).ok());
      return;
    case IdDamage::kManifestLost:
      ASSERT_TRUE(platform::RemoveFile(platform::JoinPath(dir, log::manifest::kFileName)).ok());
      return;
    case IdDamage::kOtherDatabasesCheckpoint: {
      CoreCatalogCheckpoint checkpoint =
          CoreCatalogCheckpoint::Decode(platform::ReadFile(CheckpointPath(dir)).value()).value();
      WriteFile(CheckpointPath(dir), EncodeCoreCatalog(WithFlippedBit(checkpoint.database_id),
                                                       checkpoint.head, checkpoint.catalog));
      return;
    }
  }
}

// The manifest has no checksum; the records carry the id it must hold. A
// checkpoint of another database is only passed over, and a lost manifest
// is made again with the records' id.
TEST(OpenTest, DatabaseIdDecisionTable) {
  const IdCase cases[] = {
      {"undamaged", 2, std::nullopt, IdDamage::kNone, false},
      {"undamaged, the oldest segment closed", 2, 1, IdDamage::kNone, false},
      {"a bit flipped", 2, std::nullopt, IdDamage::kFlippedBit, true},
      {"a bit flipped, the oldest segment closed", 2, 1, IdDamage::kFlippedBit, true},
      {"a bit flipped, no record to tell", 0, std::nullopt, IdDamage::kFlippedBit, false},
      {"manifest lost", 2, std::nullopt, IdDamage::kManifestLost, false},
      {"checkpoint of another database", 2, std::nullopt, IdDamage::kOtherDatabasesCheckpoint,
       false},
  };
  for (const IdCase& c : cases) {
    TempDir dir;
    auto db = OpenDb(dir.path(), {}, c.max_segment_bytes);
    for (uint32_t i = 0; i < c.events; ++i) {
      ASSERT_TRUE(AppendOne(*db, "s", std::to_string(i), stream::RequestDurability::kSync).ok());
    }
    const format::DatabaseId id = LogOf(*db).database_id();
    const stream::StreamCatalog streams = db->stream_catalog();
    db.reset();
    ASSERT_NO_FATAL_FAILURE(Damage(dir.path(), c.damage)) << c.what;

    auto opened = Corvantine::OpenInternal(dir.path(), {}, c.max_segment_bytes);
    const std::string refusal = fmt::format(
        "manifest error: database_id {} differs from the database id {} of the records in the "
        "log",
        WithFlippedBit(id).ToJsonArray(), id.ToJsonArray());
    ASSERT_EQ(Outcome(opened), c.refused ? refusal : "ok") << c.what;
    if (c.refused) continue;
    const Corvantine& reopened = **opened;
    EXPECT_EQ(LogOf(reopened).database_id() == id, c.events > 0) << c.what;
    EXPECT_TRUE(SameIgnoringDurability(reopened.stream_catalog(), streams)) << c.what;
    const CoreCatalogCheckpoint checkpoint =
        CoreCatalogCheckpoint::Decode(platform::ReadFile(CheckpointPath(dir.path())).value())
            .value();
    EXPECT_EQ(checkpoint.database_id, LogOf(reopened).database_id()) << c.what;
  }
}

// With an anchor and a checkpoint, the stream catalog grows from the newer.
TEST(OpenTest, NewerOfAnchorAndCheckpointIsTheBase) {
  for (const bool checkpoint_newer : {true, false}) {
    TempDir dir;
    auto db = OpenDb(dir.path());
    ASSERT_TRUE(AppendOne(*db, "orders", "1", stream::RequestDurability::kSync).ok());
    const std::string old_checkpoint = platform::ReadFile(CheckpointPath(dir.path())).value();
    ASSERT_TRUE(AppendOne(*db, "orders", "2", stream::RequestDurability::kSync).ok());
    retention::CoreRetentionAnchor anchor = AnchorOf(*db, 0);
    MarkAsAnchors(anchor);
    ASSERT_TRUE(LogOf(*db).ActivateRetention(0, Publish(*db, anchor)).ok());
    ASSERT_TRUE(AppendOne(*db, "orders", "3").ok());
    const stream::StreamCatalog live = db->stream_catalog();
    ASSERT_TRUE(db->Commit().ok());
    db.reset();
    if (!checkpoint_newer) WriteFile(CheckpointPath(dir.path()), old_checkpoint);

    db = OpenDb(dir.path());
    ASSERT_TRUE(db->verified_anchor());
    EXPECT_EQ(db->stream_catalog().Stream({}, "from-anchor").has_value(), !checkpoint_newer);
    EXPECT_EQ(db->stream_catalog().Revision({}, "orders"), 2u);
    if (checkpoint_newer) {
      EXPECT_EQ(db->stream_catalog(), live);
    }
  }
}

// Retention removed the first segments; events and branch records written
// after the anchor are brought in from the log, with or without checkpoint.
TEST(RetainedDatabaseTest, OpensWithTheLogGrownPastTheAnchor) {
  TempDir dir;
  auto db = OpenDb(dir.path(), {}, /*max_segment_bytes=*/1);  // a segment per batch
  for (const char* payload : {"0", "1", "2", "3"}) ASSERT_TRUE(AppendOne(*db, "s", payload).ok());
  const branch::BranchInfo side = db->ForkBranch({}, 2, "side", {}).value();
  retention::CoreRetentionAnchor anchor = AnchorOf(*db, 3);
  const std::vector<retention::AnchoredSystemRecord> anchored = db->SystemMetadata().value();
  ASSERT_TRUE(LogOf(*db).ActivateRetention(3, Publish(*db, anchor)).ok());
  LogOf(*db).ReclaimBelowRetentionFloor();
  ASSERT_EQ(LogOf(*db).closed_segments().front().base, 3u);  // the fork's record rolled

  ASSERT_TRUE(AppendOne(*db, "s", "4").ok());
  ASSERT_TRUE(AppendOne(*db, "t", "5").ok());
  ASSERT_TRUE(db->ArchiveBranch(side.id).ok());
  ASSERT_TRUE(db->ForkBranch({}, 5, "later", {}).ok());
  const stream::StreamCatalog streams = db->stream_catalog();
  const branch::BranchCatalog branches = db->branch_catalog();
  db.reset();

  for (const bool with_checkpoint : {true, false}) {
    if (!with_checkpoint) {
      ASSERT_TRUE(platform::RemoveFile(CheckpointPath(dir.path())).ok());
    }
    db = OpenDb(dir.path());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->verified_anchor()->head, 4u);
    EXPECT_TRUE(SameIgnoringDurability(db->stream_catalog(), streams));
    EXPECT_EQ(db->branch_catalog(), branches);
    // The anchor's system records come first, then the log's retained ones.
    const std::vector<retention::AnchoredSystemRecord> records = db->SystemMetadata().value();
    ASSERT_GE(records.size(), anchored.size() + 2);
    EXPECT_EQ(std::vector<retention::AnchoredSystemRecord>(records.begin(),
                                                           records.begin() + anchored.size()),
              anchored);
    EXPECT_EQ(records.back().event_type, branch::kBranchCreatedEventType);
    db.reset();
  }
  // Without the anchor the retained log cannot stand alone.
  ASSERT_TRUE(platform::RemoveFile(retention::AnchorPath(dir.path())).ok());
  EXPECT_EQ(Outcome(Corvantine::OpenInternal(dir.path(), {}, std::nullopt)), kNoMatchingAnchor);
}

TEST(RetainedDatabaseTest, RefusesAnUnanchoredRetainedLog) {
  TempDir dir;
  auto db = OpenDb(dir.path(), {}, 1);
  for (const char* payload : {"0", "1", "2"}) ASSERT_TRUE(AppendOne(*db, "s", payload).ok());
  ASSERT_TRUE(db->Commit().ok());
  const std::string first_segment = LogOf(*db).closed_segments().front().path;
  db.reset();
  ASSERT_TRUE(platform::RemoveFile(first_segment).ok());
  EXPECT_EQ(Outcome(Corvantine::OpenInternal(dir.path(), {}, std::nullopt)),
            "invalid format: retained database has no compatible authoritative core anchor");
}

}  // namespace
}  // namespace corvantine::db
