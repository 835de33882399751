#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "db/db.h"
#include "facade/engine/engine.h"
#include "facade/engine/test_util.h"
#include "facade/retention/retention_state.h"
#include "projection/json_index.h"
#include "retention/anchor.h"
#include "testing/fault.h"
#include "util/warning.h"

namespace corvantine::facade {
namespace {

using testing::OpenEngine;
using testing::Outcome;

constexpr char kView[] = "totals";

QueryDefinition Definition() { return QueryDefinition{"k", {}, std::nullopt}; }

// A database whose segments each hold one batch, so that every batch
// boundary is a floor retention can reach.
class RetentionEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = testing::ConfigFor(dir_.path());
    config_.segment_bytes = 1;
    Reopen();
  }

  void Reopen() {
    if (engine_) {
      ASSERT_EQ(Outcome(engine_->Close()), "ok");
    }
    engine_.reset();
    std::optional<Engine> engine = OpenEngine(config_);
    ASSERT_TRUE(engine.has_value());
    engine_.emplace(std::move(*engine));
  }

  const Engine& engine() const { return *engine_; }

  // `count` one-event batches with documents k{next}, then a commit.
  void Fill(int count) {
    for (int i = 0; i < count; ++i, ++documents_) {
      ASSERT_TRUE(testing::AppendOne(engine(), "s", fmt::format(R"({{"k":"k{}"}})", documents_))
                      .ok());
    }
    ASSERT_TRUE(engine().Commit().ok());
  }

  // Stores consumer `id`'s checkpoint at `position`, through a feed closed
  // afterwards.
  void Checkpoint(const std::string& id, uint64_t position) {
    FeedRequest request;
    request.start = 0;
    request.consumer_id = id;
    request.max_batches = 1;
    const FeedHandle feed = engine().OpenFeed(request).value();
    while (engine().NextFeedPage(feed).value().next_position < position) {
    }
    ASSERT_EQ(Outcome(engine().AcknowledgeFeed(feed, position)), "ok");
    ASSERT_EQ(Outcome(engine().CloseFeed(feed)), "ok");
  }

  uint64_t ViewLength() {
    const QueryHandle view = engine().QueryNamed(kView).value();
    const EngineResult<QueryResult> result = engine().Query(view, projection::LenQuery{});
    EXPECT_EQ(Outcome(result), "ok");
    return result.ok() ? result->total : 0;
  }

  // Plans at `keep_from` and applies the plan.
  EngineResult<RetentionApplyResult> Retain(uint64_t keep_from) {
    CVN_ASSIGN_OR_RETURN(const RetentionPlan plan, engine().PlanRetention(keep_from));
    return engine().ApplyRetention(plan.plan_id);
  }

  platform::TempDir dir_;
  OpenConfig config_;
  std::optional<Engine> engine_;
  int documents_ = 0;
};

// The views are registered behind the head, never queried: the anchor
// brings them there before it snapshots them.
TEST_F(RetentionEngineTest, PlansListEveryBlockerInOneOrderUntilEachIsResolved) {
  Fill(6);
  ASSERT_TRUE(engine().RegisterQuery(kView, Definition()).ok());
  ASSERT_TRUE(engine().RegisterQuery("parts", Definition(), 4).ok());
  const BranchDto side = engine().Fork({}, 2, "side", {}).value();
  Checkpoint("c", 1);
  const ReaderHandle reader = engine().OpenReader(testing::ReadFrom(0)).value();
  const FeedHandle feed = engine().OpenFeed(FeedRequest{}).value();
  EXPECT_EQ(engine().PlanRetention(4)->blockers,
            (std::vector<RetentionBlocker>{
                db::EngineAnchorUnavailable{}, db::BranchRequiresBootstrap{2, "side"},
                db::ProjectionRequiresBootstrap{"parts"}, db::ProjectionRequiresBootstrap{kView},
                db::ConsumerRequiresBootstrap{1, "c"},
                db::MaintenanceHandlesOpen{1, 1}}));
  EXPECT_EQ(Outcome(engine().CreateRetentionAnchor(4)),
            "maintenance_handles_open: cannot create retention anchor with 1 reader(s) and 1 "
            "feed(s) open");
  ASSERT_EQ(Outcome(engine().CloseReader(reader)), "ok");
  ASSERT_EQ(Outcome(engine().CloseFeed(feed)), "ok");
  EXPECT_EQ(engine().RegisterBranchBootstrap(side.id, 4, "side@4").value(), 4u);
  EXPECT_EQ(engine().RegisterConsumerBootstrap("c", 4, "c@4").value(), 4u);
  // Registered for another floor: left out of the anchor.
  EXPECT_EQ(engine().RegisterConsumerBootstrap("d", 2, "d@2").value(), 2u);
  EXPECT_EQ(engine().BranchBootstrap(side.id).value(), std::nullopt);
  const RetentionAnchorInfo info = engine().CreateRetentionAnchor(4).value();
  EXPECT_EQ(std::tie(info.floor, info.head, info.projection_checkpoints, info.branch_bootstraps,
                     info.consumer_bootstraps),
            std::make_tuple(4u, 6u, 5u, 1u, 1u));
  EXPECT_EQ(engine().BranchBootstrap(side.id).value(), "side@4");
  EXPECT_EQ(engine().ConsumerBootstrap("c").value(), "c@4");
  EXPECT_EQ(engine().ConsumerBootstrap("d").value(), std::nullopt);
  EXPECT_EQ(engine().PlanRetention(4)->blockers, std::vector<RetentionBlocker>{});
  const RetentionPlan plan = engine().PlanRetention(4).value();
  EXPECT_EQ(engine().ApplyRetention(plan.plan_id).value(),
            (RetentionApplyResult{1, 4, plan.reclaimable_bytes}));
}

