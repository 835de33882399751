#include "facade/engine/engine.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "facade/engine/test_util.h"
#include "testing/test_util.h"

#if defined(__linux__)
#include <csignal>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#endif

namespace corvantine::facade {
namespace {

using stream::ExpectedRevision;
using namespace testing;

EventData BytesEvent(size_t size) {
  EventData event = EventData::Json(std::string(size, 'x'));
  event.codec = EventCodec::kBytes;
  return event;
}

std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// A body whose maker vouches for its form and gives its nesting depth.
EventData WellFormed(std::string body, uint32_t depth) {
  EventData event = EventData::Json(std::move(body));
  event.well_formed_depth = depth;
  return event;
}

TEST_F(EngineTest, AppendChecksInOrder) {
  constexpr size_t kEightMiB = 8 << 20;
  struct Case {
    const char* name;
    AppendBatch batch;
    std::string outcome;
  };
  const auto events = [](auto... event) { return std::vector<EventData>{std::move(event)...}; };
  AppendBatch empty_key = Batch("s", events(EventData::Json("1")));
  empty_key.idempotency_key = "";
  AppendBatch unknown_branch = Batch("s", events(EventData::Json("1")));
  unknown_branch.branch = format::BranchId(format::IdBytes{9});
  EventData untyped = EventData::Json("1");
  untyped.event_type = "";
  Case cases[] = {
      {"16 MiB in all", Batch("s", events(BytesEvent(kEightMiB), BytesEvent(kEightMiB))), "ok"},
      {"16 MiB and a byte", Batch("s", events(BytesEvent(kEightMiB), BytesEvent(kEightMiB + 1))),
       "resource_limit: batch payload is 16777217, maximum is 16777216"},
      {"one body over 8 MiB", Batch("s", events(BytesEvent(kEightMiB + 1))),
       "resource_limit: payload is 8388609, maximum is 8388608"},
      {"any JSON value", Batch("s", events(EventData::Json("42"))), "ok"},
      {"bytes need not be JSON", Batch("s", events(BytesEvent(3))), "ok"},
      {"empty JSON", Batch("s", events(EventData::Json(""))),
       "invalid_json: EOF while parsing a value at line 1 column 0"},
      {"nested 128 deep", Batch("s", events(EventData::Json(Nested(128)))), "ok"},
      {"nested 129 deep", Batch("s", events(EventData::Json(Nested(129)))),
       "invalid_json: recursion limit exceeded at line 1 column 129"},
      {"nested without end", Batch("s", events(EventData::Json(std::string(1 << 20, '[')))),
       "invalid_json: recursion limit exceeded at line 1 column 129"},
      {"vouched for, 128 deep", Batch("s", events(WellFormed(Nested(128), 128))), "ok"},
      {"vouched for, 129 deep", Batch("s", events(WellFormed(Nested(129), 129))),
       "invalid_json: recursion limit exceeded at line 1 column 129"},
      {"vouched for, so not read", Batch("s", events(WellFormed("[", 1))), "ok"},
      {"vouched for, too deep, behind a large body",
       Batch("s", events(BytesEvent(kEightMiB + 1), WellFormed(Nested(129), 129))),
       "resource_limit: payload is 8388609, maximum is 8388608"},
      {"bad JSON before a large body",
       Batch("s", events(EventData::Json("{"), BytesEvent(kEightMiB + 1))),
       "invalid_json: EOF while parsing an object at line 1 column 1"},
      {"large body before bad JSON",
       Batch("s", events(BytesEvent(kEightMiB + 1), EventData::Json("{"))),
       "resource_limit: payload is 8388609, maximum is 8388608"},
      {"no events", Batch("s", {}),
       "invalid_argument: invalid argument: append batch must contain at least one event"},
      {"empty event type", Batch("s", events(std::move(untyped))),
       "corruption: invalid format: event type must not be empty"},
      {"empty stream name", Batch("", events(EventData::Json("1"))),
       "invalid_argument: invalid argument: stream name must not be empty"},
      {"empty idempotency key", std::move(empty_key),
       "invalid_argument: invalid argument: idempotency key must not be empty"},
      {"unknown branch", std::move(unknown_branch),
       "not_found: branch not found: 09000000000000000000000000000000"},
      {"stream exists", Batch("s", events(EventData::Json("1")), ExpectedRevision::NoStream()),
       "conflict: stream revision conflict: expected NoStream, actual "
       "Some(StreamRevision(6))"},
  };
  for (Case& c : cases) {
    EXPECT_EQ(Outcome(engine().Append(std::move(c.batch))), c.outcome) << c.name;
  }
  EXPECT_EQ(*engine().Head(), 7u);
}

TEST_F(EngineTest, ReceiptsHeadsAndCommit) {
  const EngineResult<AppendReceiptDto> first = AppendOne(engine(), "s");
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->first_position, 0u);
  EXPECT_FALSE(first->previous_revision.has_value());
  EXPECT_EQ(first->durability, stream::ReceiptDurability::kBuffered);
  EXPECT_EQ(*engine().Head(), 1u);
  EXPECT_EQ(*engine().DurableHead(), 0u);
  EXPECT_EQ(*engine().UncommittedCount(), 1u);
  EXPECT_EQ(*engine().RetentionFloor(), 0u);

