#include "facade/feed/feeds.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "facade/engine/engine.h"
#include "facade/engine/test_util.h"

namespace corvantine::facade {
namespace {

using testing::ConfigFor;
using testing::EngineTest;
using testing::OpenEngine;
using testing::Outcome;

// What the test appended: one batch, as its receipt and events describe it.
struct Appended {
  AppendReceiptDto receipt;
  std::string event_type;
};

FeedRequest FeedFrom(std::optional<uint64_t> start, uint32_t max_batches = 4096,
                     uint64_t max_bytes = 16 << 20) {
  FeedRequest request;
  request.start = start;
  request.max_batches = max_batches;
  request.max_bytes = max_bytes;
  return request;
}

std::vector<EventData> Events(size_t count, const std::string& type, size_t body_bytes) {
  std::vector<EventData> events;
  for (size_t i = 0; i < count; ++i) {
    EventData event = EventData::OfType(type);
    event.body = "\"" + std::string(body_bytes, 'x') + "\"";
    events.push_back(std::move(event));
  }
  return events;
}

bool PassesFilter(const Appended& batch, const FeedFilter& filter) {
  auto listed = [](const auto& list, const auto& value) {
    return list.empty() || std::find(list.begin(), list.end(), value) != list.end();
  };
  return listed(filter.streams, batch.receipt.stream_id) &&
         listed(filter.event_types, batch.event_type);
}

// Pages the feed until it has caught up with `durable_head`, checking each
// page's limits; returns the batches served.
std::vector<CommittedBatch> PageToEnd(const Engine& engine, FeedHandle feed,
                                      const FeedRequest& request, uint64_t durable_head) {
  std::vector<CommittedBatch> served;
  for (int pages = 0; pages < 100000; ++pages) {
    EngineResult<FeedPage> page = engine.NextFeedPage(feed);
    if (!page.ok()) {
      ADD_FAILURE() << page.error().ToString();
      return served;
    }
    EXPECT_LE(page->batches.size(), request.max_batches);
    uint64_t bytes = 0;
    for (CommittedBatch& batch : page->batches) {
      EXPECT_LT(batch.last_position, page->durable_head);
      for (const RecordDto& event : batch.events) {
        bytes += event.body.size();
        for (const auto& [key, value] : event.metadata) bytes += value.size();
      }
      served.push_back(std::move(batch));
    }
    if (page->batches.size() > 1) {
      EXPECT_LE(bytes, request.max_bytes);
    }
    if (page->batches.empty() && page->next_position == durable_head) return served;
  }
  ADD_FAILURE() << "feed did not catch up";
  return served;
}

// Batches of several streams and types are appended with every durability,
// with commits in between, over several seek points of the active segment;
// feeds open at random starts (inside batches too), with random filters and
// page limits, and page to the durable head
// while more is appended. What they serve is exactly the committed batches
// that pass the filter from the start's batch on, in order, each whole.
TEST_F(EngineTest, FeedPagesServeEveryCommittedBatchThatPassesTheFilterOnceInOrder) {
  std::mt19937 random(20261207);
  const std::vector<std::string> streams = {"a", "b", "c"};
  const std::vector<std::string> types = {"t1", "t2"};
  std::vector<Appended> appended;
  auto append_random = [&] {
    const std::string& type = types[random() % types.size()];
    const size_t count = 1 + random() % 4;
    const size_t body = random() % 400;
    AppendBatch batch =
        testing::Batch(streams[random() % streams.size()], Events(count, type, body));
    batch.durability = static_cast<RequestDurability>(random() % 3);
    EngineResult<AppendReceiptDto> receipt = engine().Append(std::move(batch));
    ASSERT_TRUE(receipt.ok()) << receipt.error().ToString();
    appended.push_back({*receipt, type});
    if (random() % 5 == 0) {
      ASSERT_TRUE(engine().Commit().ok());
    }
  };
  for (int round = 0; round < 60; ++round) {
    for (int i = 0; i < 5; ++i) append_random();
    FeedRequest request = FeedFrom(random() % (engine().DurableHead().value() + 1),
                                   1 + random() % 5, 1 + random() % 2000);
    if (random() % 2) request.filter.event_types = {types[random() % types.size()]};
    if (random() % 2 && !appended.empty()) {
      request.filter.streams = {appended[random() % appended.size()].receipt.stream_id};
    }
    OpenFeedResult feed = engine().OpenFeed(request);
    ASSERT_TRUE(feed.ok()) << feed.error().ToString();
    for (int i = 0; i < 3; ++i) append_random();
    const uint64_t durable_head = engine().Commit().value();
    const std::vector<CommittedBatch> served = PageToEnd(engine(), *feed, request, durable_head);

    std::vector<std::string> expected;
    for (const Appended& batch : appended) {
      if (batch.receipt.last_position >= *request.start &&
          batch.receipt.last_position < durable_head && PassesFilter(batch, request.filter)) {
        expected.push_back(batch.receipt.batch_id.ToHex() + "@" +
                           std::to_string(batch.receipt.first_position));
      }
    }
    std::vector<std::string> got;
    for (const CommittedBatch& batch : served) {
      ASSERT_EQ(batch.events.size(), batch.last_position - batch.first_position + 1);
      got.push_back(batch.batch_id.ToHex() + "@" + std::to_string(batch.first_position));
    }
    ASSERT_EQ(got, expected) << "round " << round;
    ASSERT_EQ(Outcome(engine().CloseFeed(*feed)), "ok");
  }
}

TEST_F(EngineTest, BufferedAppendsAreServedOnlyOnceCommitted) {
  OpenFeedResult feed = engine().OpenFeed(FeedFrom(0));
  ASSERT_TRUE(feed.ok());
  ASSERT_TRUE(testing::AppendOne(engine(), "s").ok());
  EngineResult<FeedPage> page = engine().NextFeedPage(*feed, 1);
  ASSERT_TRUE(page.ok());
  EXPECT_TRUE(page->batches.empty());
  EXPECT_TRUE(page->timed_out);
  EXPECT_EQ(page->next_position, 0u);
  ASSERT_TRUE(engine().Commit().ok());
  page = engine().NextFeedPage(*feed, 1);
  ASSERT_TRUE(page.ok());
  ASSERT_EQ(page->batches.size(), 1u);
  EXPECT_EQ(page->next_position, 1u);
}

// Returns once `count` threads sleep in the engine's feed wait, so that
// what the caller does next must wake them.
void AwaitWaiters(const Engine& engine, int count) {
  while (engine.feed_signal().waiting() < count) std::this_thread::yield();
}

// The first page of `feed`, waited for on another thread while `act` runs
// once that thread sleeps. The wait is far longer than any test: the
// wake-up must come from `act`.
EngineResult<FeedPage> PageWokenBy(const Engine& engine, FeedHandle feed,
                                   const std::function<void()>& act) {
  std::optional<EngineResult<FeedPage>> page;
  std::thread waiter([&] { page = engine.NextFeedPage(feed, 600000); });
  AwaitWaiters(engine, 1);
  act();
  waiter.join();
  return std::move(*page);
}

TEST_F(EngineTest, ASyncAppendFromAnotherThreadWakesAWaitingFeed) {
  OpenFeedResult feed = engine().OpenFeed(FeedFrom(0));
  ASSERT_TRUE(feed.ok());
  EngineResult<FeedPage> page = PageWokenBy(engine(), *feed, [this] {
    AppendBatch batch = testing::Batch("s", Events(1, "t", 1));
    batch.durability = RequestDurability::kSync;
    EXPECT_TRUE(engine().Append(std::move(batch)).ok());
  });
  ASSERT_TRUE(page.ok());
  EXPECT_FALSE(page->timed_out);
  EXPECT_EQ(page->batches.size(), 1u);
}

// A consumer's acknowledgement commits what was appended before it, and
// that move of the durable head wakes the feeds waiting for it.
TEST_F(EngineTest, AnAcknowledgementThatCommitsBufferedEventsWakesAWaitingFeed) {
  FeedRequest consumer = FeedFrom(0);
  consumer.consumer_id = "c";
  OpenFeedResult acknowledging = engine().OpenFeed(consumer);
  OpenFeedResult waiting = engine().OpenFeed(FeedFrom(0));
  ASSERT_TRUE(acknowledging.ok() && waiting.ok());
  EngineResult<FeedPage> page = PageWokenBy(engine(), *waiting, [&] {
    EXPECT_TRUE(testing::AppendOne(engine(), "s").ok());
    EXPECT_TRUE(engine().AcknowledgeFeed(*acknowledging).ok());
  });
  ASSERT_TRUE(page.ok());
  EXPECT_FALSE(page->timed_out);
  EXPECT_EQ(page->batches.size(), 1u);
}

TEST_F(EngineTest, ClosingTheEngineWakesEveryWaitingFeed) {
  std::vector<std::thread> waiters;
  std::vector<std::string> outcomes(3);
  for (size_t i = 0; i < outcomes.size(); ++i) {
    OpenFeedResult feed = engine().OpenFeed(FeedFrom(0));
    ASSERT_TRUE(feed.ok());
    waiters.emplace_back([this, i, &outcomes, feed = *feed] {
      outcomes[i] = Outcome(engine().NextFeedPage(feed, 600000));
    });
  }
  AwaitWaiters(engine(), static_cast<int>(outcomes.size()));
  EXPECT_EQ(Outcome(engine().Close()), "ok");
  for (std::thread& waiter : waiters) waiter.join();
  for (const std::string& outcome : outcomes) {
    EXPECT_EQ(outcome, "engine_closed: engine handle is closed");
  }
}

TEST_F(EngineTest, AFeedStartedInsideABatchServesTheWholeBatch) {
  AppendBatch batch = testing::Batch("s", Events(3, "t", 1));
  batch.durability = RequestDurability::kSync;
  ASSERT_TRUE(engine().Append(std::move(batch)).ok());
  OpenFeedResult feed = engine().OpenFeed(FeedFrom(2));
  ASSERT_TRUE(feed.ok());
  EngineResult<FeedPage> page = engine().NextFeedPage(*feed);
  ASSERT_TRUE(page.ok());
  ASSERT_EQ(page->batches.size(), 1u);
  EXPECT_EQ(page->batches[0].first_position, 0u);
  EXPECT_EQ(page->batches[0].events.size(), 3u);
}

TEST_F(EngineTest, OpeningAFeedChecksItsRequest) {
  ASSERT_TRUE(testing::AppendOne(engine(), "s").ok());
  ASSERT_TRUE(engine().Commit().ok());
  FeedRequest with_consumer = FeedFrom(0);
  const struct {
    FeedRequest request;
    std::string outcome;
  } cases[] = {
      {FeedFrom(0, 0), "resource_limit: feed page batches is 0, maximum is 4096"},
      {FeedFrom(0, 4097), "resource_limit: feed page batches is 4097, maximum is 4096"},
      {FeedFrom(0, 1, 0), "resource_limit: feed page bytes is 0, maximum is 16777216"},
      {FeedFrom(0, 1, 16777217),
       "resource_limit: feed page bytes is 16777217, maximum is 16777216"},
      {FeedFrom(2), "position_unavailable: feed position is beyond durable head 1"},
      {[] {
         FeedRequest r = FeedFrom(0);
         r.consumer_id = "";
         return r;
       }(),
       "invalid_argument: consumer ID must contain 1 to 1024 bytes"},
      {[] {
         FeedRequest r = FeedFrom(0);
         r.consumer_id = std::string(1025, 'c');
         return r;
       }(),
       "invalid_argument: consumer ID must contain 1 to 1024 bytes"},
      {[] {
         FeedRequest r = FeedFrom(1, 4096, 16777216);
         r.consumer_id = std::string(1024, 'c');
         return r;
       }(),
       "ok"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Outcome(engine().OpenFeed(c.request)), c.outcome);
  }
  EXPECT_EQ(Outcome(engine().NextFeedPage(999)), "not_found: feed handle was not found");
  OpenFeedResult feed = engine().OpenFeed(FeedFrom(0));
  ASSERT_EQ(Outcome(engine().CancelFeed(*feed)), "ok");
  EXPECT_EQ(Outcome(engine().NextFeedPage(*feed)), "cancelled: feed was cancelled");
  EXPECT_EQ(Outcome(engine().CloseFeed(*feed)), "ok");
  EXPECT_EQ(Outcome(engine().CloseFeed(*feed)), "not_found: feed handle was not found");
}

// A consumer resumes where it acknowledged, across a restart; it cannot
// acknowledge a position it was not served, and a clear forgets it.
TEST(FeedCheckpointTest, AConsumerResumesAtItsAcknowledgedPositionAfterARestart) {
  platform::TempDir dir;
  FeedRequest consumer = FeedFrom(std::nullopt, 1);
  consumer.consumer_id = "c";
  {
    std::optional<Engine> engine = OpenEngine(dir.path());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(testing::AppendOne(*engine, "s").ok());
    ASSERT_TRUE(engine->Commit().ok());
    OpenFeedResult feed = engine->OpenFeed(consumer);
    ASSERT_TRUE(feed.ok());
    ASSERT_EQ(engine->NextFeedPage(*feed)->next_position, 1u);
    ASSERT_EQ(engine->NextFeedPage(*feed)->next_position, 2u);
    EXPECT_EQ(Outcome(engine->AcknowledgeFeed(*feed, 3)),
              "invalid_argument: acknowledged position 3 lies outside the positions the feed "
              "served, 0 to 2");
    EXPECT_EQ(engine->AcknowledgeFeed(*feed, 1).value(), 1u);
    // Again at the consumer's checkpoint: nothing is written.
    const std::map<uint64_t, uint64_t> written = testing::SegmentSizes(dir.path());
    EXPECT_EQ(engine->AcknowledgeFeed(*feed, 1).value(), 1u);
    EXPECT_EQ(testing::SegmentSizes(dir.path()), written);
    EXPECT_EQ(Outcome(engine->AcknowledgeFeed(*feed, 0)),
              "invalid_argument: acknowledged position 0 lies outside the positions the feed "
              "served, 1 to 2");
    ASSERT_EQ(Outcome(engine->Close()), "ok");
  }
  std::optional<Engine> engine = OpenEngine(dir.path());
  OpenFeedResult feed = engine->OpenFeed(consumer);
  ASSERT_TRUE(feed.ok());
  EngineResult<FeedPage> page = engine->NextFeedPage(*feed);
  ASSERT_EQ(page->batches.size(), 1u);
  EXPECT_EQ(page->batches[0].first_position, 1u);
  EXPECT_EQ(engine->AcknowledgeFeed(*feed).value(), 2u);
  ASSERT_EQ(Outcome(engine->ClearConsumer("c")), "ok");
  OpenFeedResult fresh = engine->OpenFeed(consumer);
  EXPECT_EQ(engine->NextFeedPage(*fresh)->batches.at(0).first_position, 0u);
}

// System records written once a segment of events has reached its target
// roll it first, as a batch does: it passes its target by one record at
// most, and the segment they start is no floor until an event lands there.
// A reopen finds the checkpoint and the registrations.
TEST(FeedCheckpointTest, SystemRecordsRollAFullSegmentAndAReopenFindsThem) {
  platform::TempDir dir;
  OpenConfig config = ConfigFor(dir.path());
  config.segment_bytes = 2048;  // three events pass it
  uint64_t events_bytes = 0;
  {
    std::optional<Engine> engine = OpenEngine(config);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(testing::AppendOne(*engine, "s").ok());
    ASSERT_TRUE(engine->Commit().ok());
    events_bytes = testing::SegmentSizes(dir.path()).at(0);
    ASSERT_GE(events_bytes, config.segment_bytes);
    FeedRequest consumer = FeedFrom(0);
    consumer.consumer_id = "c";
    const FeedHandle feed = engine->OpenFeed(consumer).value();
    ASSERT_EQ(engine->NextFeedPage(feed)->next_position, 3u);
    ASSERT_EQ(engine->AcknowledgeFeed(feed).value(), 3u);
    for (const std::string id : {"a", "b", "c"}) {
      ASSERT_EQ(engine->RegisterConsumerBootstrap(id, 3, id).value(), 0u);
    }
  }
  const std::map<uint64_t, uint64_t> sizes = testing::SegmentSizes(dir.path());
  EXPECT_EQ(sizes.at(0), events_bytes);
  EXPECT_LT(sizes.at(3), config.segment_bytes);
  std::optional<Engine> engine = OpenEngine(config);
  ASSERT_EQ(Outcome(engine->CreateRetentionAnchor(3)), "ok");
  EXPECT_EQ(engine->RetentionStatus(3)->consumers,
            (std::vector<RetentionConsumerStatus>{{"c", 3, false, true}}));
  EXPECT_EQ(engine->ConsumerBootstrap("a").value(), "a");
}

// Consumer records are read before registrations: an unreadable one is the
// open's error even behind an unreadable registration.
TEST(FeedCheckpointTest, AnUnreadableCheckpointRecordFailsTheOpenWithTheReadersMessage) {
  const retention::AnchoredSystemRecord checkpoint{"corvantine.consumer.checkpoint", "{\"x\":1}"};
  const retention::AnchoredSystemRecord registration{"corvantine.projection.registered", "{"};
  for (const std::vector<retention::AnchoredSystemRecord>& records :
       {std::vector{checkpoint}, std::vector{registration, checkpoint}}) {
    platform::TempDir dir;
    {
      // Written below the engine, as a damaged or foreign writer could.
      Result<std::unique_ptr<db::Corvantine>> db =
          db::Corvantine::OpenInternal(dir.path(), {}, std::nullopt);
      ASSERT_TRUE(db.ok());
      for (const retention::AnchoredSystemRecord& record : records) {
        ASSERT_TRUE((*db)->AppendSystemRecord(record.event_type, record.payload).ok());
      }
    }
    EngineResult<Engine> reopened = Engine::Open(ConfigFor(dir.path()));
    ASSERT_FALSE(reopened.ok());
    EXPECT_EQ(reopened.error().ToString(),
              "internal: missing field `consumer_id` at line 1 column 7");
  }
}

// A feed replayed into a second database reproduces its batches, ids and
// metadata kept whole; a batch ingested twice is stored once, and a retry of
// the source's append under its key is answered as the source would. The
// replica's views follow, but no automatic snapshot counts its batches.
TEST(IngestBatchTest, AFeedIngestedIntoAnotherDatabaseKeepsItsBatchesAndIds) {
  platform::TempDir source_dir;
  platform::TempDir replica_dir;
  OpenConfig replica_config = ConfigFor(replica_dir.path());
  replica_config.snapshot_every_events = 1;
  std::optional<Engine> source = OpenEngine(source_dir.path());
  std::optional<Engine> replica = OpenEngine(replica_config);
  const QueryHandle view =
      replica->RegisterQuery("v", QueryDefinition{"k", {}, std::nullopt}).value();
  ASSERT_EQ(replica->Query(view, projection::LenQuery{}).value().total, 0u);  // Ready
  std::vector<AppendBatch> appended;
  for (int i = 0; i < 5; ++i) {
    AppendBatch batch = testing::Batch(i % 2 ? "odd" : "even", Events(1 + i % 3, "t", i));
    batch.idempotency_key = "key" + std::to_string(i);
    batch.events[0].metadata["m"] = "v";
    for (EventData& event : batch.events) event.body = R"({"k":)" + event.body + "}";
    appended.push_back(batch);
    ASSERT_TRUE(source->Append(std::move(batch)).ok());
  }
  ASSERT_TRUE(source->Commit().ok());
  OpenFeedResult feed = source->OpenFeed(FeedFrom(0));
  std::vector<CommittedBatch> batches = source->NextFeedPage(*feed)->batches;
  ASSERT_EQ(batches.size(), 5u);
  for (const CommittedBatch& batch : batches) {
    EngineResult<AppendReceiptDto> receipt = replica->IngestBatch(batch);
    ASSERT_TRUE(receipt.ok()) << receipt.error().ToString();
    EXPECT_EQ(receipt->batch_id, batch.batch_id);
    EXPECT_EQ(receipt->first_position, batch.first_position);
    EXPECT_EQ(receipt->durability, ReceiptDurability::kSynced);
    EngineResult<AppendReceiptDto> again = replica->IngestBatch(batch);
    ASSERT_TRUE(again.ok()) << again.error().ToString();
    EXPECT_EQ(again->first_position, batch.first_position);
  }
  EXPECT_TRUE(replica->ListSnapshots(view).value().empty());
  EngineResult<AppendReceiptDto> retried = replica->Append(appended[3]);
  ASSERT_TRUE(retried.ok()) << retried.error().ToString();
  EXPECT_EQ(retried->batch_id, batches[3].batch_id);
  OpenFeedResult copy = replica->OpenFeed(FeedFrom(0));
  std::vector<CommittedBatch> copied = replica->NextFeedPage(*copy)->batches;
  ASSERT_EQ(copied.size(), batches.size());
  for (size_t i = 0; i < copied.size(); ++i) {
    EXPECT_EQ(copied[i].batch_id, batches[i].batch_id);
    ASSERT_EQ(copied[i].events.size(), batches[i].events.size());
    for (size_t j = 0; j < copied[i].events.size(); ++j) {
      const RecordDto& a = copied[i].events[j];
      const RecordDto& b = batches[i].events[j];
      EXPECT_EQ(a.event_id, b.event_id);
      EXPECT_EQ(a.position, b.position);
      EXPECT_EQ(a.body, b.body);
      EXPECT_EQ(a.metadata, b.metadata);
    }
  }
}

TEST(IngestBatchTest, AReplicatedBatchIsCheckedLikeAnAppend) {
  platform::TempDir source_dir;
  platform::TempDir replica_dir;
  std::optional<Engine> source = OpenEngine(source_dir.path());
  std::optional<Engine> replica = OpenEngine(replica_dir.path());
  AppendBatch append = testing::Batch("s", Events(2, "t", 1));
  append.durability = RequestDurability::kSync;
  ASSERT_TRUE(source->Append(std::move(append)).ok());
  const CommittedBatch batch = source->NextFeedPage(*source->OpenFeed(FeedFrom(0)))->batches.at(0);
  const struct {
    void (*damage)(CommittedBatch&);
    std::string outcome;
  } cases[] = {
      {[](CommittedBatch& b) { b.events.clear(); },
       "invalid_argument: replicated batch has no events"},
      {[](CommittedBatch& b) { b.last_position = 5; },
       "invalid_argument: replicated batch position range is invalid"},
      {[](CommittedBatch& b) { b.events[0].metadata.clear(); },
       "invalid_argument: replicated event has no stream name"},
      {[](CommittedBatch& b) { b.events[1].batch_index = 0; },
       "invalid_argument: replicated event envelope does not match its batch"},
      {[](CommittedBatch& b) { b.stream_ids.clear(); },
       "invalid_argument: replicated event envelope does not match its batch"},
      {[](CommittedBatch& b) { b.events[1].metadata.erase("corvantine.stream_name"); },
       "invalid_argument: replicated batch spans multiple stream names"},
      {[](CommittedBatch& b) { b.events[0].body = "{"; },
       "invalid_json: EOF while parsing an object at line 1 column 1"},
      {[](CommittedBatch& b) { b.events[0].body = std::string((8 << 20) + 1, ' '); },
       "resource_limit: payload is 8388609, maximum is 8388608"},
  };
  for (const auto& c : cases) {
    CommittedBatch damaged = batch;
    c.damage(damaged);
    EXPECT_EQ(Outcome(replica->IngestBatch(std::move(damaged))), c.outcome);
  }
  EXPECT_EQ(replica->Head().value(), 0u);
}

}  // namespace
}  // namespace corvantine::facade