// Each case makes a plan at 4 over six batches and an anchor for it, then
// disturbs the engine before applying.
TEST_F(RetentionEngineTest, ApplyRefusesAPlanThatIsUnknownStaleOrBlocked) {
  struct Case {
    std::string name;
    std::function<format::IdBytes(const Engine&, const RetentionPlan&)> disturb;
    std::string outcome;
  } cases[] = {
      {"nothing", [](const Engine&, const RetentionPlan& plan) { return plan.plan_id; }, "ok"},
      {"a policy preview's plan",
       [](const Engine& engine, const RetentionPlan&) {
         return engine.PlanRetentionPolicy(RetentionPolicy::kKeepLatestEvents, 2)->plan.plan_id;
       },
       "ok"},
      {"an unknown id",
       [](const Engine&, const RetentionPlan&) { return format::IdBytes{1}; },
       "retention_plan_unknown: retention plan is unknown or already applied"},
      {"an applied plan",
       [](const Engine& engine, const RetentionPlan& plan) {
         EXPECT_EQ(Outcome(engine.ApplyRetention(plan.plan_id)), "ok");
         return plan.plan_id;
       },
       "retention_plan_unknown: retention plan is unknown or already applied"},
      {"an append since",
       [](const Engine& engine, const RetentionPlan& plan) {
         EXPECT_TRUE(testing::AppendOne(engine, "s").ok() && engine.Commit().ok());
         return plan.plan_id;
       },
       "retention_plan_stale: retention plan no longer matches database state"},
      {"a consumer checkpointed below the floor since",
       [this](const Engine&, const RetentionPlan& plan) {
         Checkpoint("late", 2);
         return plan.plan_id;
       },
       "retention_plan_stale: retention plan no longer matches database state"},
      {"a reader open before the plan was made",
       [](const Engine& engine, const RetentionPlan&) {
         EXPECT_TRUE(engine.OpenReader(testing::ReadFrom(4)).ok());
         return engine.PlanRetention(4).value().plan_id;
       },
       "retention_blocked: retention plan still has unresolved blockers"},
      {"a reader closed since the plan was made",
       [](const Engine& engine, const RetentionPlan&) {
         const ReaderHandle reader = engine.OpenReader(testing::ReadFrom(4)).value();
         const RetentionPlan blocked = engine.PlanRetention(4).value();
         EXPECT_EQ(Outcome(engine.ApplyRetention(blocked.plan_id)),
                   "retention_blocked: retention plan still has unresolved blockers");
         EXPECT_EQ(Outcome(engine.CloseReader(reader)), "ok");
         return blocked.plan_id;
       },
       "retention_plan_stale: retention plan no longer matches database state"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::TempDir dir;
    config_.path = dir.path();
    Reopen();
    Fill(6);
    ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(4)), "ok");
    const RetentionPlan plan = engine().PlanRetention(4).value();
    const format::IdBytes id = c.disturb(engine(), plan);
    EXPECT_EQ(Outcome(engine().ApplyRetention(id)), c.outcome);
    const bool applied = c.outcome == "ok" || c.name == "an applied plan";
    EXPECT_EQ(engine().RetentionFloor().value(), applied ? 4u : 0u);
    engine_.reset();  // before its directory goes
  }
}