  std::vector<EventData> two;
  two.push_back(EventData::Json("1"));
  two.push_back(EventData::Json("2"));
  AppendBatch flushed = Batch("s", std::move(two), ExpectedRevision::Exact({0}));
  flushed.durability = stream::RequestDurability::kFlush;
  const EngineResult<AppendReceiptDto> second = engine().Append(std::move(flushed));
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->last_position, 2u);
  EXPECT_EQ(second->current_revision.value, 2u);
  EXPECT_EQ(second->durability, stream::ReceiptDurability::kFlushed);
  EXPECT_EQ(*engine().UncommittedCount(), 3u);

  EXPECT_EQ(*engine().Commit(), 3u);
  EXPECT_EQ(*engine().DurableHead(), 3u);
  EXPECT_EQ(*engine().UncommittedCount(), 0u);
  EXPECT_EQ(engine().feed_signal().published(), 3u);
  EXPECT_EQ(*engine().Commit(), 3u);

  AppendBatch synced = Batch("t", {});
  synced.events.push_back(EventData::Json("3"));
  synced.durability = stream::RequestDurability::kSync;
  EXPECT_EQ(engine().Append(std::move(synced))->durability, stream::ReceiptDurability::kSynced);
  EXPECT_EQ(engine().feed_signal().published(), 4u);
}

TEST_F(EngineTest, StoredEventsReadBackAsAppended) {
  EventData event = EventData::Json(R"({"a": [1, 2.5]})");
  event.event_type = "order.placed";
  event.schema_version = 7;
  event.metadata.emplace("k", std::string("v\0w", 3));
  event.event_id = format::EventId(format::IdBytes{4, 2});
  EventData raw = BytesEvent(2);
  std::vector<EventData> events;
  events.push_back(std::move(event));
  events.push_back(std::move(raw));
  const EngineResult<AppendReceiptDto> receipt =
      engine().Append(Batch("orders", std::move(events)));
  ASSERT_TRUE(receipt.ok());

  const std::vector<RecordDto> records = ReadAll(engine(), ReadFrom(0));
  ASSERT_EQ(records.size(), 2u);
  const RecordDto& first = records[0];
  EXPECT_EQ(first.body, R"({"a": [1, 2.5]})");
  EXPECT_EQ(first.codec, EventCodec::kJson);
  EXPECT_EQ(first.event_type, "order.placed");
  EXPECT_EQ(first.schema_version, 7u);
  EXPECT_EQ(first.event_id, format::EventId(format::IdBytes{4, 2}));
  EXPECT_EQ(first.metadata.at("k"), std::string("v\0w", 3));
  EXPECT_EQ(first.metadata.at("corvantine.stream_name"), "orders");
  EXPECT_EQ(first.batch_id, receipt->batch_id);
  EXPECT_EQ(first.stream_id, receipt->stream_id);
  EXPECT_EQ(records[1].body, "xx");
  EXPECT_EQ(records[1].codec, EventCodec::kBytes);
  EXPECT_EQ(records[1].batch_index, 1u);
  EXPECT_EQ(records[1].stream_revision, 1u);
}

TEST_F(EngineTest, PageLimits) {
  struct Case {
    uint32_t page_events;
    uint64_t page_bytes;
    std::string outcome;
  };
  const Case cases[] = {
      {0, 0, "resource_limit: page events is 0, maximum is 4096"},
      {4097, 1, "resource_limit: page events is 4097, maximum is 4096"},
      {1, 0, "resource_limit: page bytes is 0, maximum is 16777216"},
      {1, 16777217, "resource_limit: page bytes is 16777217, maximum is 16777216"},
      {4096, 16777216, "ok"},
      {1, 1, "ok"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Outcome(engine().OpenReader(ReadFrom(0, {}, c.page_events, c.page_bytes))),
              c.outcome);
    DiffRequest diff;
    diff.page_events = c.page_events;
    diff.page_bytes = c.page_bytes;
    EXPECT_EQ(Outcome(engine().Diff(diff)), c.outcome);
  }
}

