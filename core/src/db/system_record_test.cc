// The engine's standalone system records, written and committed by the
// database.
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "db/test_util.h"
#include "format/frame.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/coding.h"

namespace corvantine::db {
namespace {

using namespace testing;

constexpr char kType[] = "corvantine.consumer.checkpoint";

std::vector<format::OwnedStoredRecord> StoredSystemRecords(const Corvantine& db) {
  std::vector<format::OwnedStoredRecord> records;
  log::StoredLogIter stored = LogOf(db).SystemRecords();
  while (std::optional<Result<format::OwnedStoredRecord>> next = stored.Next()) {
    records.push_back(std::move(next->value()));
  }
  return records;
}

TEST(SystemRecordTest, TakesNoPositionAndMakesEarlierEventsDurable) {
  TempDir dir;
  std::unique_ptr<Corvantine> db = OpenDb(dir.path());
  ASSERT_EQ(Outcome(AppendOne(*db, "orders", "{}")), "ok");
  ASSERT_EQ(Outcome(AppendOne(*db, "orders", "{}")), "ok");
  ASSERT_EQ(db->durable_head(), 0u);

  ASSERT_EQ(Outcome(db->AppendSystemRecord(kType, "payload")), "ok");
  EXPECT_EQ(LogOf(*db).head(), 2u);
  EXPECT_EQ(db->durable_head(), 2u);
  const Result<stream::AppendReceipt> next = AppendOne(*db, "orders", "{}");
  ASSERT_EQ(Outcome(next), "ok");
  EXPECT_EQ(next->first_position, 2u);
}

TEST(SystemRecordTest, EnvelopeNamesOnlyTheDatabaseTypeAndId) {
  TempDir dir;
  std::unique_ptr<Corvantine> db = OpenDb(dir.path());
  ASSERT_EQ(Outcome(AppendOne(*db, "orders", "{}")), "ok");
  const uint64_t before = format::UnixNanos(std::chrono::system_clock::now());
  ASSERT_EQ(Outcome(db->AppendSystemRecord(kType, "payload")), "ok");
  const uint64_t after = format::UnixNanos(std::chrono::system_clock::now());

  const std::vector<format::OwnedStoredRecord> records = StoredSystemRecords(*db);
  ASSERT_EQ(records.size(), 1u);
  const format::OwnedStoredRecord& record = records[0];
  EXPECT_EQ(record.kind, format::kSystemRecordFrame);
  EXPECT_EQ(record.position, 1u);  // framed at the head
  EXPECT_EQ(record.payload, "payload");
  const format::RecordEnvelopeV2& envelope = record.envelope;
  EXPECT_EQ(envelope.event_type.str(), kType);
  EXPECT_EQ(envelope.database_id, LogOf(*db).database_id());
  EXPECT_EQ(envelope.branch_id, format::BranchId());
  EXPECT_EQ(envelope.stream_id, format::StreamId());
  EXPECT_EQ(envelope.stream_revision.value, 0u);
  EXPECT_EQ(envelope.timestamp_unix_nanos, 0);
  EXPECT_EQ(envelope.schema_version, 1u);
  EXPECT_EQ(envelope.payload_format, 1u);
  EXPECT_EQ(envelope.batch_id.bytes(), envelope.event_id.bytes());
  EXPECT_EQ(envelope.batch_index, 0u);
  EXPECT_TRUE(envelope.metadata.empty());
  const auto* id = reinterpret_cast<const char*>(envelope.event_id.bytes().data());
  EXPECT_GE(util::DecodeFixed64(id), before);
  EXPECT_LE(util::DecodeFixed64(id), after);
  EXPECT_EQ(util::DecodeFixed64(id + 8) >> 32, platform::ProcessId());

  db.reset();
  db = OpenDb(dir.path());
  const std::vector<retention::AnchoredSystemRecord> replayed = db->SystemMetadata().value();
  EXPECT_EQ(replayed, (std::vector<retention::AnchoredSystemRecord>{{kType, "payload"}}));
}

TEST(SystemRecordTest, AnInvalidEventTypeWritesNothing) {
  TempDir dir;
  std::unique_ptr<Corvantine> db = OpenDb(dir.path());
  const uint64_t length = LogOf(*db).active_segment().byte_length();
  EXPECT_EQ(Outcome(db->AppendSystemRecord("", "x")),
            "invalid format: event type must not be empty");
  EXPECT_EQ(Outcome(db->AppendSystemRecord(std::string("a\0b", 3), "x")),
            "invalid format: event type must not contain NUL");
  EXPECT_EQ(LogOf(*db).active_segment().byte_length(), length);
}

TEST(SystemRecordTest, AFailedFlushLeavesTheDurableHead) {
  TempDir dir;
  std::unique_ptr<Corvantine> db = OpenDb(dir.path());
  ASSERT_EQ(Outcome(AppendOne(*db, "orders", "{}")), "ok");
  ScopedFault fault(Op::kSync, 1, Fault::Error(EIO), ".seg");
  EXPECT_EQ(Outcome(db->AppendSystemRecord(kType, "x")), "io: Input/output error (os error 5)");
  EXPECT_EQ(db->durable_head(), 0u);
}

// The record is durable once flushed; the catalog checkpoint is derived
// data, rebuilt from the log when it is missing.
TEST(SystemRecordTest, AFailedCheckpointWriteOnlyWarns) {
  TempDir dir;
  std::unique_ptr<Corvantine> db = OpenDb(dir.path());
  ASSERT_EQ(Outcome(AppendOne(*db, "orders", "{}")), "ok");
  ScopedFault fault(Op::kOpen, 1, Fault::Error(ENOSPC).Persistent(), kCoreCatalogTempName);
  ASSERT_EQ(Outcome(db->AppendSystemRecord(kType, std::string(64 << 10, 'x'))), "ok");
  EXPECT_GT(fault.hits(), 0u);
  EXPECT_EQ(db->durable_head(), 1u);
}

}  // namespace
}  // namespace corvantine::db
