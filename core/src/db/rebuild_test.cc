// The stream catalog kept by appends must be what the log rebuilds, whatever
// mix of streams, branches, keys, retries and conflicts produced it.
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "db/test_util.h"
#include "log/log.h"
#include "log/segment.h"
#include "platform/platform.h"
#include "testing/test_util.h"

namespace corvantine::db {
namespace {

using namespace testing;

class RandomWorkload {
 public:
  explicit RandomWorkload(Corvantine& db) : db_(db), branches_{format::BranchId()} {}

  void Step() {
    const int choice = Pick(20);
    if (choice == 0 && branches_.size() < 4) {
      const branch::BranchInfo info =
          db_.ForkBranch(Choose(branches_), LogOf(db_).head(),
                         "branch-" + std::to_string(branches_.size()), {})
              .value();
      branches_.push_back(info.id);
    } else if (choice == 1) {
      ASSERT_TRUE(db_.Commit().ok());
    } else if (choice <= 5 && !sent_.empty()) {
      Send(Choose(sent_));  // a retry: keyed, by event ids, or a conflict
    } else {
      Send(NewRequest());
    }
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  template <typename T>
  const T& Choose(const std::vector<T>& values) {
    return values[Pick(static_cast<int>(values.size()))];
  }

  RequestDraft NewRequest() {
    RequestDraft draft;
    draft.stream = "stream-" + std::to_string(Pick(5));
    draft.branch = Choose(branches_);
    if (Pick(3) == 0) draft.key = "key-" + std::to_string(Pick(30));
    switch (Pick(4)) {
      case 0:
        draft.expected = stream::ExpectedRevision::NoStream();
        break;
      case 1:
        draft.expected = stream::ExpectedRevision::Exact({static_cast<uint64_t>(Pick(4))});
        break;
      default:
        break;
    }
    const int events = 1 + Pick(4);
    for (int i = 0; i < events; ++i) {
      std::optional<format::EventId> id;
      if (Pick(3) == 0) id = EventIdOf(static_cast<uint8_t>(Pick(200)));
      format::Metadata metadata;
      if (Pick(2) == 0) metadata["tag"] = std::to_string(Pick(3));
      draft.events.push_back(Event("{\"v\":" + std::to_string(Pick(4)) + "}", id, metadata));
    }
    draft.durability = static_cast<stream::RequestDurability>(Pick(3));
    return draft;
  }

  // Conflicts are expected; anything else failing is not.
  void Send(RequestDraft draft) {
    Result<stream::AppendReceipt> receipt = db_.AppendBatchWithId(Request(draft), std::nullopt);
    if (!receipt.ok()) {
      const error::Kind kind = receipt.error().kind();
      ASSERT_TRUE(kind == error::Kind::kRevisionConflict ||
                  kind == error::Kind::kIdempotencyConflict ||
                  kind == error::Kind::kEventIdConflict)
          << receipt.error().ToString();
      return;
    }
    sent_.push_back(std::move(draft));
  }

  Corvantine& db_;
  std::mt19937 random_{20261207};
  std::vector<format::BranchId> branches_;
  std::vector<RequestDraft> sent_;
};

TEST(RebuildTest, LiveCatalogEqualsEveryRebuild) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  RandomWorkload workload(*db);
  std::string stale_checkpoint;
  for (int step = 0; step < 400; ++step) {
    ASSERT_NO_FATAL_FAILURE(workload.Step());
    if (step == 200) {
      ASSERT_TRUE(db->Commit().ok());
      stale_checkpoint =
          platform::ReadFile(platform::JoinPath(dir.path(), kCoreCatalogFileName)).value();
    }
  }
  ASSERT_GT(LogOf(*db).head(), 300u);
  const stream::StreamCatalog live = db->stream_catalog();
  const branch::BranchCatalog branches = db->branch_catalog();
  EXPECT_TRUE(SameIgnoringDurability(live, RebuiltCatalog(LogOf(*db))));
  const CoreCatalogCheckpoint decoded =
      CoreCatalogCheckpoint::Decode(EncodeCoreCatalog(LogOf(*db).database_id(), 7, live)).value();
  EXPECT_EQ(decoded.catalog, live);
  EXPECT_EQ(decoded.head, 7u);
  ASSERT_TRUE(db->Commit().ok());
  db.reset();  // leaves a checkpoint at the head

