#include "db/retention_plan.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "db/db.h"
#include "db/test_util.h"
#include "log/lock.h"
#include "retention/crash.h"
#include "retention/retention.h"
#include "util/crc32c.h"

namespace corvantine::db {
namespace {

using namespace testing;

Result<stream::AppendReceipt> AppendPair(Corvantine& db) {
  RequestDraft draft;
  draft.events = {Event("a"), Event("b")};
  return db.AppendBatchWithId(Request(std::move(draft)), std::nullopt);
}

// Publishes the database's anchor for `floor` at its durable head.
void Adopt(Corvantine& db, uint64_t floor,
           std::vector<retention::RetentionBranchBootstrap> bootstraps = {}) {
  retention::CoreRetentionAnchor anchor = AnchorOf(db, floor);
  anchor.branch_bootstraps = std::move(bootstraps);
  ASSERT_EQ(Outcome(db.PublishRetentionAnchor(std::move(anchor))), "ok");
}

std::vector<uint64_t> Bases(const RetentionPlan& plan) {
  std::vector<uint64_t> bases;
  for (const auto& [base, bytes] : plan.reclaimable_segments) bases.push_back(base);
  return bases;
}

retention::RetentionConsumerBootstrap ConsumerBootstrap(std::string id, uint64_t floor,
                                                        bool sound) {
  retention::RetentionConsumerBootstrap bootstrap;
  bootstrap.consumer_id = std::move(id);
  bootstrap.floor = floor;
  bootstrap.checkpoint = "cp";
  bootstrap.checksum = util::crc32c::Value(bootstrap.checkpoint) + (sound ? 0 : 1);
  return bootstrap;
}

// Ten events in batches of two, a segment per batch: segments at 0, 2, 4,
// 6 and the active one at 8; durable head 10.
class RetentionPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = OpenDb(dir_.path(), {}, /*max_segment_bytes=*/1);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(AppendPair(*db_).ok());
    ASSERT_TRUE(db_->Commit().ok());
  }

  TempDir dir_;
  std::unique_ptr<Corvantine> db_;
};