TEST_F(RetentionEngineTest, AStatusWithoutAFloorPlansAtTheDurableHead) {
  Fill(3);
  for (const std::string id : {"b", "ab", "a"}) Checkpoint(id, 1);
  const ReaderHandle reader = engine().OpenReader(testing::ReadFrom(0)).value();
  const RetentionStatusDto status = engine().RetentionStatus(std::nullopt).value();
  // The checkpoints' system records leave the last event's segment active.
  EXPECT_EQ(std::tie(status.requested_floor, status.effective_floor, status.durable_head),
            std::make_tuple(3u, 2u, 3u));
  EXPECT_FALSE(status.anchor_ready);
  EXPECT_EQ(status.open_readers, 1u);
  std::vector<std::string> ids;
  for (const RetentionConsumerStatus& consumer : status.consumers) ids.push_back(consumer.consumer_id);
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "ab", "b"}));
  EXPECT_TRUE(status.consumers[0].behind_effective_floor);
  EXPECT_TRUE(status.cleanup.complete);
  ASSERT_EQ(Outcome(engine().CloseReader(reader)), "ok");
  const RetentionStatusDto at_one = engine().RetentionStatus(1).value();
  EXPECT_EQ(at_one.requested_floor, 1u);
  EXPECT_FALSE(at_one.consumers[0].behind_effective_floor);
}

TEST_F(RetentionEngineTest, BootstrapRegistrationsCheckTheirArgumentsInOrder) {
  Fill(2);
  const std::string over(kMaxRetentionBootstrapBytes + 1, 'x');
  const std::string too_big =
      "resource_limit: retention bootstrap bytes is 8388609, maximum is 8388608";
  const std::string bad_id = "invalid_argument: consumer id must contain 1..=256 bytes";
  const std::string bad_codec = "invalid_argument: bootstrap codec must contain 1..=128 bytes";
  struct Case {
    std::string name;
    std::string id;
    std::string codec;
    std::string checkpoint;
    uint64_t keep_from;
    std::string outcome;
  } cases[] = {
      {"the longest id and codec", std::string(256, 'i'), std::string(128, 'c'), "cp", 1, "ok"},
      {"an empty id", "", "opaque", "cp", 1, bad_id},
      {"an id of 257 bytes", std::string(257, 'i'), "opaque", "cp", 1, bad_id},
      {"an empty id and an oversized checkpoint", "", "opaque", over, 1, bad_id},
      {"an oversized checkpoint", "c", "opaque", over, 1, too_big},
      {"an oversized checkpoint and an empty codec", "c", "", over, 1, too_big},
      {"an empty codec", "c", "", "cp", 1, bad_codec},
      {"a codec of 129 bytes", "c", std::string(129, 'c'), "cp", 1, bad_codec},
      {"a floor beyond the head", "c", "opaque", "cp", 3, "offset_beyond_head: offset 3 beyond head"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Outcome(engine().RegisterConsumerBootstrapForFeed(c.id, c.keep_from, {}, c.codec, 1,
                                                                c.checkpoint)),
              c.outcome);
  }
  // The largest checkpoint passes the bootstrap limit, but its record, the
  // checkpoint as a JSON array of numbers, does not fit a log frame:
  // nothing is written.
  EXPECT_EQ(Outcome(engine().RegisterConsumerBootstrap(
                        "c", 1, std::string(kMaxRetentionBootstrapBytes, 'x')))
                .substr(0, 58),
            "resource_limit: resource limit exceeded: payload bytes is ");
  EXPECT_EQ(Outcome(engine().RegisterBranchBootstrap({}, 1, over)), too_big);
  EXPECT_EQ(Outcome(engine().RegisterBranchBootstrap(format::BranchId(format::IdBytes{9}), 1, over)),
            too_big);
  EXPECT_EQ(Outcome(engine().RegisterBranchBootstrap(format::BranchId(format::IdBytes{9}), 1, "b")),
            "invalid_argument: unknown branch for retention bootstrap");
  EXPECT_EQ(Outcome(engine().RegisterBranchBootstrap({}, 0, "b")), "ok");
}