  const std::string checkpoint = platform::JoinPath(dir.path(), kCoreCatalogFileName);
  db = OpenDb(dir.path());
  EXPECT_EQ(db->stream_catalog(), live) << "from the checkpoint";
  EXPECT_EQ(db->branch_catalog(), branches);
  db.reset();

  ASSERT_TRUE(platform::CreateOrTruncate(checkpoint)->WriteAt(0, stale_checkpoint).ok());
  db = OpenDb(dir.path());
  EXPECT_TRUE(SameIgnoringDurability(db->stream_catalog(), live)) << "from a stale checkpoint";
  EXPECT_EQ(db->branch_catalog(), branches);
  db.reset();

  ASSERT_TRUE(platform::RemoveFile(checkpoint).ok());
  db = OpenDb(dir.path());
  EXPECT_TRUE(SameIgnoringDurability(db->stream_catalog(), live)) << "from the log alone";
  EXPECT_EQ(db->branch_catalog(), branches);
}

// An event written straight to the log, as its own batch: a log no append
// would write.
struct LoggedEvent {
  std::optional<std::string> name = "orders";
  uint8_t stream = 1;
  uint8_t event = 1;
  format::Metadata extra = {};  // besides the stream name
  std::string payload = "{}";
};

void WriteLog(const std::string& dir, const std::vector<LoggedEvent>& events) {
  Result<std::unique_ptr<log::Log>> log =
      log::Log::OpenInternal(dir, log::Log::kDefaultMaxSegmentBytes, 0);
  ASSERT_TRUE(log.ok()) << log.error().ToString();
  for (const LoggedEvent& e : events) {
    format::IdBytes stream{};
    stream[0] = e.stream;
    format::RecordEnvelopeV2 envelope;
    envelope.database_id = (*log)->database_id();
    envelope.event_id = EventIdOf(e.event);
    envelope.stream_id = format::StreamId(stream);
    envelope.batch_id = format::BatchId(format::GenerateIdBytes());
    envelope.metadata = e.extra;
    if (e.name) envelope.metadata.emplace(format::kStreamNameKey, *e.name);
    const log::segment::BatchRecord record{envelope, e.payload};
    ASSERT_TRUE((*log)->AppendBatch({&record, 1}).ok());
  }
}

format::Metadata Keyed(std::string key) {
  return {{std::string(format::kIdempotencyKeyKey), std::move(key)},
          {std::string(format::kRequestDigestKey), "\x01\x02\x03\x04"}};
}

// The open reads each event into storage the previous one left: metadata
// that comes and goes between neighbours must not linger.
TEST(RebuildTest, OpenFromTheLogMatchesARebuildOfOwnedRecords) {
  TempDir dir;
  ASSERT_NO_FATAL_FAILURE(WriteLog(
      dir.path(), {{.event = 1, .extra = Keyed("a")},
                   {.event = 2},
                   {.name = "other", .stream = 2, .event = 3, .extra = {{"tag", "x"}}},
                   {.event = 4, .extra = Keyed("b")},
                   {.event = 5, .extra = {{"tag", "y"}}}}));
  auto db = OpenDb(dir.path());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->stream_catalog(), RebuiltCatalog(LogOf(*db)));
  EXPECT_EQ(db->stream_catalog().idempotency().size(), 2u);
}

TEST(RebuildTest, OpenFromTheLogFailsWithTheRebuildErrors) {
  const std::pair<std::vector<LoggedEvent>, std::string> cases[] = {
      {{{}, {.name = std::nullopt, .event = 2}},
       "corrupt record at offset 1: event is missing stream name metadata"},
      {{{}, {.name = "\xc0\xaf", .event = 2}},
       "corrupt record at offset 1: stream name metadata is not UTF-8"},
      {{{}, {.stream = 2, .event = 2}},
       "corrupt record at offset 1: stream name maps to multiple stream IDs"},
      {{{}, {.payload = "{\"other\":1}"}}, "event ID already exists with different content"},
  };
  for (const auto& [events, error] : cases) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(WriteLog(dir.path(), events));
    Result<std::unique_ptr<Corvantine>> db = Corvantine::OpenInternal(dir.path(), {}, {});
    ASSERT_FALSE(db.ok()) << error;
    EXPECT_EQ(db.error().ToString(), error);
  }
}

}  // namespace
}  // namespace corvantine::db
