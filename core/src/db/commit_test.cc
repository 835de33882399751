#include <cerrno>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "db/test_util.h"
#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::db {
namespace {

using namespace testing;
using stream::ReceiptDurability;
using stream::RequestDurability;

constexpr char kIoError[] = "io: Input/output error (os error 5)";

// Counts the flushes of segment files.
CallCounter SegmentFlushes() { return CallCounter(Op::kSync, ".seg"); }

TEST(GroupCommitTest, ThresholdsDecideWhichAppendCommits) {
  constexpr auto B = ReceiptDurability::kBuffered;
  constexpr auto F = ReceiptDurability::kFlushed;
  constexpr auto S = ReceiptDurability::kSynced;
  constexpr auto kBuf = RequestDurability::kBuffered;
  constexpr auto kFlush = RequestDurability::kFlush;
  constexpr auto kSync = RequestDurability::kSync;
  struct Step {
    uint64_t at_millis;  // the monotonic clock when the append runs
    std::string payload;
    RequestDurability durability;
    ReceiptDurability expected;
  };
  struct Case {
    const char* what;
    CommitPolicy policy;
    std::vector<Step> steps;
    uint64_t flushes;
  } cases[] = {
      {"no threshold", {}, {{0, "a", kBuf, B}, {1000, "b", kBuf, B}, {0, "c", kFlush, F}}, 0},
      {"sync", {}, {{0, "a", kBuf, B}, {0, "b", kSync, S}, {0, "c", kBuf, B}}, 1},
      {"count 3",
       {std::nullopt, 3, std::nullopt},
       {{0, "a", kBuf, B}, {0, "b", kFlush, F}, {0, "c", kBuf, S}, {0, "d", kBuf, B}},
       1},
      {"sync resets the count",
       {std::nullopt, 3, std::nullopt},
       {{0, "a", kBuf, B},
        {0, "b", kSync, S},
        {0, "c", kBuf, B},
        {0, "d", kBuf, B},
        {0, "e", kBuf, S}},
       2},
      {"bytes 10",
       {10, std::nullopt, std::nullopt},
       {{0, "1234", kBuf, B}, {0, "1234", kBuf, B}, {0, "12", kBuf, S}, {0, "1", kBuf, B}},
       1},
      {"millis 10",
       {std::nullopt, std::nullopt, 10},
       {{9, "a", kBuf, B}, {10, "b", kBuf, S}, {19, "c", kBuf, B}, {20, "d", kBuf, S}},
       2},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto now = std::make_shared<uint64_t>(0);
    Options options;
    options.monotonic_nanos = [now] { return *now; };
    auto db = OpenDb(dir.path(), c.policy, std::nullopt, options);
    CallCounter flushes = SegmentFlushes();
    for (const Step& step : c.steps) {
      *now = step.at_millis * 1'000'000;
      auto receipt = AppendOne(*db, "orders", step.payload, step.durability);
      ASSERT_TRUE(receipt.ok()) << c.what;
      EXPECT_EQ(receipt->durability, step.expected) << c.what << " " << step.payload;
      if (step.expected == ReceiptDurability::kSynced) {
        EXPECT_EQ(db->durable_head(), LogOf(*db).head()) << c.what;
      }
    }
    EXPECT_EQ(flushes.count(), c.flushes) << c.what;
  }
}

// A batch that reached the segment stays in the catalog when its commit
// fails: a keyed retry finds it instead of writing it again.
TEST(CommitFailureTest, CatalogFollowsTheLog) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  ASSERT_TRUE(AppendOne(*db, "orders", "a").ok());
  RequestDraft draft;
  draft.key = "key";
  draft.events.push_back(Event("b"));
  draft.durability = stream::RequestDurability::kSync;
  {
    ScopedFault fault(Op::kSync, 1, Fault::Error(EIO), ".seg");
    EXPECT_EQ(Outcome(db->AppendBatchWithId(Request(draft), std::nullopt)), kIoError);
  }
  EXPECT_EQ(db->stream_catalog().Revision({}, "orders"), 1u);
  const stream::AppendReceipt stored = db->stream_catalog().Idempotent({}, "key")->receipt;
  EXPECT_EQ(stored.first_position, 1u);
  EXPECT_EQ(stored.durability, ReceiptDurability::kBuffered);  // it never became durable
  EXPECT_EQ(db->durable_head(), 0u);