// Two retentions in a row, each followed by appends, forks, view queries
// and a reopen: everything above the floor stays readable and writable,
// and what the engine keeps of the history below it survives.
TEST_F(RetentionEngineTest, ARetainedDatabaseKeepsWorkingAboveTheFloorAcrossReopens) {
  Fill(6);
  ASSERT_TRUE(engine().RegisterQuery(kView, Definition()).ok());
  std::vector<format::BranchId> branches = {engine().Fork({}, 2, "side", {}).value().id};
  Checkpoint("c", 1);
  for (const uint64_t floor : {4u, 8u}) {
    SCOPED_TRACE(floor);
    for (const format::BranchId& branch : branches) {
      ASSERT_EQ(Outcome(engine().RegisterBranchBootstrap(branch, floor, "b")), "ok");
    }
    ASSERT_EQ(Outcome(engine().RegisterConsumerBootstrap("c", floor, "c")), "ok");
    ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(floor)), "ok");
    ASSERT_EQ(Outcome(Retain(floor)), "ok");
    Fill(2);
    EXPECT_EQ(ViewLength(), static_cast<uint64_t>(documents_));
    Reopen();

    EXPECT_EQ(engine().RetentionFloor().value(), floor);
    EXPECT_EQ(ViewLength(), static_cast<uint64_t>(documents_));
    EXPECT_EQ(testing::ReadAll(engine(), testing::ReadFrom(floor)).size(), documents_ - floor);
    ReaderRequest from_floor = testing::ReadFrom(0);
    from_floor.start.reset();  // the floor as the reader opens
    EXPECT_EQ(testing::ReadAll(engine(), from_floor).size(), documents_ - floor);
    EXPECT_EQ(Outcome(engine().OpenReader(testing::ReadFrom(floor - 1))).substr(0, 21),
              "position_unavailable:");
    const auto last = static_cast<uint64_t>(documents_ - 1);
    const EngineResult<AppendReceiptDto> next =
        testing::AppendOne(engine(), "s", fmt::format(R"({{"k":"k{}"}})", documents_++),
                           stream::ExpectedRevision::Exact(format::StreamRevision{last}));
    ASSERT_EQ(Outcome(next), "ok");
    EXPECT_EQ(next->first_position, last + 1);
    ASSERT_TRUE(engine().Commit().ok());
    const EngineResult<BranchDto> above = engine().Fork({}, floor, fmt::format("at{}", floor), {});
    ASSERT_EQ(Outcome(above), "ok");
    branches.push_back(above->id);
    EXPECT_EQ(Outcome(engine().Fork({}, floor - 1, "below", {})).substr(0, 21),
              "position_unavailable:");
    // Archived after the first retention, and still archived after the
    // second.
    EXPECT_EQ(engine().BranchNamed("side")->status,
              floor == 4 ? branch::BranchStatus::kActive : branch::BranchStatus::kArchived);
    if (floor == 4) {
      ASSERT_EQ(Outcome(engine().Archive(branches[0])), "ok");
    }
    EXPECT_EQ(engine().BranchBootstrap(branches[0]).value(), "b");
    EXPECT_EQ(engine().ConsumerBootstrap("c").value(), "c");
    const RetentionStatusDto status = engine().RetentionStatus(floor).value();
    ASSERT_EQ(status.consumers.size(), 1u);
    EXPECT_EQ(status.consumers[0], (RetentionConsumerStatus{"c", 1, true, true}));
  }
}

// Registered bootstraps are system records: after a reopen the latest for
// each branch and consumer is carried by the next anchor. One that cannot
// be read empties the registry with a warning instead of failing the open.
TEST_F(RetentionEngineTest, RegisteredBootstrapsAreReplayedAtOpenTheLatestWinning) {
  Fill(4);
  const BranchDto side = engine().Fork({}, 1, "side", {}).value();
  ASSERT_EQ(Outcome(engine().RegisterConsumerBootstrap("c", 2, "first")), "ok");
  ASSERT_EQ(Outcome(engine().RegisterConsumerBootstrap("c", 2, "second")), "ok");
  ASSERT_EQ(Outcome(engine().RegisterBranchBootstrap(side.id, 2, "side")), "ok");
  Reopen();
  ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(2)), "ok");
  EXPECT_EQ(engine().ConsumerBootstrap("c").value(), "second");
  EXPECT_EQ(engine().BranchBootstrap(side.id).value(), "side");

  ASSERT_EQ(Outcome(engine().Close()), "ok");
  engine_.reset();
  {
    std::unique_ptr<db::Corvantine> db =
        db::Corvantine::OpenInternal(dir_.path(), {}, config_.segment_bytes).value();
    ASSERT_TRUE(db->AppendSystemRecord(retention::kConsumerBootstrapEventType, "[").ok());
  }
  util::testing::CapturedWarnings warnings;
  Reopen();
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_EQ(warnings.lines()[0].find("corvantine: ignoring registered retention bootstraps: "), 0u);
  ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(2)), "ok");
  EXPECT_EQ(engine().ConsumerBootstrap("c").value(), std::nullopt);
  EXPECT_EQ(engine().RetentionStatus(2)->blockers,
            (std::vector<RetentionBlocker>{db::BranchRequiresBootstrap{1, "side"}}));
}

