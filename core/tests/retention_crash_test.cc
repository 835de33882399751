// A process that dies at each crash point of creating or applying a
// retention anchor, in a first retention and in a second one, with nothing
// pending or with one buffered append: the reopened database stands at the
// old floor or the new one, reads and appends go on above it, and its
// branches, views, consumer checkpoints and bootstraps survive, so that the
// retention can be made again and applied.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "facade/engine/engine.h"
#include "facade/engine/test_util.h"
#include "log/lock.h"
#include "platform/platform.h"
#include "projection/json_index.h"
#include "retention/crash.h"

namespace corvantine::facade {
namespace {

using testing::Outcome;

constexpr char kView[] = "totals";

OpenConfig ConfigOf(const std::string& dir) {
  OpenConfig config = testing::ConfigFor(dir);
  config.segment_bytes = 1;  // a segment per batch
  return config;
}

// One event per batch on stream "s", each a document of the view.
Result<> Fill(const Engine& engine, uint64_t from, uint64_t to) {
  for (uint64_t i = from; i < to; ++i) {
    if (!testing::AppendOne(engine, "s", fmt::format(R"({{"k":"k{}"}})", i)).ok()) {
      return CorvantineError::InvalidArgument("append failed");
    }
  }
  return {};
}

EngineResult<> RegisterBootstraps(const Engine& engine, uint64_t floor) {
  CVN_ASSIGN_OR_RETURN(const BranchDto side, engine.BranchNamed("side"));
  CVN_TRY(engine.RegisterBranchBootstrap(side.id, floor, "side"));
  CVN_TRY(engine.RegisterConsumerBootstrap("c", floor, "c"));
  return {};
}

EngineResult<> Retain(const Engine& engine, uint64_t floor, bool pending_append) {
  CVN_TRY(RegisterBootstraps(engine, floor));
  CVN_TRY(engine.CreateRetentionAnchor(floor));
  if (pending_append) CVN_TRY(testing::AppendOne(engine, "s", R"({"k":"pending"})"));
  CVN_ASSIGN_OR_RETURN(const RetentionPlan plan, engine.PlanRetention(floor));
  CVN_TRY(engine.ApplyRetention(plan.plan_id));
  return {};
}

// Six documents, the view, branch "side" forked at 2, consumer "c"
// checkpointed at 1; for a second retention, a first one to floor 4 and
// four more documents. Returns the head.
uint64_t Prepare(const std::string& dir, int round) {
  std::optional<Engine> engine = testing::OpenEngine(ConfigOf(dir));
  EXPECT_TRUE(Fill(*engine, 0, 6).ok() && engine->Commit().ok());
  EXPECT_TRUE(engine->RegisterQuery(kView, QueryDefinition{"k", {}, std::nullopt}).ok());
  EXPECT_TRUE(engine->Fork({}, 2, "side", {}).ok());
  FeedRequest consumer;
  consumer.start = 0;
  consumer.consumer_id = "c";
  consumer.max_batches = 1;
  const FeedHandle feed = engine->OpenFeed(consumer).value();
  EXPECT_TRUE(engine->NextFeedPage(feed).ok());
  EXPECT_EQ(Outcome(engine->AcknowledgeFeed(feed, 1)), "ok");
  EXPECT_EQ(Outcome(engine->CloseFeed(feed)), "ok");
  uint64_t head = 6;
  if (round == 2) {
    EXPECT_EQ(Outcome(Retain(*engine, 4, false)), "ok");
    EXPECT_TRUE(Fill(*engine, 6, 10).ok() && engine->Commit().ok());
    head = 10;
  }
  EXPECT_EQ(Outcome(engine->Close()), "ok");
  return head;
}

// Runs the retention to `floor` in a child that dies at `point`; true when
// it died of SIGABRT.
bool RetainCrashingAt(const std::string& dir, uint64_t floor, bool pending,
                      std::string_view point) {
  const pid_t child = fork();
  if (child == 0) {
    setenv(retention::kCrashAtVariable, std::string(point).c_str(), 1);
    EngineResult<Engine> engine = Engine::Open(ConfigOf(dir));
    if (!engine.ok()) _exit(1);
    (void)Retain(*engine, floor, pending);
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return false;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT;
}

struct Point {
  std::string_view name;
  bool switched;  // the manifest names the new floor
};

constexpr Point kPoints[] = {
    {retention::kCrashBeforeAnchorPublish, false}, {retention::kCrashAfterAnchorFsync, false},
    {retention::kCrashAfterAnchorPublish, false},  {retention::kCrashBeforeManifestSwitch, false},
    {retention::kCrashAfterManifestSwitch, true},  {retention::kCrashDuringCleanup, true},
    {retention::kCrashAfterCleanup, true},
};

// What must hold after the crash; ends by making the retention again.
void CheckRecovered(const Engine& engine, uint64_t old_floor, uint64_t new_floor,
                    const Point& point) {
  const uint64_t floor = engine.RetentionFloor().value();
  EXPECT_EQ(floor, point.switched ? new_floor : old_floor);
  const uint64_t head = engine.Head().value();
  EXPECT_EQ(testing::ReadAll(engine, testing::ReadFrom(floor)).size(), head - floor);
  if (floor > 0) {
    EXPECT_EQ(Outcome(engine.OpenReader(testing::ReadFrom(floor - 1))).substr(0, 21),
              "position_unavailable:");
  }
  const EngineResult<AppendReceiptDto> next = testing::AppendOne(
      engine, "s", R"({"k":"after"})", stream::ExpectedRevision::Exact(format::StreamRevision{head - 1}));
  ASSERT_EQ(Outcome(next), "ok");
  EXPECT_EQ(next->first_position, head);
  ASSERT_EQ(Outcome(engine.Commit()), "ok");
  EXPECT_EQ(Outcome(engine.BranchNamed("side")), "ok");
  const QueryHandle view = engine.QueryNamed(kView).value();
  EXPECT_EQ(engine.Query(view, projection::LenQuery{})->total, head + 1);
  const RetentionStatusDto status = engine.RetentionStatus(new_floor).value();
  ASSERT_EQ(status.consumers.size(), 1u);
  EXPECT_EQ(status.consumers[0].position, 1u);
  // The bootstraps registered before the crash are carried by a new anchor.
  ASSERT_EQ(Outcome(engine.CreateRetentionAnchor(new_floor)), "ok");
  const RetentionPlan plan = engine.PlanRetention(new_floor).value();
  EXPECT_EQ(plan.blockers, std::vector<RetentionBlocker>{});
  EXPECT_EQ(Outcome(engine.ApplyRetention(plan.plan_id)), "ok");
  EXPECT_EQ(engine.ConsumerBootstrap("c").value(), "c");
  EXPECT_TRUE(engine.RetentionStatus(new_floor)->cleanup.complete);
}

TEST(RetentionCrashTest, EveryCrashPointLeavesADatabaseThatOpensAndRetainsAgain) {
  for (const int round : {1, 2}) {
    const uint64_t old_floor = round == 1 ? 0 : 4;
    const uint64_t new_floor = round == 1 ? 4 : 8;
    for (const Point& point : kPoints) {
      for (const bool pending : {false, true}) {
        SCOPED_TRACE(fmt::format("round {} {} pending {}", round, point.name, pending));
        platform::TempDir dir;
        Prepare(dir.path(), round);
        ASSERT_TRUE(RetainCrashingAt(dir.path(), new_floor, pending, point.name));
        // The dead process's lock stays until someone deletes it.
        ASSERT_TRUE(
            platform::RemoveFile(platform::JoinPath(dir.path(), log::lock::kLockFileName)).ok());
        std::optional<Engine> engine = testing::OpenEngine(ConfigOf(dir.path()));
        ASSERT_TRUE(engine.has_value());
        CheckRecovered(*engine, old_floor, new_floor, point);
        ASSERT_EQ(Outcome(engine->Close()), "ok");
        engine.reset();
        engine = testing::OpenEngine(ConfigOf(dir.path()));
        ASSERT_TRUE(engine.has_value());
        EXPECT_EQ(engine->RetentionFloor().value(), new_floor);
      }
    }
  }
}

}  // namespace
}  // namespace corvantine::facade
