#include "snapshot/error.h"

#include <fmt/format.h>

#include <cerrno>

namespace corvantine::snapshot {

SnapshotError SnapshotError::Corrupt(std::string message) {
  return SnapshotError(std::move(message), error::code::kSnapshotCorrupt);
}

SnapshotError SnapshotError::Internal(std::string message) {
  return SnapshotError(std::move(message), error::code::kSnapshotInternal);
}

SnapshotError SnapshotError::Io(const CorvantineError& error) {
  // The platform fails only with Io errors; anything else keeps its whole text.
  std::string text =
      error.kind() == error::Kind::kIo ? error.Detail() : error.ToString();
  return SnapshotError(std::move(text), error::code::kIo, error.IsOsError(ENOENT));
}

SnapshotError SnapshotError::LimitExceeded(std::string_view what, uint64_t actual,
                                           uint64_t maximum) {
  return SnapshotError(fmt::format("{} is {}, maximum is {}", what, actual, maximum),
                       error::code::kResourceLimit);
}

std::string SnapshotError::ToString() const { return fmt::format("{}: {}", code_.text, message_); }

}  // namespace corvantine::snapshot
