#include "db/retention_plan.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/db.h"
#include "db/test_util.h"
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
      {"no anchor", [] {},
       {EngineAnchorUnavailable{}, BranchRequiresBootstrap{2, "early"}}},
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

retention::RetentionConsumerBootstrap ConsumerBootstrap(std::string id, uint64_t floor,
                                                        bool sound) {
  retention::RetentionConsumerBootstrap bootstrap;
  bootstrap.consumer_id = std::move(id);
  bootstrap.floor = floor;
  bootstrap.checkpoint = "cp";
  bootstrap.checksum = util::crc32c::Value(bootstrap.checkpoint) + (sound ? 0 : 1);
  return bootstrap;
}

// Consumers below floor 4: "a" has a bootstrap, "b" one for another floor,
// "c" a damaged one, "d" a damaged one before a sound one (the first
// decides); "e" sits at the floor and "f" above it.
TEST(RetentionBlockerTest, EngineBlockersAndStatusesFollowTheMatchingBootstraps) {
  VerifiedAnchor anchor;
  anchor.consumer_bootstraps = {ConsumerBootstrap("a", 4, true), ConsumerBootstrap("b", 3, true),
                                ConsumerBootstrap("c", 4, false), ConsumerBootstrap("d", 4, false),
                                ConsumerBootstrap("d", 4, true)};
  const ConsumerCheckpoints checkpoints = {{"a", 1}, {"b", 1}, {"c", 2}, {"d", 3},
                                           {"e", 4}, {"f", 9}};
  const ProjectionCoverageCheck projections[] = {{"covered", true}, {"totals", false}};
  std::vector<RetentionBlocker> blockers;
  AppendProjectionBlockers(projections, blockers);
  AppendConsumerBlockers(&anchor, checkpoints, 4, blockers);
  AppendHandleBlocker(0, 0, blockers);
  AppendHandleBlocker(2, 0, blockers);
  EXPECT_EQ(blockers, (std::vector<RetentionBlocker>{
                          ProjectionRequiresBootstrap{"totals"}, ConsumerRequiresBootstrap{1, "b"},
                          ConsumerRequiresBootstrap{2, "c"}, ConsumerRequiresBootstrap{3, "d"},
                          MaintenanceHandlesOpen{2, 0}}));
  EXPECT_EQ(ConsumerStatuses(&anchor, checkpoints, 4),
            (std::vector<RetentionConsumerStatus>{{"a", 1, true, true},
                                                  {"b", 1, true, false},
                                                  {"c", 2, true, false},
                                                  {"d", 3, true, false},
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

}  // namespace
}  // namespace corvantine::db
