// The engine under many caller threads: exact expected revisions racing on
// shared and separate streams, shutdown while others call, failures of
// start-up, of handlers and of a flush that callers share, and feed waiters
// woken by every durable move.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "facade/engine/engine.h"
#include "facade/engine/sequencer.h"
#include "facade/engine/test_util.h"
#include "testing/fault.h"
#include "testing/power_loss.h"
#include "testing/test_util.h"

namespace corvantine::facade {
namespace {

using namespace testing;
using stream::ExpectedRevision;

#if defined(__SANITIZE_THREAD__)
constexpr int kScale = 4;  // the race detector is slow; fewer rounds suffice
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kScale = 4;
#else
constexpr int kScale = 1;
#endif
#else
constexpr int kScale = 1;
#endif

// Aborts the test binary when a test has not finished in time: a hang must
// fail, not stall the suite.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_changed_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: test did not finish in time\n");
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;
};

std::string ConflictMessage(uint64_t expected, uint64_t actual) {
  return fmt::format(
      "conflict: stream revision conflict: expected Exact(StreamRevision({})), actual "
      "Some(StreamRevision({}))",
      expected, actual);
}

// The actual revision named by a conflict on an Exact expectation.
uint64_t ActualRevision(const std::string& message) {
  const size_t at = message.rfind("StreamRevision(");
  return at == std::string::npos ? 0 : std::stoull(message.substr(at + 15));
}

TEST(EngineConcurrencyTest, ExactRevisionsRaceOnSharedAndSeparateStreams) {
  Watchdog watchdog(std::chrono::seconds(300));
  constexpr int kThreads = 16;
  const int appends = 1000 / kScale;
  platform::TempDir dir;
  std::optional<Engine> engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  ASSERT_TRUE(AppendOne(*engine, "shared", "0", ExpectedRevision::NoStream()).ok());

  struct Stored {
    std::string stream;
    uint64_t revision;
  };
  std::mutex mutex;
  std::map<uint64_t, Stored> by_position{{0, {"shared", 0}}};  // guarded by mutex
  std::vector<std::string> failures;                           // guarded by mutex
  std::atomic<int> conflicts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string own = fmt::format("own-{}", t);
      std::optional<uint64_t> own_revision;
      uint64_t shared_guess = 0;
      for (int i = 0; i < appends; ++i) {
        const bool shared = i % 2 == 1;
        const std::string name = shared ? "shared" : own;
        for (;;) {
          ExpectedRevision expected = ExpectedRevision::Exact({shared_guess});
          if (!shared) {
            expected = own_revision ? ExpectedRevision::Exact({*own_revision})
                                    : ExpectedRevision::NoStream();
          }
          EngineResult<AppendReceiptDto> receipt = AppendOne(*engine, name, "1", expected);
          std::lock_guard<std::mutex> lock(mutex);
          if (receipt.ok()) {
            const uint64_t revision = receipt->current_revision.value;
            by_position[receipt->first_position] = {name, revision};
            if (shared) {
              shared_guess = revision;
            } else {
              own_revision = revision;
            }
            break;
          }
          const std::string message = receipt.error().ToString();
          const uint64_t actual = ActualRevision(message);
          if (!shared || message != ConflictMessage(shared_guess, actual) ||
              actual <= shared_guess) {
            failures.push_back(message);
            return;
          }
          ++conflicts;
          shared_guess = actual;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(failures, std::vector<std::string>{});
  EXPECT_GT(conflicts.load(), 0);

  // Positions are dense and each stream's revisions follow them in order.
  const uint64_t total = 1 + static_cast<uint64_t>(kThreads) * appends;
  ASSERT_EQ(by_position.size(), total);
  EXPECT_EQ(by_position.rbegin()->first, total - 1);
  std::map<std::string, uint64_t> next_revision;
  for (const auto& [position, stored] : by_position) {
    EXPECT_EQ(stored.revision, next_revision[stored.stream]++) << stored.stream;
  }

  ASSERT_EQ(*engine->Commit(), total);
  ASSERT_EQ(Outcome(engine->Close()), "ok");
  engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  const std::vector<RecordDto> records = ReadAll(*engine, ReadFrom(0));
  ASSERT_EQ(records.size(), total);
  for (const RecordDto& record : records) {
    const Stored& stored = by_position.at(record.position);
    EXPECT_EQ(record.metadata.at("corvantine.stream_name"), stored.stream);
    EXPECT_EQ(record.stream_revision, stored.revision);
  }
}

// Calls that either succeed or find the engine closed; anything else, or an
// operation that still succeeds after one found it closed, is a failure.
void CallUntilClosed(const Engine& engine, int thread, std::atomic<int>* calls,
                     std::atomic<int>* appended, std::vector<std::string>* failures,
                     std::mutex* mutex) {
  const std::string closed = "engine_closed: engine handle is closed";
  const auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> lock(*mutex);
    failures->push_back(what);
  };
  for (int i = 0;; ++i) {
    std::string outcome;
    switch (i % 3) {
      case 0: {
        EngineResult<AppendReceiptDto> receipt =
            AppendOne(engine, fmt::format("s{}", thread), "{}");
        if (receipt.ok()) ++*appended;
        outcome = Outcome(receipt);
        break;
      }
      case 1:
        outcome = Outcome(engine.Head());
        break;
      case 2: {
        EngineResult<ReaderHandle> reader = engine.OpenReader(ReadFrom(0, {}, 16));
        outcome = reader.ok() ? Outcome(engine.NextPage(*reader)) : Outcome(reader);
        if (reader.ok() && outcome == "ok") outcome = Outcome(engine.CloseReader(*reader));
        break;
      }
    }
    ++*calls;
    if (outcome == closed) break;
    if (outcome != "ok") return fail(outcome);
  }
  if (Outcome(engine.Head()) != closed) fail("an operation succeeded after close");
}

TEST(EngineConcurrencyTest, CloseWhileOtherThreadsCall) {
  Watchdog watchdog(std::chrono::seconds(120));
  platform::TempDir dir;
  for (int round = 0; round < 20 / kScale + 1; ++round) {
    std::optional<Engine> engine = OpenEngine(dir.path());
    ASSERT_TRUE(engine);
    const uint64_t before = *engine->Head();
    std::atomic<int> calls{0};
    std::atomic<int> appended{0};
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back(CallUntilClosed, *engine, t, &calls, &appended, &failures, &mutex);
    }
    while (calls.load() < 100) std::this_thread::yield();
    EXPECT_EQ(Outcome(engine->Close()), "ok");
    EXPECT_FALSE(LockFileExists(dir.path()));
    std::optional<Engine> reopened = OpenEngine(dir.path());
    ASSERT_TRUE(reopened);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<std::string>{});
    // Every append that was answered was executed, and no other.
    EXPECT_EQ(*reopened->Head(), before + appended.load());
  }
}

