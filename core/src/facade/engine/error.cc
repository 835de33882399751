#include "facade/engine/error.h"

#include <fmt/format.h>

namespace corvantine::facade {

namespace {

// Indexed by error::Kind, in its declared order.
constexpr EngineCode kCoreCodes[error::kKindCount] = {
    code::kInvalidArgument,      // InvalidArgument
    code::kIo,                   // Io
    code::kCorruption,           // Corrupt
    code::kOffsetBeyondHead,     // OffsetBeyondHead
    code::kPositionUnavailable,  // PositionUnavailable
    code::kCorruption,           // Manifest
    code::kUnsupportedFormat,    // UnsupportedPayloadFormat
    code::kUnsupportedFormat,    // UnsupportedStorageFormat
    code::kCorruption,           // InvalidSegmentFileName
    code::kConflict,             // NamespaceExists
    code::kLocked,               // Locked
    code::kCodec,                // Serialization
    code::kCorruption,           // InvalidFormat
    code::kCodec,                // Codec
    code::kResourceLimit,        // ResourceLimit
    code::kMigration,            // Migration
    code::kMigration,            // MigrationIncomplete
    code::kConflict,             // RevisionConflict
    code::kConflict,             // EventIdConflict
    code::kConflict,             // IdempotencyConflict
    code::kConflict,             // BatchIdConflict
    code::kNotFound,             // BranchNotFound
    code::kConflict,             // BranchExists
    code::kBranchArchived,       // BranchArchived
    code::kCorruption,           // InvalidBranchAncestry
    code::kInvalidArgument,      // NotBatchBoundary
};

}  // namespace

EngineError EngineError::FromCore(const CorvantineError& error) {
  return EngineError(error.ToString(), kCoreCodes[error.kind_index()]);
}

EngineError EngineError::Closed() {
  return EngineError("engine handle is closed", code::kEngineClosed);
}

EngineError EngineError::Invalid(std::string message) {
  return EngineError(std::move(message), code::kInvalidArgument);
}

EngineError EngineError::Internal(std::string message) {
  return EngineError(std::move(message), code::kInternal);
}

EngineError EngineError::LimitExceeded(std::string_view what, uint64_t actual, uint64_t maximum) {
  return EngineError(fmt::format("{} is {}, maximum is {}", what, actual, maximum),
                     code::kResourceLimit);
}

EngineError EngineError::HandleNotFound(std::string_view what) {
  return EngineError(fmt::format("{} handle was not found", what), code::kNotFound);
}

EngineError EngineError::Cancelled(std::string message) {
  return EngineError(std::move(message), code::kCancelled);
}

EngineError EngineError::InvalidJson(std::string message) {
  return EngineError(std::move(message), code::kInvalidJson);
}

std::string EngineError::ToString() const { return fmt::format("{}: {}", code_.text, message_); }

}  // namespace corvantine::facade