TEST_F(EngineTest, ReaderHandlesCountFromOneAndAreNeverReused) {
  EXPECT_EQ(*engine().OpenReader(ReadFrom(0)), 1u);
  EXPECT_EQ(*engine().OpenReader(ReadFrom(0)), 2u);
  EXPECT_EQ(Outcome(engine().CloseReader(2)), "ok");
  EXPECT_EQ(Outcome(engine().OpenReader(ReadFrom(0, 1))),
            "offset_beyond_head: offset 1 beyond head");
  EXPECT_EQ(*engine().OpenReader(ReadFrom(0)), 3u);
}

TEST_F(EngineTest, ReaderLifecycle) {
  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  const ReaderHandle reader = *engine().OpenReader(ReadFrom(0));
  EXPECT_EQ(Outcome(engine().CancelReader(reader)), "ok");
  EXPECT_EQ(Outcome(engine().NextPage(reader)), "cancelled: reader was cancelled");
  EXPECT_EQ(Outcome(engine().CloseReader(reader)), "ok");
  const std::string gone = "not_found: reader handle was not found";
  EXPECT_EQ(Outcome(engine().NextPage(reader)), gone);
  EXPECT_EQ(Outcome(engine().CancelReader(reader)), gone);
  EXPECT_EQ(Outcome(engine().CloseReader(reader)), gone);
}

// Each page as "[positions] continuation done".
std::vector<std::string> Pages(const Engine& engine, ReaderRequest request) {
  std::vector<std::string> pages;
  for (const ReplayPage& page : ReadPages(engine, std::move(request), 20)) {
    std::string text = "[";
    for (const RecordDto& record : page.records) {
      text += (text.size() > 1 ? " " : "") + std::to_string(record.position);
    }
    pages.push_back(text + "] " + std::to_string(page.continuation) +
                    (page.done ? " done" : ""));
  }
  return pages;
}

TEST_F(EngineTest, PagesOfAnEmptyLog) {
  EXPECT_EQ(Pages(engine(), ReadFrom(0)), std::vector<std::string>{"[] 0 done"});
}

TEST_F(EngineTest, Paging) {
  // Each record costs its body (10 bytes) and its stream name (1 byte).
  for (const char* stream : {"a", "b", "a", "a"}) {
    ASSERT_TRUE(AppendOne(engine(), stream, R"("12345678")").ok());
  }
  using Expected = std::vector<std::string>;
  EXPECT_EQ(Pages(engine(), ReadFrom(0, {}, 4096, 1)),
            (Expected{"[0] 1", "[1] 2", "[2] 3", "[3] 4 done"}));
  EXPECT_EQ(Pages(engine(), ReadFrom(0, {}, 4096, 22)), (Expected{"[0 1] 2", "[2 3] 4 done"}));
  EXPECT_EQ(Pages(engine(), ReadFrom(0, {}, 3, 1000)), (Expected{"[0 1 2] 3", "[3] 4 done"}));
  EXPECT_EQ(Pages(engine(), ReadFrom(1, 3)), (Expected{"[1 2] 3 done"}));
  EXPECT_EQ(Pages(engine(), ReadFrom(3, 1)), (Expected{"[] 3 done"}));

  ReaderRequest only_a = ReadFrom(0, {}, 1);
  only_a.stream = "a";
  EXPECT_EQ(Pages(engine(), only_a), (Expected{"[0] 1", "[2] 3", "[3] 4 done"}));
  ReaderRequest only_b = ReadFrom(2);
  only_b.stream = "b";
  EXPECT_EQ(Pages(engine(), only_b), (Expected{"[] 4 done"}));
}

TEST_F(EngineTest, ReaderKeepsItsEndAndEndsOnce) {
  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  const ReaderHandle reader = *engine().OpenReader(ReadFrom(0));
  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  for (int i = 0; i < 3; ++i) {
    const EngineResult<ReplayPage> page = engine().NextPage(reader);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page->records.size(), i == 0 ? 1u : 0u);
    EXPECT_EQ(page->continuation, 1u);
    EXPECT_TRUE(page->done);
  }
}