TEST(EngineConcurrencyTest, CloseFromTwoThreadsAtOnce) {
  Watchdog watchdog(std::chrono::seconds(60));
  platform::TempDir dir;
  for (int round = 0; round < 50 / kScale; ++round) {
    std::optional<Engine> engine = OpenEngine(dir.path());
    ASSERT_TRUE(engine);
    ASSERT_TRUE(AppendOne(*engine, "s").ok());
    std::latch start(2);
    std::atomic<int> released{0};
    const auto close = [&] {
      start.arrive_and_wait();
      const EngineResult<> closed = engine->Close();
      // Whichever close returns first, the directory is free by then.
      if (closed.ok() && !LockFileExists(dir.path())) ++released;
    };
    std::thread other(close);
    close();
    other.join();
    EXPECT_EQ(released.load(), 2);
  }
}

TEST(EngineFailureTest, FailedStartUpLeavesTheDirectoryFree) {
  platform::TempDir dir;
  {
    std::optional<Engine> engine = OpenEngine(dir.path());
    ASSERT_TRUE(engine);
    ASSERT_TRUE(AppendOne(*engine, "s").ok());
    ASSERT_TRUE(engine->Fork({}, 1, "f", {}).ok());
  }
  ::corvantine::facade::testing::ThrowAtNextStep();
  EXPECT_EQ(Outcome(Engine::Open(ConfigFor(dir.path()))),
            "internal: sequencer stopped during open");
  EXPECT_FALSE(LockFileExists(dir.path()));

  // Each file the open makes fails in turn; an immediate retry succeeds.
  uint64_t opens;
  {
    platform::testing::CallCounter counter(platform::Op::kOpen);
    ASSERT_TRUE(OpenEngine(dir.path()));
    opens = counter.count();
  }
  ASSERT_GT(opens, 0u);
  for (uint64_t nth = 1; nth <= opens; ++nth) {
    SCOPED_TRACE(nth);
    {
      platform::testing::ScopedFault fault(platform::Op::kOpen, nth,
                                           platform::testing::Fault::Error(EIO));
      EngineResult<Engine> failing = Engine::Open(ConfigFor(dir.path()));
      if (!failing.ok()) {
        EXPECT_FALSE(LockFileExists(dir.path()));
      }
    }
    std::optional<Engine> engine = OpenEngine(dir.path());
    ASSERT_TRUE(engine);
    EXPECT_EQ(*engine->Head(), 1u);
  }
}

