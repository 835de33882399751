#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "db/request.h"
#include "db/test_util.h"
#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/coding.h"
#include "util/crc32c.h"
#include "util/hash.h"

namespace corvantine::db {
namespace {

using namespace testing;
using stream::ExpectedRevision;
using stream::ReceiptDurability;

uint64_t SegmentBytes(const Corvantine& db) { return LogOf(db).active_segment().byte_length(); }

// Request digests are stored in the log, so their bytes are pinned: the
// pieces concatenated by hand, and the value itself.
TEST(RequestDigestTest, IsPinned) {
  format::IdBytes branch{};
  for (size_t i = 0; i < branch.size(); ++i) branch[i] = static_cast<uint8_t>(i + 1);
  RequestDraft draft;
  draft.branch = format::BranchId(branch);
  draft.expected = ExpectedRevision::Exact({7});
  draft.events.push_back(Event("{\"n\":1}", EventIdOf(9), {{"a", "1"}, {"b", "xyz"}}));
  draft.events[0].event_type = format::EventType::New("order.created").value();
  draft.events[0].schema_version = 2;
  draft.events.push_back(Event("p"));
  draft.key = "ignored-by-the-digest";
  draft.durability = stream::RequestDurability::kSync;  // likewise

  std::string pieces(reinterpret_cast<const char*>(branch.data()), branch.size());
  pieces += "orders";
  pieces += "Exact(StreamRevision(7))";
  const format::IdBytes first_id = EventIdOf(9).bytes();
  pieces.append(reinterpret_cast<const char*>(first_id.data()), first_id.size());
  pieces += "order.created";
  pieces += std::string("\x02\x00\x00\x00", 4);
  pieces += "a1bxyz{\"n\":1}";
  pieces += std::string(16, '\0');
  pieces += "application.json";
  pieces += std::string("\x01\x00\x00\x00", 4);
  pieces += "p";

  const uint32_t digest = RequestDigest(Request(std::move(draft)));
  EXPECT_EQ(digest, util::crc32c::Value(pieces));
  EXPECT_EQ(digest, 0x830fad2eu);
}

TEST(StreamIdTest, IsTheDualHashOfDatabaseBranchAndName) {
  const format::DatabaseId database(format::GenerateIdBytes());
  const format::BranchId branch(format::GenerateIdBytes());
  std::string bytes(reinterpret_cast<const char*>(database.bytes().data()), 16);
  bytes.append(reinterpret_cast<const char*>(branch.bytes().data()), 16);
  bytes += "orders";
  EXPECT_EQ(NewStreamId(database, branch, "orders").bytes(), util::DualHash(bytes));
  EXPECT_NE(NewStreamId(format::DatabaseId(), branch, "orders"),
            NewStreamId(database, branch, "orders"));
}

// The checks made before anything is looked up, in their order. The keys
// the append writes itself may not come from the caller (the other reserved
// keys are the frame codec's to judge).
TEST(AppendTest, ChecksComeInOrder) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  const format::BranchId unknown(format::GenerateIdBytes());
  const format::BranchId archived = db->ForkBranch({}, 0, "side", {}).value().id;
  ASSERT_TRUE(db->ArchiveBranch(archived).ok());
  auto request = [&](size_t events, std::string_view key, format::BranchId branch) {
    RequestDraft draft;
    for (size_t i = 0; i < events; ++i) draft.events.push_back(Event("{}", {}, {{"user", "u"}}));
    if (!key.empty()) draft.events.back().metadata.emplace(key, "v");
    draft.branch = branch;
    return Request(std::move(draft));
  };
  auto reserved = [](std::string_view key) {
    return fmt::format("invalid argument: reserved metadata key {} is written by the system", key);
  };
  struct Case {
    const char* what;
    stream::AppendRequest request;
    std::string outcome;
  } cases[] = {
      {"empty", request(0, "", unknown),
       "invalid argument: append batch must contain at least one event"},
      {"size before metadata", request(4097, format::kStreamNameKey, unknown),
       "resource limit exceeded: batch event count is 4097, maximum is 4096"},
      {"stream name key", request(2, format::kStreamNameKey, unknown),
       reserved(format::kStreamNameKey)},
      {"idempotency key key", request(1, format::kIdempotencyKeyKey, {}),
       reserved(format::kIdempotencyKeyKey)},
      {"request digest key", request(1, format::kRequestDigestKey, {}),
       reserved(format::kRequestDigestKey)},
      {"unknown branch", request(1, "", unknown), "branch not found: " + unknown.ToHex()},
      {"archived branch", request(1, "", archived), "branch is archived: side"},
      {"largest batch", request(4096, "", {}), "ok"},
  };
  for (Case& c : cases) {
    EXPECT_EQ(Outcome(db->AppendBatchWithId(std::move(c.request), std::nullopt)), c.outcome)
        << c.what;
  }
  EXPECT_EQ(LogOf(*db).head(), 4096u);
}

TEST(AppendTest, ExpectedRevisions) {
  struct Case {
    int existing_events;
    ExpectedRevision expected;
    std::string outcome;
  } cases[] = {
      {0, ExpectedRevision::Any(), "ok"},
      {0, ExpectedRevision::NoStream(), "ok"},
      {0, ExpectedRevision::Exact({0}),
       "stream revision conflict: expected Exact(StreamRevision(0)), actual None"},
      {3, ExpectedRevision::Any(), "ok"},
      {3, ExpectedRevision::NoStream(),
       "stream revision conflict: expected NoStream, actual Some(StreamRevision(2))"},
      {3, ExpectedRevision::Exact({2}), "ok"},
      {3, ExpectedRevision::Exact({3}),
       "stream revision conflict: expected Exact(StreamRevision(3)), actual "
       "Some(StreamRevision(2))"},
      {3, ExpectedRevision::Exact({1}),
       "stream revision conflict: expected Exact(StreamRevision(1)), actual "
       "Some(StreamRevision(2))"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto db = OpenDb(dir.path());
    for (int i = 0; i < c.existing_events; ++i) ASSERT_TRUE(AppendOne(*db, "orders", "{}").ok());
    AppendOne(*db, "other", "{}").value();  // another stream does not count
    RequestDraft draft;
    draft.events.push_back(Event("{}"));
    draft.expected = c.expected;
    auto receipt = db->AppendBatchWithId(Request(std::move(draft)), std::nullopt);
    EXPECT_EQ(Outcome(receipt), c.outcome) << c.expected.DebugString();
    if (receipt.ok()) {
      EXPECT_EQ(receipt->current_revision.value, static_cast<uint64_t>(c.existing_events));
    }
  }
}

TEST(AppendTest, ReceiptAndStoredRecordsCarryTheBatch) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  ASSERT_TRUE(AppendOne(*db, "orders", "first").ok());
  RequestDraft draft;
  draft.events.push_back(Event("a", EventIdOf(1), {{"user", "u"}}));
  draft.events.push_back(Event("bb"));
  draft.key = std::string("k\0ey", 4);
  draft.durability = stream::RequestDurability::kFlush;
  const uint32_t digest = RequestDigest(Request(draft));
  const format::BatchId batch(format::GenerateIdBytes());
  auto receipt = db->AppendBatchWithId(Request(std::move(draft)), batch);
  ASSERT_TRUE(receipt.ok());
  const stream::AppendReceipt expected{batch,
                                       1,
                                       2,
                                       NewStreamId(LogOf(*db).database_id(), {}, "orders"),
                                       0,
                                       {2},
                                       ReceiptDurability::kFlushed};
  EXPECT_EQ(*receipt, expected);
  EXPECT_EQ(db->durable_head(), 0u);  // flush is not a commit

  std::vector<format::OwnedStoredRecord> records = Drain(db->Read(ReadRequest{}).value());
  ASSERT_EQ(records.size(), 3u);
  std::string digest_bytes(4, '\0');
  util::EncodeFixed32(digest_bytes.data(), digest);
  const format::Metadata metadata = {{"corvantine.idempotency_key", std::string("k\0ey", 4)},
                                     {"corvantine.request_digest", digest_bytes},
                                     {"corvantine.stream_name", "orders"},
                                     {"user", "u"}};
  const format::RecordEnvelopeV2& envelope = records[1].envelope;
  EXPECT_EQ(envelope.metadata, metadata);
  EXPECT_EQ(envelope.event_id, EventIdOf(1));
  EXPECT_EQ(envelope.batch_id, batch);
  EXPECT_EQ(envelope.payload_format, kEventPayloadFormat);
  EXPECT_EQ(envelope.stream_revision.value, 1u);
  EXPECT_EQ(records[2].envelope.batch_index, 1u);
  EXPECT_EQ(records[2].envelope.timestamp_unix_nanos, envelope.timestamp_unix_nanos);
  EXPECT_EQ(records[2].payload, "bb");
}

// Batches reuse the storage of earlier batches' metadata entries: each
// stored event carries exactly its own entries, whatever came before it.
TEST(AppendTest, EveryBatchStoresOnlyItsOwnMetadata) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  const std::string long_value(300, 'v');
  RequestDraft keyed;
  keyed.stream = "a-rather-long-stream-name-of-many-bytes";
  keyed.events.push_back(Event("1", {}, {{"user", "u"}, {"big", long_value}}));
  keyed.events.push_back(Event("2", {}, {{"z", ""}}));
  keyed.key = "key-1";
  ASSERT_TRUE(db->AppendBatchWithId(Request(std::move(keyed)), std::nullopt).ok());
  for (const char* stream : {"b", "c"}) {
    RequestDraft plain;
    plain.stream = stream;
    plain.events.push_back(Event("3"));
    plain.events.push_back(Event("4", {}, {{"user", "w"}}));
    ASSERT_TRUE(db->AppendBatchWithId(Request(std::move(plain)), std::nullopt).ok());
  }