TEST_F(RetentionPlanTest, PlansRoundDownToSegmentsAndRefuseFloorsOutsideTheHistory) {
  struct Case {
    uint64_t requested;
    std::string outcome;
    uint64_t effective_floor;
    std::vector<uint64_t> reclaimable;
  } cases[] = {
      {0, "ok", 0, {}},
      {5, "ok", 4, {0, 2}},
      {10, "ok", 8, {0, 2, 4, 6}},  // the active segment is never reclaimed
      {11, "offset 11 beyond head", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    Result<RetentionPlan> plan = db_->PlanRetention(c.requested);
    ASSERT_EQ(Outcome(plan), c.outcome);
    if (!plan.ok()) continue;
    EXPECT_EQ(plan->effective_floor, c.effective_floor);
    EXPECT_EQ(Bases(*plan), c.reclaimable);
    uint64_t bytes = 0;
    for (const auto& segment : plan->reclaimable_segments) bytes += segment.second;
    EXPECT_EQ(plan->reclaimable_bytes, bytes);
    EXPECT_EQ(plan->durable_head, 10u);
    EXPECT_EQ(plan->current_floor, 0u);
  }
  EXPECT_NE(db_->PlanRetention(4)->plan_id, db_->PlanRetention(4)->plan_id);
}

TEST_F(RetentionPlanTest, BlockersNameTheMissingAnchorAndBranchesForkedBelowTheFloor) {
  const uint8_t checkpoint_bytes[] = {7};
  const std::string checkpoint(reinterpret_cast<const char*>(checkpoint_bytes), 1);
  ASSERT_TRUE(db_->ForkBranch({}, 2, "early", {}).ok());
  ASSERT_TRUE(db_->ForkBranch({}, 4, "at-floor", {}).ok());  // does not block
  const format::BranchId early = db_->branch_catalog().names().at("early");
  const retention::RetentionBranchBootstrap bootstrap{early, 4, util::crc32c::Value(checkpoint),
                                                      checkpoint};
  struct Case {
    std::string name;
    std::function<void()> setup;
    std::vector<RetentionBlocker> blockers;
  } cases[] = {
      {"no anchor", [] {}, {EngineAnchorUnavailable{}, BranchRequiresBootstrap{2, "early"}}},
      {"an anchor for the floor", [&] { Adopt(*db_, 4); }, {BranchRequiresBootstrap{2, "early"}}},
      {"a bootstrap for the early branch", [&] { Adopt(*db_, 4, {bootstrap}); }, {}},
      {"a commit after the anchor",
       [&] {
         ASSERT_TRUE(AppendPair(*db_).ok());
         ASSERT_TRUE(db_->Commit().ok());
       },
       {EngineAnchorUnavailable{}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.setup();
    EXPECT_EQ(db_->PlanRetention(5).value().blockers, c.blockers);
  }
}

TEST(RetentionBlockerTest, KindsFollowTheVariantOrder) {
  const RetentionBlocker blockers[] = {EngineAnchorUnavailable{}, BranchRequiresBootstrap{},
                                       ProjectionRequiresBootstrap{}, ConsumerRequiresBootstrap{},
                                       MaintenanceHandlesOpen{}};
  std::vector<std::string_view> kinds;
  for (const RetentionBlocker& blocker : blockers) kinds.push_back(BlockerKind(blocker));
  EXPECT_EQ(kinds, (std::vector<std::string_view>{
                       "engine_anchor_unavailable", "branch_requires_bootstrap",
                       "projection_requires_bootstrap", "consumer_requires_bootstrap",
                       "maintenance_handles_open"}));
}

// Consumers below floor 4: "a" has a bootstrap, "b" one for another floor,
// "c" a damaged one, "d" a damaged one before a sound one (a damaged one is
// passed over); "e" sits at the floor and "f" above it.
TEST(RetentionBlockerTest, EngineBlockersAndStatusesFollowTheMatchingBootstraps) {
  VerifiedAnchor anchor;
  anchor.consumer_bootstraps = {ConsumerBootstrap("a", 4, true), ConsumerBootstrap("b", 3, true),
                                ConsumerBootstrap("c", 4, false), ConsumerBootstrap("d", 4, false),
                                ConsumerBootstrap("d", 4, true)};
  const ConsumerCheckpoints checkpoints = {{"a", 1}, {"b", 1}, {"c", 2},
                                           {"d", 3}, {"e", 4}, {"f", 9}};
  const ProjectionCoverageCheck projections[] = {{"covered", true}, {"totals", false}};
  std::vector<RetentionBlocker> blockers;
  AppendProjectionBlockers(projections, blockers);
  AppendConsumerBlockers(&anchor, checkpoints, 4, blockers);
  AppendHandleBlocker(0, 0, blockers);
  AppendHandleBlocker(2, 0, blockers);
  EXPECT_EQ(blockers, (std::vector<RetentionBlocker>{
                          ProjectionRequiresBootstrap{"totals"}, ConsumerRequiresBootstrap{1, "b"},
                          ConsumerRequiresBootstrap{2, "c"}, MaintenanceHandlesOpen{2, 0}}));
  EXPECT_EQ(ConsumerStatuses(&anchor, checkpoints, 4),
            (std::vector<RetentionConsumerStatus>{{"a", 1, true, true},
                                                  {"b", 1, true, false},
                                                  {"c", 2, true, false},
                                                  {"d", 3, true, true},
                                                  {"e", 4, false, false},
                                                  {"f", 9, false, false}}));
  std::vector<RetentionBlocker> without_anchor;
  AppendConsumerBlockers(nullptr, {{"a", 1}, {"e", 4}}, 4, without_anchor);
  EXPECT_EQ(without_anchor, (std::vector<RetentionBlocker>{ConsumerRequiresBootstrap{1, "a"}}));
}

TEST_F(RetentionPlanTest, ARemadePlanDiffersOnceAnythingItDescribesChanged) {
  struct Case {
    std::string name;
    std::function<void()> change;
    bool stale;
  } cases[] = {
      {"nothing", [] {}, false},
      {"a commit", [&] { ASSERT_TRUE(AppendPair(*db_).ok() && db_->Commit().ok()); }, true},
      {"an anchor", [&] { Adopt(*db_, 4); }, true},
      {"a branch forked below the floor",
       [&] { ASSERT_TRUE(db_->ForkBranch({}, 2, "late", {}).ok()); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RetentionPlan stored = db_->PlanRetention(5).value();
    c.change();
    RetentionPlan remade = db_->PlanRetention(stored.requested_floor).value();
    remade.plan_id = stored.plan_id;
    EXPECT_EQ(remade != stored, c.stale);
  }
  RetentionPlan reordered = db_->PlanRetention(5).value();
  RetentionPlan plan = reordered;
  plan.blockers = {ConsumerRequiresBootstrap{1, "a"}, ConsumerRequiresBootstrap{2, "b"}};
  reordered.blockers = {ConsumerRequiresBootstrap{2, "b"}, ConsumerRequiresBootstrap{1, "a"}};
  EXPECT_NE(plan, reordered);
}

TEST_F(RetentionPlanTest, PoliciesSelectTheFloorsTheirValuesDescribe) {
  constexpr uint64_t kAnyTime = uint64_t{1} << 63;  // i64 minimum: every record qualifies
  constexpr auto kNever = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  struct Case {
    RetentionPolicy policy;
    uint64_t value;
    std::string outcome;
    uint64_t selected;
    bool satisfied;
    std::string explanation;
  } cases[] = {
      {RetentionPolicy::kKeepFrom, 4, "ok", 4, true, "selected explicit position 4"},
      {RetentionPolicy::kKeepFrom, 11, "offset 11 beyond head", 0, false, ""},
      {RetentionPolicy::kKeepLatestEvents, 3, "ok", 7, true,
       "selected position 7 to keep the latest 3 event(s)"},
      {RetentionPolicy::kKeepLatestEvents, 100, "ok", 0, true,
       "selected position 0 to keep the latest 100 event(s)"},
      {RetentionPolicy::kKeepLatestEvents, 0, "ok", 10, true,
       "selected position 10 to keep the latest 0 event(s)"},
      {RetentionPolicy::kKeepNewerThan, kNever, "ok", 10, true,
       "selected earliest event at or after unix-nanosecond cutoff 9223372036854775807"},
      {RetentionPolicy::kKeepNewerThan, kAnyTime, "ok", 0, true,
       "selected earliest event at or after unix-nanosecond cutoff -9223372036854775808"},
      {RetentionPolicy::kTargetLogBytes, kNever, "ok", 0, true, ""},
      {RetentionPolicy::kTargetLogBytes, 0, "ok", 8, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.explanation);
    Result<RetentionPolicyPreview> preview = db_->PreviewRetentionPolicy(c.policy, c.value);
    ASSERT_EQ(Outcome(preview), c.outcome);
    if (!preview.ok()) continue;
    EXPECT_EQ(preview->selected_floor, c.selected);
    EXPECT_EQ(preview->target_satisfied, c.satisfied);
    EXPECT_EQ(preview->plan.requested_floor, c.selected);
    if (c.policy != RetentionPolicy::kTargetLogBytes) {
      EXPECT_EQ(preview->explanation, c.explanation);
    } else {
      EXPECT_EQ(preview->explanation.find(fmt::format("selected position {} with ", c.selected)),
                0u);
    }
  }
}

// The cutoff of each record's own timestamp selects the lowest position
// stamped at or after it.
TEST_F(RetentionPlanTest, KeepNewerThanSelectsTheEarliestRecordAtOrAfterTheCutoff) {
  const std::vector<format::OwnedStoredRecord> records =
      Drain(LogOf(*db_).PlanReader(log::reader::ResolvedFilter{}));
  ASSERT_EQ(records.size(), 10u);
  for (const format::OwnedStoredRecord& record : records) {
    const int64_t cutoff = record.envelope.timestamp_unix_nanos;
    uint64_t expected = 10;
    for (const format::OwnedStoredRecord& other : records) {
      if (other.envelope.timestamp_unix_nanos >= cutoff)
        expected = std::min(expected, other.position);
    }
    EXPECT_EQ(
        db_->PreviewRetentionPolicy(RetentionPolicy::kKeepNewerThan, static_cast<uint64_t>(cutoff))
            ->selected_floor,
        expected);
  }
}

TEST_F(RetentionPlanTest, ApplyRefusesAPlanTheDatabaseNoLongerMatchesAndChangesNothing) {
  struct Case {
    std::string name;
    std::function<void()> setup;
    uint64_t floor;
    uint64_t head;
    std::string outcome;
  } cases[] = {
      {"a moved head", [] {}, 4, 9,
       "invalid argument: retention plan is stale because durable head changed"},
      {"no anchor", [] {}, 4, 10, "invalid argument: retention plan has no verified anchor"},
      {"an anchor for another floor", [&] { Adopt(*db_, 2); }, 4, 10,
       "invalid argument: retention plan anchor identity is stale"},
      {"a floor inside a segment", [&] { Adopt(*db_, 5); }, 5, 10,
       "invalid argument: retention floor 5 is not a segment boundary"},
      {"an anchor file replaced on disk",
       [&] {
         retention::CoreRetentionAnchor other = AnchorOf(*db_, 4);
         other.consumer_bootstraps = {ConsumerBootstrap("c", 4, true)};
         other.consumer_bootstraps[0].checkpoint_id[0] = 1;
         Adopt(*db_, 4);
         ASSERT_TRUE(retention::Publish(dir_.path(), other, std::nullopt).ok());
       },
       4, 10, "invalid format: retention anchor file does not match the verified anchor"},
      {"a damaged anchor file", [&] { WriteFile(retention::AnchorPath(dir_.path()), "damaged"); },
       4, 10, "invalid format: retention anchor length is invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.setup();
    EXPECT_EQ(Outcome(db_->ApplyRetentionPrevalidated(c.floor, c.head)), c.outcome);
    EXPECT_EQ(LogOf(*db_).retention_generation(), 0u);
    EXPECT_EQ(LogOf(*db_).closed_segments().size(), 4u);
  }
}

// Events appended after the anchor, not yet committed, are made durable
// before the manifest names the head they reach.
TEST_F(RetentionPlanTest, AnAppliedPlanMovesTheFloorForGoodAndTheHistoryGoesOn) {
  const RetentionPlan plan = db_->PlanRetention(5).value();
  Adopt(*db_, plan.effective_floor);
  ASSERT_TRUE(db_->PlanRetention(5)->blockers.empty());
  ASSERT_TRUE(AppendPair(*db_).ok());
  EXPECT_EQ(db_->ApplyRetentionPrevalidated(4, 10).value(),
            (RetentionApplyResult{1, 4, plan.reclaimable_bytes}));
  EXPECT_EQ(db_->durable_head(), 12u);
  EXPECT_EQ(Outcome(db_->PlanRetention(3)),
            "invalid argument: retention floor cannot move backward from 4 to 3");

  db_.reset();
  db_ = OpenDb(dir_.path(), {}, /*max_segment_bytes=*/1);
  ASSERT_NE(db_, nullptr);
  EXPECT_EQ(LogOf(*db_).retention_floor(), 4u);
  ASSERT_TRUE(db_->verified_anchor().has_value());
  ReadRequest from_floor;
  from_floor.start = StartBound::Included(4);
  std::vector<uint64_t> positions;
  for (const auto& record : Drain(db_->Read(from_floor).value())) {
    positions.push_back(record.position);
  }
  EXPECT_EQ(positions, (std::vector<uint64_t>{4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(Outcome(db_->Read(ReadRequest{})),
            "position 0 is unavailable: retained history starts at 4, head is 12");
  RequestDraft next;
  next.events = {Event("c")};
  next.expected = stream::ExpectedRevision::Exact(format::StreamRevision{11});
  const stream::AppendReceipt receipt = db_->AppendBatchWithId(Request(next), std::nullopt).value();
  EXPECT_EQ(receipt.first_position, 12u);
  EXPECT_EQ(receipt.current_revision.value, 12u);
}

// The manifest named the first anchor while the second was published; once
// it names the second, the kept copy of the first is gone.
TEST_F(RetentionPlanTest, ASecondApplyRemovesTheCopyOfTheAnchorTheManifestNamedBefore) {
  Adopt(*db_, 4);
  ASSERT_TRUE(db_->ApplyRetentionPrevalidated(4, 10).ok());
  ASSERT_TRUE(AppendPair(*db_).ok());
  ASSERT_TRUE(db_->Commit().ok());
  Adopt(*db_, 8);
  ASSERT_TRUE(platform::PathExists(retention::PreviousAnchorPath(dir_.path())));
  const uint64_t reclaimable = db_->PlanRetention(8)->reclaimable_bytes;
  EXPECT_EQ(db_->ApplyRetentionPrevalidated(8, 12).value(),
            (RetentionApplyResult{2, 8, reclaimable}));
  EXPECT_FALSE(platform::PathExists(retention::PreviousAnchorPath(dir_.path())));
  db_.reset();
  db_ = OpenDb(dir_.path(), {}, /*max_segment_bytes=*/1);
  ASSERT_NE(db_, nullptr);
  EXPECT_EQ(LogOf(*db_).retention_floor(), 8u);
}

// Opens the database of the fixture's shape in a child process, publishes
// the anchor for floor 4 and applies it, dying at `point`; true if it died
// of SIGABRT.
bool ApplyCrashingAt(const std::string& dir, std::string_view point) {
  const pid_t child = fork();
  if (child == 0) {
    Result<std::unique_ptr<Corvantine>> db = Corvantine::OpenInternal(dir, {}, 1);
    if (!db.ok() || !(*db)->PublishRetentionAnchor(AnchorOf(**db, 4)).ok()) _exit(1);
    setenv(retention::kCrashAtVariable, std::string(point).c_str(), 1);
    (void)(*db)->ApplyRetentionPrevalidated(4, 10);
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return false;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT;
}

// Segment files below the floor may outlive a crash, but nothing below it
// can be read, and the next apply removes them.
TEST(RetentionApplyCrash, EachPointLeavesTheOldFloorOrTheNewOne) {
  struct Case {
    std::string_view point;
    uint64_t floor;
    size_t segments_below_floor;
  } cases[] = {
      {retention::kCrashBeforeManifestSwitch, 0, 0},
      {retention::kCrashAfterManifestSwitch, 4, 2},
      {retention::kCrashDuringCleanup, 4, 1},
      {retention::kCrashAfterCleanup, 4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.point);
    TempDir dir;
    {
      auto db = OpenDb(dir.path(), {}, /*max_segment_bytes=*/1);
      for (int i = 0; i < 5; ++i) ASSERT_TRUE(AppendPair(*db).ok());
      ASSERT_TRUE(db->Commit().ok());
    }
    ASSERT_TRUE(ApplyCrashingAt(dir.path(), c.point));
    // The dead process's lock stays until someone deletes it.
    ASSERT_TRUE(
        platform::RemoveFile(platform::JoinPath(dir.path(), log::lock::kLockFileName)).ok());
    auto db = OpenDb(dir.path(), {}, /*max_segment_bytes=*/1);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(LogOf(*db).retention_floor(), c.floor);
    const auto& closed = LogOf(*db).closed_segments();
    EXPECT_EQ(std::count_if(closed.begin(), closed.end(),
                            [&](const log::SegmentMeta& meta) { return meta.base < c.floor; }),
              static_cast<long>(c.segments_below_floor));
    ReadRequest from_floor;
    from_floor.start = StartBound::Included(c.floor);
    EXPECT_EQ(Drain(db->Read(from_floor).value()).size(), 10 - c.floor);
    EXPECT_EQ(Outcome(db->PlanRetention(4)), "ok");
  }
}

}  // namespace
}  // namespace corvantine::db
