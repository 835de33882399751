#include "facade/retention/feed_bootstrap.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "db/test_util.h"
#include "facade/engine/test_util.h"
#include "facade/feed/feeds.h"
#include "format/test_util.h"
#include "util/crc32c.h"

namespace corvantine::facade {
namespace {

using retention::RetentionConsumerBootstrap;
using testing::Outcome;

constexpr char kMismatch[] =
    "feed_bootstrap_mismatch: feed bootstrap descriptor does not match the current retention "
    "generation";
constexpr char kNotFound[] = "not_found: feed bootstrap handle was not found";

RetentionConsumerBootstrap Bootstrap(std::string consumer, uint64_t floor, uint8_t checkpoint_id,
                                     std::string checkpoint, FeedFilter scope = {}) {
  RetentionConsumerBootstrap bootstrap;
  bootstrap.consumer_id = std::move(consumer);
  bootstrap.floor = floor;
  bootstrap.checksum = util::crc32c::Value(checkpoint);
  bootstrap.checkpoint = std::move(checkpoint);
  bootstrap.checkpoint_id = format::testing::FilledId(checkpoint_id);
  bootstrap.scope = std::move(scope);
  bootstrap.codec = "state";
  bootstrap.codec_version = 3;
  return bootstrap;
}

// A scope of every list, two event types in a fixed order.
FeedFilter SomeScope() {
  return FeedFilter{{format::BranchId()},
                    {format::StreamId(format::testing::FilledId(5))},
                    {"t", "u"}};
}

FeedRequest RequestOf(std::optional<std::string> consumer, FeedFilter filter,
                      std::optional<uint64_t> start) {
  FeedRequest request;
  request.consumer_id = std::move(consumer);
  request.filter = std::move(filter);
  request.start = start;
  return request;
}

// Six single-event batches, synced, one segment each: any position up to 5
// can become the floor.
class FeedBootstrapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = db::testing::OpenDb(dir_.path(), {}, /*max_segment_bytes=*/1);
    ASSERT_NE(db_, nullptr);
    feeds_.emplace(*db_, next_handle_);
    for (int i = 0; i < 6; ++i) AppendSynced();
  }

  void AppendSynced() {
    ASSERT_TRUE(db::testing::AppendOne(*db_, "orders", "e", stream::RequestDurability::kSync).ok());
  }

  // The descriptor the consumer "c" is offered for a start below the floor.
  FeedBootstrapDescriptor Offered() {
    return OfferedBootstrap(*db_, RequestOf("c", SomeScope(), 0)).value();
  }

  platform::TempDir dir_;
  std::unique_ptr<db::Corvantine> db_;
  uint64_t next_handle_ = 1;
  std::optional<Feeds> feeds_;
};