  RequestDraft buffered = draft;
  buffered.durability = stream::RequestDurability::kBuffered;
  EXPECT_EQ(*db->AppendBatchWithId(Request(buffered), std::nullopt), stored);
  // A sync retry must commit, which the fenced log refuses.
  EXPECT_EQ(Outcome(db->AppendBatchWithId(Request(draft), std::nullopt)), kIoError);
  EXPECT_EQ(Outcome(AppendOne(*db, "orders", "c")), kIoError);
  EXPECT_EQ(LogOf(*db).head(), 2u);

  // The batch is in the file; reopened, the retry still finds it.
  db.reset();
  db = OpenDb(dir.path());
  EXPECT_EQ(*db->AppendBatchWithId(Request(buffered), std::nullopt), stored);
  EXPECT_EQ(LogOf(*db).head(), 2u);
}

// The checkpoint is derived data: failing to write it warns and fails
// nothing.
TEST(CheckpointFailureTest, OnlyWarns) {
  const std::string warning =
      std::string("corvantine: could not persist core catalog: ") + kIoError + "\n";
  format::BranchId side;
  auto fork = [&side](Corvantine& db) -> Result<> {
    CVN_ASSIGN_OR_RETURN(const branch::BranchInfo info, db.ForkBranch({}, 0, "side", {}));
    side = info.id;
    return {};
  };
  auto nothing = [](Corvantine&) -> Result<> { return {}; };
  struct Case {
    const char* what;
    std::function<Result<>(Corvantine&)> setup;
    std::function<Result<>(Corvantine&)> operation;  // runs with renames failing
  } cases[] = {
      {"sync append", nothing,
       [](Corvantine& db) -> Result<> {
         CVN_TRY(AppendOne(db, "orders", "a", stream::RequestDurability::kSync));
         return {};
       }},
      {"commit",
       [](Corvantine& db) -> Result<> {
         CVN_TRY(AppendOne(db, "orders", "a"));
         return {};
       },
       [](Corvantine& db) -> Result<> {
         CVN_TRY(db.Commit());
         return {};
       }},
      {"fork", nothing, fork},
      {"archive", fork,
       [&side](Corvantine& db) -> Result<> {
         CVN_TRY(db.ArchiveBranch(side));
         return {};
       }},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto db = OpenDb(dir.path());
    ASSERT_TRUE(c.setup(*db).ok()) << c.what;
    ::testing::internal::CaptureStderr();
    Result<> outcome;
    {
      ScopedFault fault(Op::kRename, 1, Fault::Error(EIO), "core-catalog");
      outcome = c.operation(*db);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), warning) << c.what;
    EXPECT_EQ(Outcome(outcome), "ok") << c.what;
    EXPECT_EQ(db->durable_head(), LogOf(*db).head()) << c.what;
  }
}

// A commit rewrites the checkpoint only once the log has grown by half the
// checkpoint's size since the last one, so its cost does not grow with the
// history.
TEST(CheckpointCadenceTest, FollowsTheLogsGrowth) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  uint64_t size = platform::FileSizeOf(CheckpointPath(dir.path())).value();
  uint64_t log_bytes = LogOf(*db).active_segment().byte_length();
  int persisted = 0;
  constexpr int kCommits = 60;
  for (int i = 0; i < kCommits; ++i) {
    CallCounter renames(Op::kRename, "core-catalog");
    ASSERT_TRUE(AppendOne(*db, "orders", "{\"n\":1}", stream::RequestDurability::kSync).ok());
    const uint64_t grown = LogOf(*db).active_segment().byte_length() - log_bytes;
    const bool due = 2 * grown >= size;
    ASSERT_EQ(renames.count(), due ? 1u : 0u) << "commit " << i;
    if (due) {
      ++persisted;
      size = platform::FileSizeOf(CheckpointPath(dir.path())).value();
      log_bytes = LogOf(*db).active_segment().byte_length();
      EXPECT_EQ(CheckpointHead(dir.path()), db->durable_head());
    }
  }
  EXPECT_GT(persisted, 5);
  EXPECT_LT(persisted, kCommits / 2);
}