  std::vector<format::OwnedStoredRecord> records = Drain(db->Read(ReadRequest{}).value());
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].envelope.metadata.at("big"), long_value);
  EXPECT_EQ(records[1].envelope.metadata.size(), 4u);  // z, the key, its digest, the name
  const format::Metadata plain_metadata = {{"corvantine.stream_name", "c"}};
  const format::Metadata user_metadata = {{"corvantine.stream_name", "c"}, {"user", "w"}};
  EXPECT_EQ(records[4].envelope.metadata, plain_metadata);
  EXPECT_EQ(records[5].envelope.metadata, user_metadata);
  EXPECT_EQ(db->stream_catalog(), RebuiltCatalog(LogOf(*db)));
}

// One idempotent request, then the same key with one component changed at a
// time; an identical retry writes nothing, also after a reopen with the
// checkpoint and without it.
TEST(IdempotencyTest, ConflictsAndRetries) {
  auto base = [] {
    RequestDraft draft;
    draft.key = "key-1";
    draft.events.push_back(Event("{\"a\":1}", EventIdOf(1), {{"m", "v"}}));
    draft.events.push_back(Event("{\"b\":2}"));
    return draft;
  };
  const std::vector<std::pair<const char*, std::function<void(RequestDraft&)>>> changes = {
      {"stream", [](RequestDraft& s) { s.stream = "orders-2"; }},
      {"expected revision", [](RequestDraft& s) { s.expected = ExpectedRevision::NoStream(); }},
      {"event id", [](RequestDraft& s) { s.events[0].event_id = EventIdOf(2); }},
      {"missing event id", [](RequestDraft& s) { s.events[0].event_id.reset(); }},
      {"event type",
       [](RequestDraft& s) { s.events[0].event_type = format::EventType::New("t").value(); }},
      {"schema version", [](RequestDraft& s) { s.events[1].schema_version = 2; }},
      {"metadata value", [](RequestDraft& s) { s.events[0].metadata["m"] = "w"; }},
      {"metadata key", [](RequestDraft& s) { s.events[1].metadata["n"] = ""; }},
      {"payload", [](RequestDraft& s) { s.events[1].payload = "{\"b\":3}"; }},
      {"event count", [](RequestDraft& s) { s.events.pop_back(); }},
  };
  for (const char* reopen : {"", "with checkpoint", "without checkpoint"}) {
    TempDir dir;
    auto db = OpenDb(dir.path());
    const stream::AppendReceipt first =
        db->AppendBatchWithId(Request(base()), std::nullopt).value();
    ASSERT_TRUE(db->Commit().ok());
    if (*reopen != '\0') {
      db.reset();
      if (std::string_view(reopen) == "without checkpoint") {
        ASSERT_TRUE(
            platform::RemoveFile(platform::JoinPath(dir.path(), kCoreCatalogFileName)).ok());
      }
      db = OpenDb(dir.path());
    }
    const uint64_t head = LogOf(*db).head();
    const uint64_t bytes = SegmentBytes(*db);
    for (const auto& [what, change] : changes) {
      RequestDraft draft = base();
      change(draft);
      EXPECT_EQ(Outcome(db->AppendBatchWithId(Request(std::move(draft)), std::nullopt)),
                "idempotency key already exists with different content")
          << what << " " << reopen;
    }
    RequestDraft retry = base();
    retry.durability = stream::RequestDurability::kFlush;  // not part of the request's identity
    auto again = db->AppendBatchWithId(Request(std::move(retry)), std::nullopt);
    ASSERT_TRUE(again.ok()) << reopen;
    EXPECT_EQ(*again, first) << reopen;
    EXPECT_EQ(LogOf(*db).head(), head);
    EXPECT_EQ(SegmentBytes(*db), bytes);
  }
}

