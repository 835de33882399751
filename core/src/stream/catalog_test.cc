#include "stream/catalog.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvantine::stream {
namespace {

template <typename Id>
Id IdOf(uint8_t n) {
  format::IdBytes bytes{};
  bytes[0] = n;
  return Id(bytes);
}

const format::BranchId kMain;
const format::BranchId kFork = IdOf<format::BranchId>(5);

// One stored event; ids are given by their first byte.
struct Event {
  uint64_t position = 0;
  std::optional<std::string> name = "orders";
  uint64_t revision = 0;
  uint8_t event = 1;
  uint8_t batch = 1;
  uint8_t stream = 1;
  format::BranchId branch{};
  format::Metadata extra{};  // besides the stream name
  std::string payload = "body";
};

format::OwnedStoredRecord Stored(const Event& e) {
  format::OwnedStoredRecord record;
  record.position = e.position;
  record.envelope.event_id = IdOf<format::EventId>(e.event);
  record.envelope.branch_id = e.branch;
  record.envelope.stream_id = IdOf<format::StreamId>(e.stream);
  record.envelope.stream_revision = {e.revision};
  record.envelope.batch_id = IdOf<format::BatchId>(e.batch);
  record.envelope.metadata = e.extra;
  if (e.name) record.envelope.metadata.emplace(format::kStreamNameKey, *e.name);
  record.payload = e.payload;
  return record;
}

// Hands out copies of its records, then its error if it has one.
struct VectorSource {
  std::vector<format::OwnedStoredRecord> records;
  std::optional<CorvantineError> error_at_end;
  size_t next = 0;