TEST(CheckpointCadenceTest, CloseCheckpointsOnlyWhatIsCommitted) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  // Commit until one leaves the checkpoint behind.
  for (int i = 0; i < 50 && CheckpointHead(dir.path()) == db->durable_head(); ++i) {
    ASSERT_TRUE(AppendOne(*db, "s", "x", stream::RequestDurability::kSync).ok());
  }
  ASSERT_LT(CheckpointHead(dir.path()), db->durable_head());
  const uint64_t committed = db->durable_head();
  db.reset();
  EXPECT_EQ(CheckpointHead(dir.path()), committed);

  db = OpenDb(dir.path());
  ASSERT_TRUE(AppendOne(*db, "s", "uncommitted").ok());
  db.reset();
  EXPECT_EQ(CheckpointHead(dir.path()), committed);

  // A failed flush leaves the batch uncommitted too.
  db = OpenDb(dir.path());  // checkpoints the event the reopen applied
  EXPECT_EQ(CheckpointHead(dir.path()), committed + 1);
  {
    ScopedFault fault(Op::kSync, 1, Fault::Error(EIO), ".seg");
    EXPECT_EQ(Outcome(AppendOne(*db, "s", "y", stream::RequestDurability::kSync)), kIoError);
  }
  db.reset();
  EXPECT_EQ(CheckpointHead(dir.path()), committed + 1);
}

// A fixed-seed run of appends over three streams: every durability, keys
// used again (retries and conflicts), caller-given event ids (some reused
// with other content), expected revisions that conflict, and retries of
// earlier appends asking for any durability.
std::vector<RequestDraft> RandomScript(uint32_t seed, int count) {
  constexpr RequestDurability kDurabilities[] = {
      RequestDurability::kBuffered, RequestDurability::kFlush, RequestDurability::kSync};
  std::mt19937 random(seed);
  std::vector<RequestDraft> script;
  for (int i = 0; i < count; ++i) {
    RequestDraft draft;
    if (!script.empty() && random() % 5 == 0) {
      draft = script[random() % script.size()];
    } else {
      draft.stream = fmt::format("s{}", random() % 3);
      std::optional<format::EventId> id;
      if (random() % 2 == 0) id = EventIdOf(static_cast<uint8_t>(random() % 200));
      draft.events.push_back(Event(fmt::format("e{}", i), id));
      if (random() % 3 == 0) draft.key = fmt::format("k{}", random() % 30);
      if (random() % 4 == 0) draft.expected = stream::ExpectedRevision::Exact({random() % 30});
    }
    draft.durability = kDurabilities[random() % 3];
    script.push_back(std::move(draft));
  }
  return script;
}

// An append's outcome up to the ids that differ between two databases.
std::string Described(const Result<stream::AppendReceipt>& receipt) {
  if (!receipt.ok()) return Outcome(receipt);
  return fmt::format("{}..{} after {} at {} {}", receipt->first_position, receipt->last_position,
                     receipt->previous_revision ? int64_t(*receipt->previous_revision) : -1,
                     receipt->current_revision.value, static_cast<int>(receipt->durability));
}

struct Progress {
  std::string outcome;
  uint64_t head = 0;
  uint64_t durable_head = 0;
};