// An anchor made and never applied is not the database's after a reopen:
// only an applied one is authoritative. The database opens at its old
// floor, and a new anchor is made and applied; a fork made before it, at
// or above its floor, survives the apply and the reopen after it.
TEST_F(RetentionEngineTest, AnAnchorLeftUnappliedAtACloseIsMadeAgainAfterTheReopen) {
  Fill(6);
  ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(4)), "ok");
  Reopen();
  EXPECT_EQ(engine().RetentionFloor().value(), 0u);
  EXPECT_FALSE(engine().RetentionStatus(4)->anchor_ready);
  ASSERT_EQ(Outcome(engine().Fork({}, 5, "late", {})), "ok");
  ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(4)), "ok");
  ASSERT_EQ(Outcome(Retain(4)), "ok");
  Reopen();
  EXPECT_EQ(engine().RetentionFloor().value(), 4u);
  EXPECT_EQ(engine().BranchNamed("late")->fork_position, 5u);
  EXPECT_EQ(testing::ReadAll(engine(), testing::ReadFrom(4)).size(), 2u);
}

// A rebuild after retention cannot replay from position 0: it keeps the
// newest snapshot at or above the floor and restores from it; the
// snapshots the anchor names, and derived state as a whole, can no longer
// be deleted.
TEST_F(RetentionEngineTest, ViewsRebuiltAfterRetentionRestoreFromTheAnchorsSnapshots) {
  Fill(6);
  const QueryHandle view = engine().RegisterQuery(kView, Definition()).value();
  ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(4)), "ok");
  ASSERT_EQ(Outcome(Retain(4)), "ok");
  Fill(2);
  ASSERT_EQ(Outcome(engine().CreateSnapshot(view)), "ok");
  const std::vector<SnapshotInfo> snapshots = engine().ListSnapshots(view).value();
  ASSERT_EQ(snapshots.size(), 2u);
  const std::string& anchored = snapshots[1].id;  // the older, at the anchor's head
  EXPECT_EQ(Outcome(engine().DeleteSnapshot(anchored)),
            fmt::format("conflict: snapshot {} is named by the retention anchor and holds view "
                        "state below the retention floor 4",
                        anchored));
  EXPECT_EQ(Outcome(engine().DeleteAllDerivedState()),
            "conflict: derived state holds the only copy of view state below the retention "
            "floor 4");
  ASSERT_EQ(Outcome(engine().RebuildProjection(view)), "ok");
  EXPECT_EQ(ViewLength(), 8u);
  EXPECT_EQ(engine().ListSnapshots(view).value().size(), 1u);
  EXPECT_EQ(Outcome(engine().DeleteSnapshot(engine().CreateSnapshot(view)->id)), "ok");

  const QueryHandle late = engine().RegisterQuery("late", Definition()).value();
  EXPECT_EQ(Outcome(engine().RebuildProjection(late)),
            "conflict: view \"late\" cannot be rebuilt: it has no usable snapshot at or above the "
            "retention floor 4, and the log below it is gone");
}

