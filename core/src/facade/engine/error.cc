#include "facade/engine/error.h"

#include <fmt/format.h>

#include "facade/feed/feed_records.h"

namespace corvantine::facade {

namespace {

struct CodeAndKind {
  const char* code;
  ErrorKind kind;
};

// Indexed by error::Kind, in its declared order.
constexpr CodeAndKind kCoreKinds[error::kKindCount] = {
    {"invalid_argument", ErrorKind::kInvalidArgument},        // InvalidArgument
    {"io", ErrorKind::kIo},                                   // Io
    {"corruption", ErrorKind::kCorruption},                   // Corrupt
    {"offset_beyond_head", ErrorKind::kInvalidArgument},      // OffsetBeyondHead
    {kPositionUnavailableCode, ErrorKind::kInvalidArgument},  // PositionUnavailable
    {"corruption", ErrorKind::kCorruption},                   // Manifest
    {"unsupported_format", ErrorKind::kUnsupportedFormat},    // UnsupportedPayloadFormat
    {"unsupported_format", ErrorKind::kUnsupportedFormat},    // UnsupportedStorageFormat
    {"corruption", ErrorKind::kCorruption},                   // InvalidSegmentFileName
    {"conflict", ErrorKind::kConflict},                       // NamespaceExists
    {"locked", ErrorKind::kLocked},                           // Locked
    {"codec", ErrorKind::kCodec},                             // Serialization
    {"corruption", ErrorKind::kCorruption},                   // InvalidFormat
    {"codec", ErrorKind::kCodec},                             // Codec
    {"resource_limit", ErrorKind::kResourceLimit},            // ResourceLimit
    {"migration", ErrorKind::kInternal},                      // Migration
    {"migration", ErrorKind::kInternal},                      // MigrationIncomplete
    {"conflict", ErrorKind::kConflict},                       // RevisionConflict
    {"conflict", ErrorKind::kConflict},                       // EventIdConflict
    {"conflict", ErrorKind::kConflict},                       // IdempotencyConflict
    {"conflict", ErrorKind::kConflict},                       // BatchIdConflict
    {"not_found", ErrorKind::kNotFound},                      // BranchNotFound
    {"conflict", ErrorKind::kConflict},                       // BranchExists
    {"branch_archived", ErrorKind::kConflict},                // BranchArchived
    {"corruption", ErrorKind::kCorruption},                   // InvalidBranchAncestry
    {"invalid_argument", ErrorKind::kInvalidArgument},        // NotBatchBoundary
};

}  // namespace

EngineError EngineError::FromCore(const CorvantineError& error) {
  const CodeAndKind& mapped = kCoreKinds[error.kind_index()];
  return EngineError(error.ToString(), mapped.code, mapped.kind);
}

EngineError EngineError::Closed() {
  return EngineError("engine handle is closed", "engine_closed", ErrorKind::kCancelled);
}

EngineError EngineError::Invalid(std::string message) {
  return EngineError(std::move(message), "invalid_argument", ErrorKind::kInvalidArgument);
}

EngineError EngineError::Internal(std::string message) {
  return EngineError(std::move(message), "internal", ErrorKind::kInternal);
}

EngineError EngineError::LimitExceeded(std::string_view what, uint64_t actual, uint64_t maximum) {
  return EngineError(fmt::format("{} is {}, maximum is {}", what, actual, maximum),
                     "resource_limit", ErrorKind::kResourceLimit);
}

EngineError EngineError::HandleNotFound(std::string_view what) {
  return EngineError(fmt::format("{} handle was not found", what), "not_found",
                     ErrorKind::kNotFound);
}

EngineError EngineError::Cancelled(std::string message) {
  return EngineError(std::move(message), "cancelled", ErrorKind::kCancelled);
}

EngineError EngineError::InvalidJson(std::string message) {
  return EngineError(std::move(message), "invalid_json", ErrorKind::kCodec);
}

std::string EngineError::ToString() const { return fmt::format("{}: {}", code_, message_); }

void EngineError::AttachBootstrap(FeedBootstrapDescriptor descriptor) {
  bootstrap_ = std::make_shared<const FeedBootstrapDescriptor>(std::move(descriptor));
}

}  // namespace corvantine::facade
