// The records the engine exchanges with its callers. Every stored event body
// is an EngineEvent; everything a reply carries is owned, so nothing
// borrowed from the sequencer's state crosses a reply channel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "branch/branch.h"
#include "facade/engine/error.h"
#include "format/frame.h"
#include "format/ids.h"
#include "format/metadata.h"
#include "stream/stream.h"

namespace corvantine::facade {

// What the records carry of the layers below, under the engine's names:
// callers need nothing else of them.
using branch::BranchMetadata;
using branch::BranchStatus;
using format::BatchId;
using format::BranchId;
using format::EventId;
using format::IdBytesFromHex;
using format::Metadata;
using format::StreamId;
using format::StreamRevision;
using stream::ExpectedRevision;
using stream::ReceiptDurability;
using stream::ReceiptDurabilityName;
using stream::RequestDurability;

// How an event body is read. A JSON body is checked on append.
enum class EventCodec : uint32_t { kBytes = 0, kJson = 1 };

// The stored form of an event body, the payload of every event frame:
//
//   offset  size  field
//   0       4     codec, u32 little-endian (0 bytes, 1 JSON)
//   4       8     body length n, u64 little-endian
//   12      n     body
//
// Bytes after the body are ignored when reading.
inline constexpr size_t kEngineEventHeaderBytes = 12;

// Takes the body over: when its buffer has room for the header, the stored
// form is made in place, without allocating.
std::string EncodeEngineEvent(EventCodec codec, std::string body);

// One JSON value nested at most 128 deep, as every JSON the engine stores
// must be; else "invalid_json" with the parser's message.
EngineResult<> CheckJsonValue(std::string_view json);

struct EngineEvent {
  EventCodec codec = EventCodec::kJson;
  std::string bytes;

  // Reads the stored form, reusing `payload`'s buffer for the body. A codec
  // other than 0 or 1, or too few bytes, fails with the binary reader's Codec
  // error.
  static Result<EngineEvent> Decode(std::string payload);
};

// One event handed to an append.
struct EventData {
  std::string event_type{format::EventType::kDefault};
  std::string body;  // spare capacity of kEngineEventHeaderBytes spares a copy
  format::Metadata metadata;
  uint32_t schema_version = 1;
  std::optional<format::EventId> event_id;  // nothing: the database makes one
  EventCodec codec = EventCodec::kJson;
  // For a JSON body made by a serializer that writes only well-formed JSON
  // (valid UTF-8, numbers a reader takes): how deeply its arrays and objects
  // nest. The engine then reads the body only when that exceeds its nesting
  // limit; nothing: it reads every JSON body.
  std::optional<uint32_t> well_formed_depth;

  // A JSON event of the default type, schema version 1, without metadata.
  static EventData Json(std::string body);
  // An event of `event_type` and otherwise as default-made, without making
  // the default type first.
  static EventData OfType(std::string event_type);
};

// One batch of events for one stream on one branch.
struct AppendBatch {
  stream::ExpectedRevision expected_revision;
  std::string stream;
  std::vector<EventData> events;
  std::optional<std::string> idempotency_key;
  format::BranchId branch;  // all zero: the default branch
  RequestDurability durability = RequestDurability::kBuffered;
};

using AppendReceiptDto = stream::AppendReceipt;
using BranchDto = branch::BranchInfo;

// One stored event as callers see it.
struct RecordDto {
  std::string event_type;
  std::string body;
  format::DatabaseId database_id;
  format::BatchId batch_id;
  uint64_t position = 0;
  int64_t timestamp = 0;  // nanoseconds since the Unix epoch
  format::EventId event_id;
  format::BranchId branch_id;
  format::StreamId stream_id;
  uint64_t stream_revision = 0;
  format::Metadata metadata;  // system keys included
  uint32_t batch_index = 0;
  uint32_t schema_version = 0;
  EventCodec codec = EventCodec::kJson;

  // The name of the stream the event was appended to, from its system
  // metadata; nothing when the record carries none.
  std::optional<std::string_view> stream_name() const;
};

// The record's body decoded, its envelope taken over. A payload that is not
// an EngineEvent fails with code "codec" and the reader's message.
EngineResult<RecordDto> MakeRecordDto(format::OwnedStoredRecord record);

// Numbers of one engine's counter, shared with feeds and queries: from 1,
// never reused while the engine runs.
using ReaderHandle = uint64_t;

// The limits of one page of a reader, and the page size of callers that
// let their users leave it out.
inline constexpr uint32_t kMaxPageEvents = 4096;
inline constexpr uint64_t kMaxPageBytes = 16 << 20;
inline constexpr uint32_t kDefaultPageEvents = 256;
inline constexpr uint64_t kDefaultPageBytes = 1 << 20;

// A paged read of one branch's history.
struct ReaderRequest {
  format::BranchId branch;
  std::optional<std::string> stream;  // only events of this stream
  std::optional<uint64_t> start;  // nothing: the retention floor when opened
  std::optional<uint64_t> end;    // exclusive; nothing: the head when opened
  uint64_t page_bytes = 0;      // 1 to kMaxPageBytes
  uint32_t page_events = 0;     // 1 to kMaxPageEvents
};

struct ReplayPage {
  std::vector<RecordDto> records;
  uint64_t continuation = 0;  // where the next page starts
  bool done = false;          // the continuation has reached the reader's end
};

// Two branches to compare, each up to its end (nothing: the head), with the
// stream filter and page limits that the diff's reader requests carry.
struct DiffRequest {
  format::BranchId left_branch;
  std::optional<uint64_t> left_until;
  format::BranchId right_branch;
  std::optional<uint64_t> right_until;
  std::optional<std::string> stream;
  uint64_t page_bytes = 0;
  uint32_t page_events = 0;
};

struct DiffSideDto {
  BranchDto branch;
  ReaderRequest reader;  // the side's own history, from the divergence to `until`
  uint64_t until = 0;
};

struct DiffDto {
  BranchDto common_ancestor;
  ReaderRequest shared;  // the common history, from the retention floor to the divergence
  DiffSideDto left;
  DiffSideDto right;
  uint64_t divergence = 0;
};

}  // namespace corvantine::facade