TEST_F(FeedBootstrapTest, ARefusedFeedCarriesTheBootstrapAtTheCurrentFloorInItsScopeOnly) {
  const RetentionConsumerBootstrap bootstrap = Bootstrap("c", 2, 1, "state@2", SomeScope());
  FeedBootstrapDescriptor described;
  FeedFilter reordered = SomeScope();
  std::swap(reordered.event_types[0], reordered.event_types[1]);
  auto retain = [&] {
    testing::Retain(*db_, 2, {bootstrap, Bootstrap("d", 2, 2, "d")});
    described = {db_->database_id(), db_->retention_generation(), 2, "c",
                 bootstrap.checkpoint_id, SomeScope(), 7, bootstrap.checksum, 2, "state", 3};
  };
  auto publish_ahead = [&] {  // an anchor for a higher floor, not applied
    AppendSynced();
    testing::PublishAnchor(*db_, 4, {Bootstrap("c", 4, 1, "state@4", SomeScope())});
  };
  struct Case {
    std::string name;
    std::function<void()> setup;
    FeedRequest request;
    bool described;
  } cases[] = {
      {"no anchor", [] {}, RequestOf("c", SomeScope(), 7), false},
      {"a start below the floor", retain, RequestOf("c", SomeScope(), 1), true},
      {"a start beyond the durable head", [] {}, RequestOf("c", SomeScope(), 7), true},
      {"another scope", [] {}, RequestOf("c", {}, 1), false},
      {"the scope's lists in another order", [] {}, RequestOf("c", reordered, 1), false},
      {"a consumer without a bootstrap", [] {}, RequestOf("x", SomeScope(), 1), false},
      {"no consumer id", [] {}, RequestOf(std::nullopt, SomeScope(), 1), false},
      // The anchor in force still serves its bootstraps.
      {"an anchor for a higher floor, not applied", publish_ahead,
       RequestOf("c", SomeScope(), 1), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(c.setup());
    OpenFeedResult opened = feeds_->Open(*db_, c.request);
    ASSERT_EQ(opened.error().reason.code(), code::kPositionUnavailable.text);
    ASSERT_EQ(opened.error().bootstrap.has_value(), c.described);
    if (c.described) {
      EXPECT_EQ(*opened.error().bootstrap, described);
    }
  }
  FeedRequest too_small = RequestOf("c", SomeScope(), 1);  // refused for another reason
  too_small.max_batches = 0;
  OpenFeedResult refused = feeds_->Open(*db_, too_small);
  ASSERT_EQ(refused.error().reason.code(), "resource_limit");
  EXPECT_FALSE(refused.error().bootstrap);
  EXPECT_EQ(feeds_->open_count(), 0u);
  EXPECT_EQ(next_handle_, 1u);
}

TEST(FindConsumerBootstrapTest, TakesTheFirstOfTheConsumerWhoseCheckpointMatchesItsChecksum) {
  // Publishing and loading an anchor refuse a broken checkpoint: only a
  // list built in memory can hold one.
  RetentionConsumerBootstrap broken = Bootstrap("c", 2, 1, "broken");
  broken.checksum ^= 1;
  const std::vector<RetentionConsumerBootstrap> bootstraps = {
      broken, Bootstrap("c", 2, 2, "sound"), Bootstrap("c", 2, 3, "later"),
      Bootstrap("d", 2, 4, "")};
  EXPECT_EQ(FindConsumerBootstrap(bootstraps, "c"), &bootstraps[1]);
  EXPECT_EQ(FindConsumerBootstrap(bootstraps, "d"), &bootstraps[3]);  // empty, and sound
  EXPECT_EQ(FindConsumerBootstrap(bootstraps, "x"), nullptr);
  EXPECT_EQ(FindConsumerBootstrap({broken}, "c"), nullptr);
}

TEST_F(FeedBootstrapTest, ADescriptorMustMatchTheBootstrapInEveryField) {
  EXPECT_EQ(Outcome(ValidateFeedBootstrapDescriptor(*db_, {})), kNotFound);  // no anchor
  testing::Retain(*db_, 2, {Bootstrap("c", 2, 1, "state@2", SomeScope())});
  using Change = std::function<void(FeedBootstrapDescriptor&)>;
  struct Case {
    std::string name;
    Change change;
    std::string outcome;
  } cases[] = {
      {"none", [](auto&) {}, "ok"},
      {"database id", [](auto& d) { d.database_id = {}; }, kMismatch},
      {"older generation", [](auto& d) { --d.generation; }, kMismatch},
      {"floor", [](auto& d) { d.floor = 3; }, kMismatch},
      {"consumer id", [](auto& d) { d.consumer_id = "x"; }, kNotFound},
      {"checkpoint id", [](auto& d) { d.checkpoint_id[0] ^= 1; }, kMismatch},
      {"branches", [](auto& d) { d.scope.branches.clear(); }, kMismatch},
      {"streams", [](auto& d) { d.scope.streams.push_back(d.scope.streams[0]); }, kMismatch},
      {"event types", [](auto& d) { d.scope.event_types = {"u", "t"}; }, kMismatch},
      {"byte length", [](auto& d) { ++d.byte_length; }, kMismatch},
      {"checksum", [](auto& d) { d.checksum ^= 1; }, kMismatch},
      {"resume point", [](auto& d) { d.resume_from = 3; }, kMismatch},
      {"codec", [](auto& d) { d.codec = "opaque"; }, kMismatch},
      {"codec version", [](auto& d) { ++d.codec_version; }, kMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FeedBootstrapDescriptor descriptor = Offered();
    c.change(descriptor);
    EXPECT_EQ(Outcome(ValidateFeedBootstrapDescriptor(*db_, descriptor)), c.outcome);
    EXPECT_EQ(Outcome(FetchFeedBootstrap(*db_, descriptor, 100)), c.outcome);
    EXPECT_EQ(Outcome(feeds_->Resume(*db_, descriptor, 1, 1)), c.outcome);
  }
  EXPECT_EQ(feeds_->open_count(), 1u);

  // An anchor published for a higher floor but not applied: its bootstrap
  // cannot be resumed from before the floor has moved there.
  FeedBootstrapDescriptor ahead = Offered();
  AppendSynced();
  testing::PublishAnchor(*db_, 4, {Bootstrap("c", 4, 1, "state@2", SomeScope())});
  ahead.floor = ahead.resume_from = 4;
  EXPECT_EQ(Outcome(ValidateFeedBootstrapDescriptor(*db_, ahead)), kMismatch);
}

TEST_F(FeedBootstrapTest, FetchingReturnsTheCheckpointOnlyWithinAMaximumAboveZero) {
  testing::Retain(*db_, 2,
                  {Bootstrap("c", 2, 1, "state@2", SomeScope()), Bootstrap("e", 2, 2, "")});
  const FeedBootstrapDescriptor empty = OfferedBootstrap(*db_, RequestOf("e", {}, 0)).value();
  FeedBootstrapDescriptor stale = Offered();
  ++stale.generation;
  struct Case {
    std::string name;
    FeedBootstrapDescriptor descriptor;
    uint64_t maximum;
    std::string outcome;
  } cases[] = {
      {"no maximum", Offered(), 0, "resource_limit: feed bootstrap bytes is 7, maximum is 0"},
      {"one byte short", Offered(), 6, "resource_limit: feed bootstrap bytes is 7, maximum is 6"},
      {"the exact length", Offered(), 7, "ok"},
      {"more room", Offered(), UINT64_MAX, "ok"},
      {"an empty checkpoint with no maximum", empty, 0,
       "resource_limit: feed bootstrap bytes is 0, maximum is 0"},
      {"an empty checkpoint", empty, 1, "ok"},
      {"a stale descriptor", stale, 0, kMismatch},  // the descriptor is checked first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineResult<std::string> fetched = FetchFeedBootstrap(*db_, c.descriptor, c.maximum);
    ASSERT_EQ(Outcome(fetched), c.outcome);
    if (fetched.ok()) {
      EXPECT_EQ(*fetched, c.descriptor.consumer_id == "c" ? "state@2" : "");
    }
  }
}

// Single-event batches, committed.
void AppendEvents(const Engine& engine, int count) {
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(Outcome(testing::AppendOne(engine, "orders", std::to_string(i))), "ok");
  }
  ASSERT_EQ(Outcome(engine.Commit()), "ok");
}

std::vector<uint64_t> Positions(const FeedPage& page) {
  std::vector<uint64_t> positions;
  for (const CommittedBatch& batch : page.batches) {
    for (const RecordDto& event : batch.events) positions.push_back(event.position);
  }
  return positions;
}

TEST(FeedResumeTest, AConsumerBelowTheFloorFetchesItsBootstrapAndResumesAtTheFloor) {
  platform::TempDir dir;
  OpenConfig config = testing::ConfigFor(dir.path());
  config.segment_bytes = 1;
  FeedRequest request = RequestOf("c", {}, std::nullopt);
  request.max_batches = 1;
  {
    std::optional<Engine> engine = testing::OpenEngine(config);
    ASSERT_TRUE(engine);
    ASSERT_NO_FATAL_FAILURE(AppendEvents(*engine, 6));
    const FeedHandle feed = engine->OpenFeed(request).value();
    EXPECT_EQ(Positions(engine->NextFeedPage(feed).value()), std::vector<uint64_t>{0});
    EXPECT_EQ(engine->AcknowledgeFeed(feed).value(), 1u);
    ASSERT_EQ(Outcome(engine->Close()), "ok");
  }
  ASSERT_NO_FATAL_FAILURE(testing::Retain(dir.path(), 4, {Bootstrap("c", 4, 1, "state@4")}));
  std::optional<Engine> engine = testing::OpenEngine(config);
  ASSERT_TRUE(engine);
  OpenFeedResult refused = engine->OpenFeed(request);
  ASSERT_EQ(Outcome(refused),
            "position_unavailable: position 1 is unavailable: retained history starts at 4, "
            "head is 6");
  ASSERT_TRUE(refused.error().bootstrap);
  const FeedBootstrapDescriptor descriptor = *refused.error().bootstrap;
  EXPECT_EQ(descriptor.resume_from, 4u);
  EXPECT_EQ(engine->FetchFeedBootstrap(descriptor, 7).value(), "state@4");
  EXPECT_EQ(Outcome(engine->ResumeFeed(descriptor, 0, 1)),
            "resource_limit: feed page batches is 0, maximum is 4096");

  const FeedHandle resumed = engine->ResumeFeed(descriptor, 4096, 1 << 20).value();
  const FeedPage page = engine->NextFeedPage(resumed).value();
  EXPECT_EQ(Positions(page), (std::vector<uint64_t>{4, 5}));
  EXPECT_EQ(page.next_position, 6u);
  EXPECT_EQ(engine->AcknowledgeFeed(resumed).value(), 6u);
  ASSERT_EQ(Outcome(engine->Close()), "ok");

  engine = testing::OpenEngine(config);  // the checkpoint above the floor survives a restart
  ASSERT_TRUE(engine);
  const FeedHandle feed = engine->OpenFeed(request).value();
  ASSERT_NO_FATAL_FAILURE(AppendEvents(*engine, 1));
  EXPECT_EQ(Positions(engine->NextFeedPage(feed).value()), std::vector<uint64_t>{6});
}

// Creates an anchor at `keep_from` and applies a plan there.
void Retain(const Engine& engine, uint64_t keep_from) {
  ASSERT_EQ(Outcome(engine.CreateRetentionAnchor(keep_from)), "ok");
  EngineResult<RetentionPlan> plan = engine.PlanRetention(keep_from);
  ASSERT_EQ(Outcome(plan), "ok");
  ASSERT_EQ(Outcome(engine.ApplyRetention(plan->plan_id)), "ok");
}

// What consumer "c", acknowledged at 1, is served: its offered descriptor,
// the checkpoint fetched with it and the one held by consumer id.
std::string ServedBootstrap(const Engine& engine) {
  FeedRequest request = RequestOf("c", {}, std::nullopt);
  OpenFeedResult refused = engine.OpenFeed(request);
  if (refused.ok() || !refused.error().bootstrap) return "no descriptor";
  const FeedBootstrapDescriptor descriptor = *refused.error().bootstrap;
  return fmt::format("{} from {}, {}", Outcome(engine.FetchFeedBootstrap(descriptor, 64)),
                     descriptor.resume_from, engine.ConsumerBootstrap("c").value().value_or("-"));
}

// Bootstraps are served from the anchor in force until the next one is
// applied, in a live session as after a reopen. A bootstrap registered at
// the durable head is still for the floor it was given when system records
// roll the full segment of the last event.
TEST(FeedResumeTest, BootstrapsComeFromTheAnchorInForceUntilTheNextIsApplied) {
  platform::TempDir dir;
  OpenConfig config = testing::ConfigFor(dir.path());
  config.segment_bytes = 1;
  std::optional<Engine> engine = testing::OpenEngine(config);
  ASSERT_NO_FATAL_FAILURE(AppendEvents(*engine, 6));
  FeedRequest request = RequestOf("c", {}, 0);
  request.max_batches = 1;
  const FeedHandle feed = engine->OpenFeed(request).value();
  ASSERT_EQ(Outcome(engine->NextFeedPage(feed)), "ok");
  ASSERT_EQ(engine->AcknowledgeFeed(feed).value(), 1u);
  ASSERT_EQ(Outcome(engine->CloseFeed(feed)), "ok");
  ASSERT_EQ(engine->RegisterConsumerBootstrap("c", 4, "state@4").value(), 4u);
  ASSERT_NO_FATAL_FAILURE(Retain(*engine, 4));
  ASSERT_NO_FATAL_FAILURE(AppendEvents(*engine, 2));
  ASSERT_EQ(Outcome(engine->CreateRetentionAnchor(8)), "ok");  // holds no bootstrap of "c"
  const std::string in_force = "ok from 4, state@4";
  EXPECT_EQ(ServedBootstrap(*engine), in_force);
  ASSERT_EQ(Outcome(engine->Close()), "ok");
  engine = testing::OpenEngine(config);
  EXPECT_EQ(ServedBootstrap(*engine), in_force);

  ASSERT_EQ(engine->RegisterConsumerBootstrap("c", 8, "state@8").value(), 7u);
  ASSERT_EQ(Outcome(engine->ClearConsumer("x")), "ok");
  ASSERT_EQ(testing::SegmentSizes(dir.path()).rbegin()->first, 8u);  // holds no event
  ASSERT_NO_FATAL_FAILURE(Retain(*engine, 8));
  EXPECT_EQ(ServedBootstrap(*engine), "ok from 7, state@8");
  ASSERT_EQ(Outcome(engine->Close()), "ok");
  engine = testing::OpenEngine(config);
  EXPECT_EQ(ServedBootstrap(*engine), "ok from 7, state@8");
}

}  // namespace
}  // namespace corvantine::facade