  Result<std::optional<format::OwnedStoredRecord>> Next() {
    if (next < records.size()) return std::optional(records[next++]);
    if (error_at_end) return *error_at_end;
    return std::optional<format::OwnedStoredRecord>();
  }
};

Result<StreamCatalog> RebuildFrom(const std::vector<Event>& events,
                                  std::optional<CorvantineError> error_at_end = {}) {
  VectorSource source{{}, std::move(error_at_end)};
  for (const Event& e : events) source.records.push_back(Stored(e));
  return StreamCatalog::Rebuild(source);
}

format::Metadata IdempotencyMetadata(std::string key, std::string digest) {
  return {{std::string(format::kIdempotencyKeyKey), std::move(key)},
          {std::string(format::kRequestDigestKey), std::move(digest)}};
}

AppendReceipt Receipt(uint8_t batch, uint64_t first, uint64_t last, uint8_t stream,
                      std::optional<uint64_t> previous, uint64_t current) {
  return AppendReceipt{IdOf<format::BatchId>(batch), first, last, IdOf<format::StreamId>(stream),
                       previous, {current}, ReceiptDurability::kBuffered};
}

TEST(StreamCatalogTest, LookupsFollowRecordedBatches) {
  StreamCatalog catalog;
  const auto e1 = IdOf<format::EventId>(1), e2 = IdOf<format::EventId>(2);
  const std::string key("key\0", 4);
  EXPECT_EQ(catalog.Stream(kMain, "orders"), std::nullopt);
  EXPECT_EQ(catalog.EventReceipt(e1), std::nullopt);
  EXPECT_EQ(catalog.LastBatch(), std::nullopt);

  const AppendReceipt first = Receipt(1, 0, 1, 7, std::nullopt, 1);
  const BatchEvent first_events[] = {{e1, 11}, {e2, 12}};
  catalog.RecordBatch(kMain, "orders", IdOf<format::StreamId>(7), first_events,
                      *IdempotencyKey::New(key), 0xabcd, first);
  EXPECT_EQ(catalog.Revision(kMain, "orders"), 1u);
  EXPECT_EQ(catalog.StreamIdOf(kMain, "orders"), IdOf<format::StreamId>(7));
  EXPECT_EQ(catalog.EventDigest(e2), 12u);
  EXPECT_EQ(catalog.BatchReceipt(first.batch_id), first);
  EXPECT_EQ(catalog.Idempotent(kMain, key), (IdempotencyEntry{0xabcd, first}));
  // Names and keys are exact and scoped to their branch.
  EXPECT_EQ(catalog.Idempotent(kMain, "key"), std::nullopt);
  EXPECT_EQ(catalog.Idempotent(kFork, key), std::nullopt);
  EXPECT_EQ(catalog.Revision(kFork, "orders"), std::nullopt);

  // A later batch replaces the entries it meets.
  const AppendReceipt second = Receipt(2, 2, 3, 7, 1, 3);
  const BatchEvent second_events[] = {{e1, 21}, {e1, 21}};
  catalog.RecordBatch(kMain, "orders", IdOf<format::StreamId>(7), second_events, std::nullopt, 0,
                      second);
  EXPECT_EQ(catalog.Revision(kMain, "orders"), 3u);
  EXPECT_EQ(catalog.EventReceipt(e1), (StoredEventReceipt{21, second}));
  EXPECT_EQ(catalog.EventReceipt(e2), (StoredEventReceipt{12, first}));
  EXPECT_EQ(catalog.LastBatch(), second);
}

TEST(StreamCatalogRebuildTest, StreamsAndReceiptsComeFromRevisions) {
  EXPECT_EQ(*RebuildFrom({}), StreamCatalog());

  Result<StreamCatalog> catalog = RebuildFrom({
      {.position = 0, .name = "new", .revision = 0, .event = 1, .batch = 1, .stream = 2},
      {.position = 10, .revision = 4, .event = 2, .batch = 3},
      {.position = 11, .revision = 5, .event = 3, .batch = 3},
      {.position = 12, .revision = 6, .event = 4, .batch = 3},
      {.position = 13, .revision = 2, .event = 5, .batch = 4},  // revisions only grow
      {.position = 14, .event = 6, .batch = 5, .stream = 9, .branch = kFork},
  });
  ASSERT_TRUE(catalog.ok()) << catalog.error().ToString();
  EXPECT_EQ(catalog->BatchReceipt(IdOf<format::BatchId>(1)), Receipt(1, 0, 0, 2, std::nullopt, 0));
  EXPECT_EQ(catalog->BatchReceipt(IdOf<format::BatchId>(3)), Receipt(3, 10, 12, 1, 3, 6));
  EXPECT_EQ(catalog->Stream(kMain, "orders"), (StreamEntry{IdOf<format::StreamId>(1), 6}));
  EXPECT_EQ(catalog->Stream(kFork, "orders"), (StreamEntry{IdOf<format::StreamId>(9), 0}));
  EXPECT_EQ(catalog->events().size(), 6u);
}

TEST(StreamCatalogRebuildTest, RepeatedEventIdNeedsIdenticalContent) {
  const Event first{.event = 9, .batch = 1, .extra = {{"user", "a"}}};
  Event same = first;
  same.position = same.revision = 1;
  same.batch = 2;
  same.extra.emplace(format::kIdempotencyKeyKey, "system keys may differ");
  Result<StreamCatalog> catalog = RebuildFrom({first, same});
  ASSERT_TRUE(catalog.ok()) << catalog.error().ToString();
  EXPECT_EQ(catalog->EventReceipt(IdOf<format::EventId>(9))->receipt.batch_id,
            IdOf<format::BatchId>(2));  // the later batch wins

  Event other_payload = same, other_user_value = same;
  other_payload.payload = "other";
  other_user_value.extra["user"] = "b";
  for (const Event& changed : {other_payload, other_user_value}) {
    Result<StreamCatalog> conflict = RebuildFrom({first, changed});
    ASSERT_FALSE(conflict.ok());
    EXPECT_EQ(conflict.error().kind(), error::Kind::kEventIdConflict);
  }
}

TEST(StreamCatalogRebuildTest, IdempotencyEntryNeedsAFourByteDigest) {
  Result<StreamCatalog> catalog = RebuildFrom({
      {.position = 0, .event = 1, .extra = IdempotencyMetadata("k", "\x01\x02\x03\x04")},
      {.position = 1, .revision = 1, .event = 2,
       .extra = IdempotencyMetadata("k", "\x01\x02\x03\x04")},
      {.position = 2, .revision = 2, .event = 3, .batch = 2,
       .extra = IdempotencyMetadata("3", "abc")},
      {.position = 3, .revision = 3, .event = 4, .batch = 3,
       .extra = {{std::string(format::kIdempotencyKeyKey), "no digest"}}},
  });
  ASSERT_TRUE(catalog.ok()) << catalog.error().ToString();
  EXPECT_EQ(catalog->Idempotent(kMain, "k"),  // holds the receipt of the whole batch
            (IdempotencyEntry{0x04030201, Receipt(1, 0, 1, 1, std::nullopt, 1)}));
  EXPECT_EQ(catalog->idempotency().size(), 1u);
}

TEST(StreamCatalogRebuildTest, ErrorsEndTheRebuild) {
  const std::pair<std::vector<Event>, std::string> cases[] = {
      {{{.position = 0, .stream = 1}, {.position = 7, .event = 2, .stream = 2}},
       "corrupt record at offset 7: stream name maps to multiple stream IDs"},
      {{{.position = 3, .name = "\xc0\xaf"}},
       "corrupt record at offset 3: stream name metadata is not UTF-8"},
      {{{.position = 4, .name = std::nullopt}},
       "corrupt record at offset 4: event is missing stream name metadata"},
  };
  for (const auto& [events, error] : cases) {
    Result<StreamCatalog> catalog = RebuildFrom(events);
    ASSERT_FALSE(catalog.ok()) << error;
    EXPECT_EQ(catalog.error().ToString(), error);
  }
  Result<StreamCatalog> catalog = RebuildFrom({Event{}}, CorvantineError::Corrupt(1, "torn"));
  ASSERT_FALSE(catalog.ok());
  EXPECT_EQ(catalog.error().ToString(), "corrupt record at offset 1: torn");
}

// Ids are stored a few events late; the first failing event still decides
// the error, whatever fails after it and however many events lie between.
TEST(StreamCatalogRebuildTest, AnEarlierIdConflictComesBeforeLaterErrors) {
  for (const int between : {0, 1, 15, 16, 40}) {
    std::vector<Event> events = {{.position = 0, .event = 200}};
    for (int i = 0; i < between; ++i) {
      const auto n = static_cast<uint8_t>(i + 1);
      events.push_back({.position = n, .revision = n, .event = n});
    }
    const auto at = static_cast<uint64_t>(between + 1);
    events.push_back({.position = at, .revision = at, .event = 200, .payload = "changed"});
    std::vector<Event> then_corrupt = events;
    then_corrupt.push_back({.position = at + 1, .name = std::nullopt, .event = 201});
    for (const auto& [later, source_error] :
         {std::pair(then_corrupt, std::optional<CorvantineError>()),
          std::pair(events, std::optional(CorvantineError::Corrupt(at + 1, "torn")))}) {
      Result<StreamCatalog> catalog = RebuildFrom(later, source_error);
      ASSERT_FALSE(catalog.ok()) << between;
      EXPECT_EQ(catalog.error().kind(), error::Kind::kEventIdConflict) << between;
    }
  }
}

TEST(StreamCatalogRebuildTest, FailedApplyLeavesTheCatalogUnchanged) {
  StreamCatalog catalog;
  ASSERT_TRUE(catalog.ApplyStoredEvent(Stored({})).ok());
  const StreamCatalog before = catalog;
  const Event failures[] = {
      {.position = 1, .revision = 1, .batch = 2, .payload = "changed"},
      {.position = 1, .revision = 1, .event = 2, .batch = 2, .stream = 3},
  };
  for (const Event& e : failures) {
    EXPECT_FALSE(catalog.ApplyStoredEvent(Stored(e)).ok());
    EXPECT_EQ(catalog, before);
  }
}

// A rebuilt catalog says what recording the same batches said, but for the
// durability, which the log does not keep.
TEST(StreamCatalogRebuildTest, AgreesWithRecordedBatches) {
  const format::Metadata key_a = IdempotencyMetadata("key-a", "\x04\x03\x02\x01");
  const std::vector<Event> log = {
      {.position = 0, .revision = 0, .event = 1, .batch = 1, .extra = key_a},
      {.position = 1, .revision = 1, .event = 2, .batch = 1, .extra = key_a},
      {.position = 2, .revision = 2, .event = 3, .batch = 2},
  };
  auto fingerprint = [&](int i) { return EventFingerprint(Stored(log[i])); };
  StreamCatalog recorded;
  const BatchEvent batch1[] = {{IdOf<format::EventId>(1), fingerprint(0)},
                               {IdOf<format::EventId>(2), fingerprint(1)}};
  recorded.RecordBatch(kMain, "orders", IdOf<format::StreamId>(1), batch1,
                       *IdempotencyKey::New("key-a"), 0x01020304,
                       Receipt(1, 0, 1, 1, std::nullopt, 1));
  const BatchEvent batch2[] = {{IdOf<format::EventId>(3), fingerprint(2)}};
  recorded.RecordBatch(kMain, "orders", IdOf<format::StreamId>(1), batch2, std::nullopt, 0,
                       Receipt(2, 2, 2, 1, 1, 2));
  EXPECT_EQ(*RebuildFrom(log), recorded);
}

}  // namespace
}  // namespace corvantine::stream