// Events of a fork lie between the parent's events in the log: a reader of
// the parent must pass over them, also when none of its own follow.
TEST_F(EngineTest, ReaderOfAParentPassesOverItsForks) {
  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  const EngineResult<BranchDto> fork = engine().Fork({}, 2, "f", {});
  ASSERT_TRUE(fork.ok());
  for (int i = 0; i < 3; ++i) {
    AppendBatch batch = Batch("s", {});
    batch.events.push_back(EventData::Json("{}"));
    batch.branch = fork->id;
    ASSERT_TRUE(engine().Append(std::move(batch)).ok());
  }
  using Expected = std::vector<std::string>;
  EXPECT_EQ(Pages(engine(), ReadFrom(0, {}, 1)), (Expected{"[0] 1", "[1] 2", "[] 5 done"}));
  ReaderRequest stream = ReadFrom(0);
  stream.stream = "s";
  EXPECT_EQ(Pages(engine(), stream), (Expected{"[0 1] 5 done"}));
  ReaderRequest on_fork = ReadFrom(0, {}, 4);
  on_fork.branch = fork->id;
  EXPECT_EQ(Pages(engine(), on_fork), (Expected{"[0 1 2 3] 4", "[4] 5 done"}));
}

TEST_F(EngineTest, Branches) {
  EXPECT_EQ(engine().BranchNamed("main")->name, "main");
  EXPECT_EQ(Outcome(engine().BranchNamed("f")), "not_found: branch handle was not found");
  EXPECT_EQ(Outcome(engine().Fork({}, 0, "", {})),
            "invalid_argument: invalid argument: branch name must be nonempty and contain no NUL");
  EXPECT_EQ(Outcome(engine().Fork({}, 0, std::string(256, 'n'), {})),
            "resource_limit: resource limit exceeded: branch name bytes is 256, maximum is 255");
  EXPECT_EQ(Outcome(engine().Fork({}, 1, "f", {})), "offset_beyond_head: offset 1 beyond head");

  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  const EngineResult<BranchDto> fork = engine().Fork({}, 1, "f", {{"owner", "me"}});
  ASSERT_TRUE(fork.ok());
  EXPECT_EQ(fork->parent, format::BranchId());
  EXPECT_EQ(fork->fork_position, 1u);
  EXPECT_EQ(fork->metadata.at("owner"), "me");
  EXPECT_EQ(*engine().BranchNamed("f"), *fork);
  // The fork committed the buffered append, and said so to feed waiters.
  EXPECT_EQ(*engine().DurableHead(), 1u);
  EXPECT_EQ(engine().feed_signal().published(), 1u);

  const EngineResult<std::vector<BranchDto>> ancestry = engine().Ancestry(fork->id);
  ASSERT_TRUE(ancestry.ok());
  ASSERT_EQ(ancestry->size(), 2u);
  EXPECT_EQ((*ancestry)[0].name, "main");
  EXPECT_EQ((*ancestry)[1].name, "f");

  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  const EngineResult<BranchDto> archived = engine().Archive(fork->id);
  ASSERT_TRUE(archived.ok());
  EXPECT_EQ(archived->status, branch::BranchStatus::kArchived);
  EXPECT_EQ(engine().feed_signal().published(), 2u);
  AppendBatch onto_archived = Batch("s", {});
  onto_archived.events.push_back(EventData::Json("{}"));
  onto_archived.branch = fork->id;
  EXPECT_EQ(Outcome(engine().Append(std::move(onto_archived))),
            "branch_archived: branch is archived: f");
  EXPECT_EQ(Outcome(engine().Archive({})),
            "invalid_argument: invalid argument: the default branch cannot be archived");
}

