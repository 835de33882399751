// Helpers for the tests of the database and of the suites built on it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "platform/platform.h"
#include "retention/anchor.h"
#include "stream/catalog.h"
#include "stream/stream.h"
#include "testing/test_util.h"

namespace corvantine::db::testing {

// A test that takes these helpers in with `using namespace testing;` gets
// those of the platform too: temporary directories, outcomes and faults.
using namespace platform::testing;

// The log underneath a database, which only tests reach past it.
struct LogAccess {
  static log::Log& Of(Corvantine& db) { return *db.log_; }
  static const log::Log& Of(const Corvantine& db) { return *db.log_; }
};
inline log::Log& LogOf(Corvantine& db) { return LogAccess::Of(db); }
inline const log::Log& LogOf(const Corvantine& db) { return LogAccess::Of(db); }

inline stream::NewEvent Event(std::string payload, std::optional<format::EventId> id = {},
                              format::Metadata metadata = {}) {
  stream::NewEvent event;
  event.payload = std::move(payload);
  event.event_id = id;
  event.metadata = std::move(metadata);
  return event;
}

inline format::EventId EventIdOf(uint8_t n) {
  format::IdBytes bytes{};
  bytes[15] = n;
  bytes[0] = 0xe1;
  return format::EventId(bytes);
}

struct RequestDraft {
  std::string stream = "orders";
  std::vector<stream::NewEvent> events;
  std::optional<std::string> key;
  stream::ExpectedRevision expected;
  format::BranchId branch;
  stream::RequestDurability durability = stream::RequestDurability::kBuffered;
};

inline stream::AppendRequest Request(RequestDraft draft) {
  std::optional<stream::IdempotencyKey> key;
  if (draft.key) key = stream::IdempotencyKey::New(*draft.key).value();
  return stream::AppendRequest{draft.expected,
                               stream::StreamName::New(draft.stream).value(),
                               std::move(draft.events),
                               std::move(key),
                               draft.branch,
                               draft.durability};
}

// One event with payload `payload` appended to `stream`, buffered.
inline Result<stream::AppendReceipt> AppendOne(
    Corvantine& db, std::string stream, std::string payload,
    stream::RequestDurability durability = stream::RequestDurability::kBuffered) {
  RequestDraft draft;
  draft.stream = std::move(stream);
  draft.events.push_back(Event(std::move(payload)));
  draft.durability = durability;
  return db.AppendBatchWithId(Request(std::move(draft)), std::nullopt);
}

inline std::unique_ptr<Corvantine> OpenDb(const std::string& dir, CommitPolicy policy = {},
                                          std::optional<uint64_t> max_segment_bytes = {},
                                          Options options = {}) {
  Result<std::unique_ptr<Corvantine>> db =
      Corvantine::OpenInternal(dir, policy, max_segment_bytes, std::move(options));
  if (!db.ok()) {
    ADD_FAILURE() << "open failed: " << db.error().ToString();
    return nullptr;
  }
  return std::move(db).value();
}

// The core catalog checkpoint of the database in `dir`.
inline std::string CheckpointPath(const std::string& dir) {
  return platform::JoinPath(dir, kCoreCatalogFileName);
}

// The head the checkpoint was written at; the checkpoint must decode.
inline uint64_t CheckpointHead(const std::string& dir) {
  return CoreCatalogCheckpoint::Decode(platform::ReadFile(CheckpointPath(dir)).value())
      .value()
      .head;
}

// The anchor of `db` at its durable head, as the retention code captures it.
inline retention::CoreRetentionAnchor AnchorOf(const Corvantine& db, uint64_t floor) {
  retention::CoreRetentionAnchor anchor;
  anchor.database_id = LogOf(db).database_id();
  anchor.floor = floor;
  anchor.head = db.durable_head();
  anchor.stream_catalog = db.stream_catalog();
  anchor.branch_catalog = db.branch_catalog();
  const std::vector<retention::AnchoredSystemRecord> records = db.SystemMetadata().value();
  for (const retention::AnchoredSystemRecord& record : records) {
    anchor.system_records.push_back({record.event_type, record.payload});
  }
  return anchor;
}

// Every record a reader hands out; an error fails the test.
inline std::vector<format::OwnedStoredRecord> Drain(log::reader::LogReader reader) {
  std::vector<format::OwnedStoredRecord> records;
  for (;;) {
    Result<std::optional<format::OwnedStoredRecord>> next = reader.NextOwned();
    if (!next.ok()) {
      ADD_FAILURE() << "read failed: " << next.error().ToString();
      return records;
    }
    if (!*next) return records;
    records.push_back(std::move(**next));
  }
}

// The stream catalog rebuilt from every event of the log.
inline stream::StreamCatalog RebuiltCatalog(const log::Log& log) {
  log::reader::LogReader reader = log.PlanReader(log::reader::ResolvedFilter{});
  Result<stream::StreamCatalog> catalog = stream::StreamCatalog::Rebuild(reader);
  if (!catalog.ok()) ADD_FAILURE() << "rebuild failed: " << catalog.error().ToString();
  return catalog.ok() ? std::move(catalog).value() : stream::StreamCatalog();
}

// Catalog equality up to the durability of receipts, which the log does not
// record: a catalog rebuilt from the log says buffered where an append said
// synced.
inline ::testing::AssertionResult SameIgnoringDurability(const stream::StreamCatalog& a,
                                                         const stream::StreamCatalog& b) {
  auto same_receipt = [](stream::AppendReceipt x, stream::AppendReceipt y) {
    x.durability = y.durability;
    return x == y;
  };
  if (a.streams() != b.streams()) return ::testing::AssertionFailure() << "streams differ";
  if (a.events().size() != b.events().size()) {
    return ::testing::AssertionFailure() << "event counts differ";
  }
  for (const auto& [event_id, slot] : a.events()) {
    if (a.Event(event_id) != b.Event(event_id)) {
      return ::testing::AssertionFailure() << "event " << event_id.ToHex() << " differs";
    }
  }
  if (a.ReceiptCount() != b.ReceiptCount()) {
    return ::testing::AssertionFailure() << "receipt counts differ";
  }
  std::optional<format::BatchId> differing;
  a.ForEachReceipt([&](const format::BatchId& batch, const stream::AppendReceipt& receipt) {
    std::optional<stream::AppendReceipt> other = b.BatchReceipt(batch);
    if (!differing && (!other || !same_receipt(receipt, *other))) differing = batch;
  });
  if (differing) {
    return ::testing::AssertionFailure() << "receipt of batch " << differing->ToHex() << " differs";
  }
  if (a.idempotency().size() != b.idempotency().size()) {
    return ::testing::AssertionFailure() << "idempotency counts differ";
  }
  for (const auto& [key, entry] : a.idempotency()) {
    auto other = b.idempotency().find(key);
    if (other == b.idempotency().end() || other->second.request_digest != entry.request_digest ||
        !same_receipt(entry.receipt, other->second.receipt)) {
      return ::testing::AssertionFailure() << "idempotency entry differs";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace corvantine::db::testing