// Two snapshots after an apply prune the one the anchor names; the last
// one left above the floor is still kept, and the view survives a reopen.
TEST_F(RetentionEngineTest, TheLastSnapshotAboveTheFloorOutlivesPruningAndDeletes) {
  Fill(6);
  const QueryHandle view = engine().RegisterQuery(kView, Definition()).value();
  ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(4)), "ok");
  ASSERT_EQ(Outcome(Retain(4)), "ok");
  for (int i = 0; i < 2; ++i) {
    Fill(1);
    ASSERT_EQ(Outcome(engine().CreateSnapshot(view)), "ok");
  }
  const std::vector<SnapshotInfo> snapshots = engine().ListSnapshots(view).value();
  ASSERT_EQ(snapshots.size(), 2u);
  EXPECT_EQ(Outcome(engine().DeleteSnapshot(snapshots[0].id)), "ok");
  EXPECT_EQ(Outcome(engine().DeleteSnapshot(snapshots[1].id)),
            fmt::format("conflict: snapshot {} is the last one view \"totals\" can be restored "
                        "from: the log below the retention floor 4 is gone",
                        snapshots[1].id));
  Reopen();
  EXPECT_EQ(ViewLength(), 8u);
  EXPECT_EQ(Outcome(engine().RebuildProjection(engine().QueryNamed(kView).value())), "ok");
  EXPECT_EQ(ViewLength(), 8u);
  EXPECT_EQ(Outcome(engine().CreateRetentionAnchor(8)), "ok");
}

// Each call meets an I/O error with the view's partitions Cold after a
// reopen; the error is the answer, and the view is whole once it is gone.
TEST_F(RetentionEngineTest, AnIoErrorOverSnapshotsOrTheCatalogIsTheAnswerAndNothingIsLost) {
  using platform::Op;
  Fill(6);
  const QueryHandle view = engine().RegisterQuery(kView, Definition()).value();
  ASSERT_EQ(Outcome(engine().CreateRetentionAnchor(4)), "ok");
  ASSERT_EQ(Outcome(Retain(4)), "ok");
  const std::string anchored = engine().ListSnapshots(view).value()[0].id;
  Fill(2);
  ASSERT_EQ(Outcome(engine().CreateSnapshot(view)), "ok");
  const auto faulted = [](Op op, std::string path, const auto& call) {
    platform::testing::ScopedFault fault(
        op, 1, platform::testing::Fault::Error(EIO).Persistent(), std::move(path));
    return Outcome(call());
  };
  const auto query = [&] { return engine().Query(view, projection::LenQuery{}); };
  const auto anchor = [&] { return engine().CreateRetentionAnchor(4); };
  const std::pair<const char*, std::function<std::string()>> rows[] = {
      {"listing snapshots at a first query", [&] { return faulted(Op::kListDir, "snapshots", query); }},
      {"reading a snapshot at a first query", [&] { return faulted(Op::kRead, ".snap", query); }},
      {"verifying the anchor's snapshots at an apply",
       [&] {
         const RetentionPlan plan = engine().PlanRetention(4).value();
         return faulted(Op::kRead, anchored, [&] { return engine().ApplyRetention(plan.plan_id); });
       }},
      {"reading a snapshot for a new anchor", [&] { return faulted(Op::kRead, anchored, anchor); }},
      {"removing a snapshot in a rebuild",
       [&] { return faulted(Op::kRemove, ".snap", [&] { return engine().RebuildProjection(view); }); }},
      {"writing the catalog checkpoint of a new anchor",
       [&] { return faulted(Op::kOpen, "core-catalog.tmp", anchor); }},
  };
  util::testing::CapturedWarnings warnings;  // the commit before the anchor warns
  for (const auto& [name, call] : rows) {
    SCOPED_TRACE(name);
    Reopen();
    const std::string outcome = call();
    EXPECT_TRUE(outcome.starts_with("io: ") && outcome.ends_with("Input/output error (os error 5)"))
        << outcome;
    EXPECT_EQ(ViewLength(), 8u);
  }
}

// Its heal seeks to the stream's events through the position index: one
// event among forty batches of another stream costs a few segment reads.
TEST_F(RetentionEngineTest, AViewOfOneStreamHealsByReadingThatStreamAlone) {
  Fill(40);
  ASSERT_TRUE(testing::AppendOne(engine(), "target", R"({"k":"t"})").ok());
  ASSERT_TRUE(engine().Commit().ok());
  ProjectionDescriptor descriptor = projection::QueryDescriptor("target", Definition(), 1);
  descriptor.scope.stream = "target";
  const QueryHandle view =
      engine()
          .RegisterProjection(std::move(descriptor),
                              std::make_unique<projection::JsonIndexRuntime>(Definition()))
          .value();
  platform::testing::CallCounter reads(platform::Op::kRead, ".seg");
  EXPECT_EQ(engine().Query(view, projection::LenQuery{}).value().total, 1u);
  EXPECT_LT(reads.count(), 10u);
}

}  // namespace
}  // namespace corvantine::facade