TEST_F(EngineTest, DiffHandsOutReaderRequests) {
  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  ASSERT_TRUE(AppendOne(engine(), "s").ok());
  const format::BranchId fork = engine().Fork({}, 1, "f", {})->id;
  AppendBatch on_fork = Batch("s", {});
  on_fork.events.push_back(EventData::Json("{}"));
  on_fork.branch = fork;
  ASSERT_TRUE(engine().Append(std::move(on_fork)).ok());

  DiffRequest request;
  request.left_branch = {};
  request.right_branch = fork;
  request.stream = "s";
  request.page_events = 4096;
  request.page_bytes = 1;
  const EngineResult<DiffDto> diff = engine().Diff(request);
  ASSERT_TRUE(diff.ok()) << diff.error().ToString();
  EXPECT_EQ(diff->common_ancestor.name, "main");
  EXPECT_EQ(diff->divergence, 1u);
  const auto describe = [](const ReaderRequest& r) {
    return r.branch.ToHex().substr(0, 4) + " " + std::to_string(r.start.value_or(99)) + ".." +
           std::to_string(r.end.value_or(99)) + " " + r.stream.value_or("-") + " " +
           std::to_string(r.page_events) + "/" + std::to_string(r.page_bytes);
  };
  const std::string fork_hex = fork.ToHex().substr(0, 4);
  EXPECT_EQ(describe(diff->shared), "0000 0..1 s 4096/1");
  EXPECT_EQ(describe(diff->left.reader), "0000 1..3 s 4096/1");
  EXPECT_EQ(describe(diff->right.reader), fork_hex + " 1..3 s 4096/1");
  EXPECT_EQ(diff->left.until, 3u);
  EXPECT_EQ(diff->right.branch.name, "f");

  EXPECT_EQ(ReadAll(engine(), diff->shared).size(), 1u);
  EXPECT_EQ(ReadAll(engine(), diff->left.reader).size(), 1u);
  EXPECT_EQ(ReadAll(engine(), diff->right.reader).size(), 1u);
}

TEST(EngineLifecycleTest, CloseStopsEveryCopyOnce) {
  platform::TempDir dir;
  std::optional<Engine> engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  const Engine copy = *engine;
  ASSERT_TRUE(AppendOne(copy, "s").ok());
  EXPECT_EQ(Outcome(engine->Close()), "ok");
  EXPECT_FALSE(LockFileExists(dir.path()));
  EXPECT_EQ(Outcome(engine->Close()), "ok");
  EXPECT_EQ(Outcome(copy.Head()), "engine_closed: engine handle is closed");
  EXPECT_EQ(copy.Head().error().kind(), ErrorKind::kCancelled);
  EXPECT_EQ(Outcome(AppendOne(copy, "s")), "engine_closed: engine handle is closed");

  std::optional<Engine> reopened = OpenEngine(dir.path());
  ASSERT_TRUE(reopened);
  EXPECT_EQ(*reopened->Head(), 1u);
}

TEST(EngineLifecycleTest, DroppingTheLastHandleStopsTheSequencer) {
  platform::TempDir dir;
  {
    std::optional<Engine> engine = OpenEngine(dir.path());
    ASSERT_TRUE(engine);
    const Engine copy = *engine;
    engine.reset();
    EXPECT_TRUE(LockFileExists(dir.path()));
    EXPECT_TRUE(copy.Head().ok());
  }
  EXPECT_FALSE(LockFileExists(dir.path()));
  EXPECT_TRUE(OpenEngine(dir.path()).has_value());
}

TEST(EngineLifecycleTest, OpenReportsStartUpErrors) {
  platform::TempDir dir;
  std::optional<Engine> engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  const EngineResult<Engine> second = Engine::Open(ConfigFor(dir.path()));
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().code(), "locked");
  EXPECT_EQ(second.error().kind(), ErrorKind::kLocked);
  EXPECT_TRUE(engine->Head().ok());
}

#if defined(__linux__)
// The sequencer as /proc shows it: its name and blocked-signal mask.
std::optional<std::pair<std::string, uint64_t>> FindSequencerThread() {
  Result<std::vector<std::string>> tasks = platform::ListDir("/proc/self/task");
  if (!tasks.ok()) return std::nullopt;
  for (const std::string& task : *tasks) {
    std::ifstream comm("/proc/self/task/" + task + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("corvantine", 0) != 0) continue;
    std::ifstream status("/proc/self/task/" + task + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) == 0) {
        return std::make_pair(name, std::stoull(line.substr(7), nullptr, 16));
      }
    }
  }
  return std::nullopt;
}

TEST(EngineLifecycleTest, SequencerIsNamedAndTakesNoAsynchronousSignal) {
  platform::TempDir dir;
  std::optional<Engine> engine = OpenEngine(dir.path());
  ASSERT_TRUE(engine);
  const auto thread = FindSequencerThread();
  ASSERT_TRUE(thread.has_value());
  EXPECT_EQ(thread->first, "corvantine-sequ");
  const auto blocked = [&](int signal) { return (thread->second >> (signal - 1)) & 1; };
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGCHLD, SIGPIPE}) {
    EXPECT_TRUE(blocked(signal)) << signal;
  }
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
    EXPECT_FALSE(blocked(signal)) << signal;
  }
}
#endif

}  // namespace
}  // namespace corvantine::facade
