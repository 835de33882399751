// The vocabulary of an append: validated stream names and idempotency keys,
// the expected-revision condition, the events and request a caller submits,
// and the receipt an append returns and the catalog keeps for retries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "format/event_type.h"
#include "format/ids.h"
#include "format/metadata.h"
#include "format/revision.h"
#include "util/coding.h"

namespace corvantine::stream {

inline constexpr size_t kMaxStreamNameBytes = 1024;
inline constexpr size_t kMaxIdempotencyKeyBytes = 1024;

// A stream (the API's "namespace"): 1 to 1024 bytes of UTF-8 without NUL.
class StreamName {
 public:
  // Checks, in order: empty -> InvalidArgument "stream name must not be
  // empty"; over 1024 bytes -> ResourceLimit "stream name bytes"; a NUL byte
  // -> InvalidArgument "stream name must not contain NUL"; invalid UTF-8 ->
  // InvalidArgument "stream name must be valid UTF-8".
  static Result<StreamName> New(std::string text);

  const std::string& str() const { return text_; }

  friend bool operator==(const StreamName&, const StreamName&) = default;

 private:
  explicit StreamName(std::string text) : text_(std::move(text)) {}

  std::string text_;
};

// The retry key of a request: 1 to 1024 arbitrary bytes (NUL allowed).
class IdempotencyKey {
 public:
  // Checks, in order: empty -> InvalidArgument "idempotency key must not be
  // empty"; over 1024 bytes -> ResourceLimit "idempotency key bytes".
  static Result<IdempotencyKey> New(std::string bytes);

  const std::string& bytes() const { return bytes_; }
  // Gives the bytes up, so a catalog can keep them without a copy.
  std::string Release() && { return std::move(bytes_); }

  friend bool operator==(const IdempotencyKey&, const IdempotencyKey&) = default;

 private:
  explicit IdempotencyKey(std::string bytes) : bytes_(std::move(bytes)) {}

  std::string bytes_;
};

// The condition an append places on the stream's current revision.
class ExpectedRevision {
 public:
  enum class Kind : uint8_t { kAny, kNoStream, kExact };

  ExpectedRevision() = default;  // Any
  static ExpectedRevision Any() { return ExpectedRevision(); }
  static ExpectedRevision NoStream() { return ExpectedRevision(Kind::kNoStream, {}); }
  static ExpectedRevision Exact(format::StreamRevision revision) {
    return ExpectedRevision(Kind::kExact, revision);
  }

  Kind kind() const { return kind_; }
  // Meaningful only for kExact.
  format::StreamRevision revision() const { return revision_; }

  // Whether a stream whose last event has revision `current` (nothing for a
  // stream without events on the branch) meets the condition.
  bool IsMetBy(std::optional<uint64_t> current) const;

  // "Any", "NoStream" or "Exact(StreamRevision(7))". Request digests and
  // revision-conflict messages contain this text: it must never change.
  std::string DebugString() const;

  friend bool operator==(const ExpectedRevision&, const ExpectedRevision&) = default;

 private:
  ExpectedRevision(Kind kind, format::StreamRevision revision)
      : kind_(kind), revision_(revision) {}

  Kind kind_ = Kind::kAny;
  format::StreamRevision revision_;
};

// "None" for a stream without events, else "Some(StreamRevision(6))": the
// actual side of a revision-conflict message.
std::string OptionalRevisionDebugString(std::optional<uint64_t> revision);

// What an append reached. The encoding stores the variant index.
enum class ReceiptDurability : uint8_t { kBuffered = 0, kFlushed = 1, kSynced = 2 };
inline constexpr uint32_t kReceiptDurabilityCount = 3;

// "buffered", "flushed" or "synced", as users see it.
std::string_view ReceiptDurabilityName(ReceiptDurability durability);

// The result of one append, kept so that a retry can return it unchanged.
struct AppendReceipt {
  format::BatchId batch_id;
  uint64_t first_position = 0;  // log position of the batch's first event
  uint64_t last_position = 0;   // log position of the batch's last event
  format::StreamId stream_id;
  std::optional<uint64_t> previous_revision;  // nothing for a new stream
  format::StreamRevision current_revision;    // of the batch's last event
  ReceiptDurability durability = ReceiptDurability::kBuffered;

  // Field by field in the order above; the previous revision as an optional
  // value and the durability as a u32 variant index.
  void Encode(util::BinaryWriter& writer) const;
  static Result<AppendReceipt> Decode(util::BinaryReader& reader);

  friend bool operator==(const AppendReceipt&, const AppendReceipt&) = default;
};

// One event to append, before the log assigns its position.
struct NewEvent {
  format::EventType event_type;
  std::string payload;  // the encoded event body record, stored as is
  format::Metadata metadata;
  uint32_t schema_version = 1;
  std::optional<format::EventId> event_id;  // nothing: a fresh id is made
};

// What an append asks for. kSync commits before the append returns; kBuffered
// and kFlush commit only when the commit policy says so, and differ only in
// the receipt of an append that did not commit ("buffered" or "flushed").
enum class RequestDurability : uint8_t { kBuffered = 0, kFlush = 1, kSync = 2 };

// One atomic batch of events for one stream on one branch.
struct AppendRequest {
  ExpectedRevision expected_revision;
  StreamName stream;
  std::vector<NewEvent> events;
  std::optional<IdempotencyKey> idempotency_key;
  format::BranchId branch_id;
  RequestDurability durability = RequestDurability::kBuffered;
};

}  // namespace corvantine::stream