// Appends run in commit groups of 1 to 8 answer exactly as one by one, and
// leave the same head and durable head (and so the same uncommitted count)
// after every group, with fewer flushes.
TEST(CommitGroupTest, AnswersAsAppendsOneByOne) {
  const CommitPolicy policy{std::nullopt, 4, std::nullopt};
  const std::vector<RequestDraft> script = RandomScript(17, 400);
  TempDir alone_dir;
  TempDir grouped_dir;
  auto alone = OpenDb(alone_dir.path(), policy);
  auto grouped = OpenDb(grouped_dir.path(), policy);
  std::vector<Progress> expected;
  uint64_t alone_flushes = 0;
  {
    CallCounter flushes = SegmentFlushes();
    for (const RequestDraft& draft : script) {
      const std::string outcome = Described(alone->AppendBatchWithId(Request(draft), std::nullopt));
      expected.push_back({outcome, LogOf(*alone).head(), alone->durable_head()});
    }
    alone_flushes = flushes.count();
  }
  CallCounter flushes = SegmentFlushes();
  std::mt19937 random(17);
  for (size_t next = 0; next < script.size();) {
    const size_t end = std::min(script.size(), next + 1 + random() % 8);
    grouped->BeginCommitGroup();
    for (; next < end; ++next) {
      EXPECT_EQ(Described(grouped->AppendBatchWithId(Request(script[next]), std::nullopt)),
                expected[next].outcome)
          << "append " << next;
    }
    ASSERT_TRUE(grouped->EndCommitGroup().ok());
    EXPECT_EQ(LogOf(*grouped).head(), expected[end - 1].head) << "group ending " << end;
    EXPECT_EQ(grouped->durable_head(), expected[end - 1].durable_head) << "group ending " << end;
  }
  EXPECT_LT(flushes.count(), alone_flushes);
}

// A failed group flush fails what stood on it: the commits it was to make
// and what was written after the first of them; an append before it, a
// failed check and a retry of an older batch keep their answers. Retries
// afterwards find the marked receipts as failed commits leave them.
TEST(CommitGroupTest, FailedFlushFailsWhatWaitedOnIt) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  auto draft = [](std::string payload, std::optional<std::string> key = {},
                  RequestDurability durability = RequestDurability::kBuffered) {
    RequestDraft draft;
    draft.events.push_back(Event(std::move(payload)));
    draft.key = std::move(key);
    draft.durability = durability;
    return draft;
  };
  const RequestDraft old_batch = draft("old", "old");
  ASSERT_TRUE(db->AppendBatchWithId(Request(old_batch), std::nullopt).ok());
  const RequestDraft synced = draft("synced", "synced", RequestDurability::kSync);
  const RequestDraft synced_retry = draft("synced", "synced");
  RequestDraft conflict = draft("c");
  conflict.expected = stream::ExpectedRevision::NoStream();
  struct Step {
    const char* what;
    RequestDraft draft;
    bool awaits_flush;
  } steps[] = {
      {"before the first commit", draft("a", {}, RequestDurability::kFlush), false},
      {"the first commit", synced, true},
      {"written after it", draft("b"), true},
      {"a retry of a marked batch", synced_retry, true},
      {"a failed check", conflict, false},
      {"a retry of an older batch", old_batch, false},
  };
  db->BeginCommitGroup();
  for (const Step& step : steps) {
    Result<stream::AppendReceipt> receipt = db->AppendBatchWithId(Request(step.draft), {});
    EXPECT_EQ(receipt.ok() && db->AwaitsGroupFlush(*receipt), step.awaits_flush) << step.what;
  }
  {
    ScopedFault fault(Op::kSync, 1, Fault::Error(EIO), ".seg");
    EXPECT_EQ(Outcome(db->EndCommitGroup()), kIoError);
  }
  EXPECT_EQ(db->durable_head(), 0u);
  EXPECT_EQ(db->AppendBatchWithId(Request(synced_retry), {})->durability,
            ReceiptDurability::kBuffered);
  EXPECT_EQ(Outcome(db->AppendBatchWithId(Request(synced), {})), kIoError);
}

TEST(OpenFlushTest, FlushesTheActiveSegmentOnce) {
  TempDir dir;
  for (int round = 0; round < 2; ++round) {
    CallCounter flushes = SegmentFlushes();
    auto db = OpenDb(dir.path());
    EXPECT_EQ(flushes.count(), 1u) << "round " << round;
    ASSERT_TRUE(AppendOne(*db, "orders", "unflushed").ok());
  }
  // The failed flush fails the open and releases the lock.
  {
    ScopedFault fault(Op::kSync, 1, Fault::Error(EIO), ".seg");
    EXPECT_EQ(Outcome(Corvantine::OpenInternal(dir.path(), {}, std::nullopt)), kIoError);
  }
  EXPECT_NE(OpenDb(dir.path()), nullptr);
}

}  // namespace
}  // namespace corvantine::db
