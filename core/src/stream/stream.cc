#include "stream/stream.h"

#include <fmt/format.h>

#include "util/utf8.h"

namespace corvantine::stream {

Result<StreamName> StreamName::New(std::string text) {
  if (text.empty()) return CorvantineError::InvalidArgument("stream name must not be empty");
  if (text.size() > kMaxStreamNameBytes) {
    return CorvantineError::ResourceLimit("stream name bytes", text.size(), kMaxStreamNameBytes);
  }
  if (text.find('\0') != std::string::npos) {
    return CorvantineError::InvalidArgument("stream name must not contain NUL");
  }
  // A name that is not UTF-8 would be stored, and a rebuild would then find
  // the log corrupt.
  if (!util::IsValidUtf8(text)) {
    return CorvantineError::InvalidArgument("stream name must be valid UTF-8");
  }
  return StreamName(std::move(text));
}

Result<IdempotencyKey> IdempotencyKey::New(std::string bytes) {
  if (bytes.empty()) return CorvantineError::InvalidArgument("idempotency key must not be empty");
  if (bytes.size() > kMaxIdempotencyKeyBytes) {
    return CorvantineError::ResourceLimit("idempotency key bytes", bytes.size(),
                                          kMaxIdempotencyKeyBytes);
  }
  return IdempotencyKey(std::move(bytes));
}

bool ExpectedRevision::IsMetBy(std::optional<uint64_t> current) const {
  switch (kind_) {
    case Kind::kAny: return true;
    case Kind::kNoStream: return !current.has_value();
    case Kind::kExact: return current == revision_.value;
  }
  return false;
}

std::string ExpectedRevision::DebugString() const {
  switch (kind_) {
    case Kind::kAny: return "Any";
    case Kind::kNoStream: return "NoStream";
    case Kind::kExact: return fmt::format("Exact({})", revision_.DebugString());
  }
  return {};
}

std::string OptionalRevisionDebugString(std::optional<uint64_t> revision) {
  if (!revision) return "None";
  return fmt::format("Some({})", format::StreamRevision{*revision}.DebugString());
}

std::string_view ReceiptDurabilityName(ReceiptDurability durability) {
  switch (durability) {
    case ReceiptDurability::kBuffered: return "buffered";
    case ReceiptDurability::kFlushed: return "flushed";
    case ReceiptDurability::kSynced: return "synced";
  }
  return {};
}

}  // namespace corvantine::stream