TEST(EngineFailureTest, HandlerThatThrowsStopsOnlyItsEngine) {
  Watchdog watchdog(std::chrono::seconds(60));
  platform::TempDir dir;
  std::optional<Engine> engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  ASSERT_TRUE(AppendOne(*engine, "s").ok());
  ASSERT_EQ(*engine->Commit(), 1u);

  std::atomic<int> calls{0};
  std::atomic<int> appended{0};
  std::mutex mutex;
  std::vector<std::string> failures;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back(CallUntilClosed, *engine, t, &calls, &appended, &failures, &mutex);
  }
  while (calls.load() < 50) std::this_thread::yield();
  ::corvantine::facade::testing::ThrowAtNextStep();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<std::string>{});
  EXPECT_FALSE(LockFileExists(dir.path()));
  EXPECT_EQ(Outcome(engine->Close()), "internal: sequencer panicked");
  EXPECT_EQ(Outcome(engine->Close()), "ok");

  engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  EXPECT_EQ(*engine->Head(), 1u + appended.load());
}

EngineResult<AppendReceiptDto> AppendWith(const Engine& engine, std::string stream,
                                          stream::RequestDurability durability) {
  AppendBatch batch = Batch(std::move(stream), {});
  batch.events.push_back(EventData::Json("{}"));
  batch.durability = durability;
  return engine.Append(std::move(batch));
}