TEST(IdempotencyTest, SyncRetryCommitsAndSaysSynced) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  RequestDraft draft;
  draft.key = "key";
  draft.events.push_back(Event("{}"));
  const auto first = db->AppendBatchWithId(Request(draft), std::nullopt).value();
  EXPECT_EQ(first.durability, ReceiptDurability::kBuffered);

  draft.durability = stream::RequestDurability::kFlush;
  EXPECT_EQ(db->AppendBatchWithId(Request(draft), std::nullopt)->durability,
            ReceiptDurability::kBuffered);
  EXPECT_EQ(db->durable_head(), 0u);

  draft.durability = stream::RequestDurability::kSync;
  platform::testing::CallCounter flushes(platform::Op::kSync, ".seg");
  auto synced = db->AppendBatchWithId(Request(draft), std::nullopt);
  ASSERT_TRUE(synced.ok());
  EXPECT_EQ(synced->durability, ReceiptDurability::kSynced);
  EXPECT_EQ(flushes.count(), 1u);
  EXPECT_EQ(db->durable_head(), 1u);
  // The stored receipt keeps what the first append reached.
  EXPECT_EQ(db->stream_catalog().Idempotent({}, "key")->receipt, first);
}

TEST(EventIdTest, RetriesAndConflicts) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  auto batch = [](std::vector<std::optional<format::EventId>> ids, std::string payload = "{}") {
    RequestDraft draft;
    for (const auto& id : ids) draft.events.push_back(Event(payload, id));
    return draft;
  };
  const auto first =
      db->AppendBatchWithId(Request(batch({EventIdOf(1), EventIdOf(2)})), std::nullopt).value();
  const branch::BranchInfo side = db->ForkBranch({}, LogOf(*db).head(), "side", {}).value();
  const uint64_t head = LogOf(*db).head();
  auto elsewhere = [&](std::string stream, format::BranchId branch) {
    RequestDraft draft = batch({EventIdOf(1), EventIdOf(2)});
    draft.stream = std::move(stream);
    draft.branch = branch;
    draft.key = "fresh";  // a new key does not make it a retry either
    return draft;
  };

  EXPECT_EQ(*db->AppendBatchWithId(Request(batch({EventIdOf(1), EventIdOf(2)})), std::nullopt),
            first);
  EXPECT_EQ(*db->AppendBatchWithId(Request(batch({EventIdOf(1), EventIdOf(2)})), first.batch_id),
            first);
  const std::string kIdConflict = "event ID already exists with different content";
  struct Case {
    const char* what;
    RequestDraft draft;
    std::optional<format::BatchId> batch_id;
    std::string outcome;
  } cases[] = {
      {"other content", batch({EventIdOf(1)}, "{\"x\":1}"), {}, kIdConflict},
      {"partly stored", batch({EventIdOf(1), EventIdOf(3)}), {}, kIdConflict},
      {"part of the stored batch", batch({EventIdOf(1)}), {}, kIdConflict},
      {"other stream", elsewhere("payments", {}), {}, kIdConflict},
      {"other branch", elsewhere("orders", side.id), {}, kIdConflict},
      {"one without id", batch({EventIdOf(1), std::nullopt}), {}, kIdConflict},
      {"other batch id", batch({EventIdOf(1), EventIdOf(2)}),
       format::BatchId(format::GenerateIdBytes()),
       "batch ID already exists with different content"},
      {"repeated with other content",
       [] {
         RequestDraft draft;
         draft.events.push_back(Event("{}", EventIdOf(7)));
         draft.events.push_back(Event("{\"x\":1}", EventIdOf(7)));
         return draft;
       }(),
       {},
       kIdConflict},
      {"used batch id", batch({EventIdOf(8)}), first.batch_id,
       "batch ID already exists with different content"},
  };
  for (Case& c : cases) {
    EXPECT_EQ(Outcome(db->AppendBatchWithId(Request(std::move(c.draft)), c.batch_id)), c.outcome)
        << c.what;
  }
  EXPECT_EQ(LogOf(*db).head(), head);

  // The expected revision is checked before a retry is recognised.
  RequestDraft exact = batch({EventIdOf(1), EventIdOf(2)});
  exact.expected = ExpectedRevision::Exact({1});
  ASSERT_TRUE(AppendOne(*db, "orders", "{}").ok());
  EXPECT_EQ(Outcome(db->AppendBatchWithId(Request(std::move(exact)), std::nullopt)),
            "stream revision conflict: expected Exact(StreamRevision(1)), actual "
            "Some(StreamRevision(2))");

  // The same id twice in one batch with the same content is written twice.
  auto twice = db->AppendBatchWithId(Request(batch({EventIdOf(9), EventIdOf(9)})), std::nullopt);
  ASSERT_TRUE(twice.ok());
  EXPECT_EQ(twice->last_position - twice->first_position, 1u);
}

}  // namespace
}  // namespace corvantine::db