// Threads appending with every durability share flushes, and one of them
// fails: a power failure right after keeps every append that was answered
// synced, and every append from the failed flush on fails with its error.
TEST(EngineFailureTest, FailedSharedFlushFailsEveryAppendThatWaitedOnIt) {
  Watchdog watchdog(std::chrono::seconds(300));
  constexpr int kThreads = 8;
  constexpr stream::RequestDurability kDurabilities[] = {stream::RequestDurability::kSync,
                                                         stream::RequestDurability::kBuffered,
                                                         stream::RequestDurability::kFlush};
  const int appends = 300 / kScale;
  platform::TempDir root;
  platform::TempDir images;
  std::optional<Engine> engine;
  std::vector<std::vector<std::string>> outcomes(kThreads);  // per thread, in order
  std::vector<std::vector<uint64_t>> synced(kThreads);  // first positions
  {
    platform::testing::PowerLossRecorder recorder(root.path());
    engine = OpenEngine(platform::JoinPath(root.path(), "db"));
    ASSERT_TRUE(engine);
    platform::testing::ScopedFault fault(platform::Op::kSync, 10,
                                         platform::testing::Fault::Error(EIO), ".seg");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < appends; ++i) {
          EngineResult<AppendReceiptDto> receipt =
              AppendWith(*engine, fmt::format("s{}", t), kDurabilities[(t + i) % 3]);
          outcomes[t].push_back(Outcome(receipt));
          if (receipt.ok() && receipt->durability == stream::ReceiptDurability::kSynced) {
            synced[t].push_back(receipt->first_position);
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(fault.hits(), 1u);
    recorder.WriteImage(platform::JoinPath(images.path(), "root"),
                        platform::testing::Survival::FlushedOnly());
  }
  engine.reset();

  const std::string io_error = "io: io: Input/output error (os error 5)";
  size_t failed = 0;
  for (const std::vector<std::string>& thread : outcomes) {
    const auto first_failure = std::find_if(
        thread.begin(), thread.end(), [](const std::string& outcome) { return outcome != "ok"; });
    EXPECT_THAT(std::vector<std::string>(first_failure, thread.end()), ::testing::Each(io_error));
    failed += thread.end() - first_failure;
  }
  EXPECT_GT(failed, 0u);

  // The process that held the lock is gone; its lock file may have survived.
  const std::string image = platform::JoinPath(images.path(), "root/db");
  ASSERT_TRUE(platform::RemoveAll(platform::JoinPath(image, log::lock::kLockFileName)).ok());
  engine = OpenEngine(image);
  ASSERT_TRUE(engine);
  std::set<uint64_t> durable;
  for (const RecordDto& record : ReadAll(*engine, ReadFrom(0))) durable.insert(record.position);
  size_t synced_count = 0;
  for (const std::vector<uint64_t>& positions : synced) {
    for (uint64_t position : positions) EXPECT_TRUE(durable.contains(position)) << position;
    synced_count += positions.size();
  }
  EXPECT_GT(synced_count, 0u);
}

// Returns once a thread sleeps in `signal`'s wait, so that what the caller
// does next must wake it; the watchdog bounds the wait.
void AwaitWaiter(const FeedSignal& signal) {
  while (signal.waiting() == 0) std::this_thread::yield();
}

TEST(EngineFeedSignalTest, EveryDurableMoveWakesWaiters) {
  Watchdog watchdog(std::chrono::seconds(60));
  platform::TempDir dir;
  std::optional<Engine> engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  format::BranchId fork;
  const std::pair<const char*, std::function<bool()>> moves[] = {
      {"commit", [&] { return engine->Commit().ok(); }},
      {"sync append",
       [&] {
         AppendBatch batch = Batch("s", {});
         batch.events.push_back(EventData::Json("{}"));
         batch.durability = stream::RequestDurability::kSync;
         return engine->Append(std::move(batch)).ok();
       }},
      {"fork",
       [&] {
         EngineResult<BranchDto> branch = engine->Fork({}, *engine->Head(), "f", {});
         if (branch.ok()) fork = branch->id;
         return branch.ok();
       }},
      {"archive", [&] { return engine->Archive(fork).ok(); }},
  };
  const std::atomic<bool> closed{false};
  constexpr auto kLongWait = std::chrono::seconds(30);  // a miss fails before the watchdog
  for (const auto& [name, move] : moves) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(AppendOne(*engine, "s").ok());
    const uint64_t durable = engine->feed_signal().published();
    ASSERT_LT(durable, *engine->Head());
    std::thread waiter([&] {
      EXPECT_EQ(engine->feed_signal().WaitPast(durable, kLongWait, closed),
                FeedSignal::Wake::kWoken);
      EXPECT_GT(engine->feed_signal().published(), durable);
    });
    AwaitWaiter(engine->feed_signal());
    ASSERT_TRUE(move());
    waiter.join();
    EXPECT_EQ(engine->feed_signal().published(), *engine->DurableHead());
  }

  const uint64_t durable = engine->feed_signal().published();
  std::thread waiter([&] {
    EXPECT_EQ(engine->feed_signal().WaitPast(durable, kLongWait, closed),
              FeedSignal::Wake::kWoken);
  });
  AwaitWaiter(engine->feed_signal());
  EXPECT_EQ(Outcome(engine->Close()), "ok");
  waiter.join();
}

TEST(EngineConcurrencyTest, ReaderEndsWhileAnotherThreadAppends) {
  Watchdog watchdog(std::chrono::seconds(60));
  platform::TempDir dir;
  std::optional<Engine> engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(AppendOne(*engine, "s").ok());
  std::atomic<bool> stop{false};
  std::thread appender([&] {
    while (!stop.load()) EXPECT_TRUE(AppendOne(*engine, "s").ok());
  });
  ReaderRequest request = ReadFrom(0, {}, 1);
  request.stream = "s";
  const std::vector<ReplayPage> pages = ReadPages(*engine, request);
  stop = true;
  appender.join();
  ASSERT_FALSE(pages.empty());
  ASSERT_TRUE(pages.back().done);
  // Exactly the events below the head at open time, one per page.
  const uint64_t end = pages.back().continuation;
  EXPECT_GE(end, 100u);
  EXPECT_EQ(pages.size(), end);
}

}  // namespace
}  // namespace corvantine::facade
