#include "snapshot/error.h"

#include <fmt/format.h>

#include <cerrno>

namespace corvantine::snapshot {

SnapshotError SnapshotError::Corrupt(std::string message) {
  return SnapshotError(std::move(message), "snapshot_corrupt", 4);
}

SnapshotError SnapshotError::Internal(std::string message) {
  return SnapshotError(std::move(message), "snapshot_internal", 10);
}

SnapshotError SnapshotError::Io(const CorvantineError& error) {
  // The platform fails only with Io errors; anything else keeps its whole text.
  std::string text =
      error.kind() == error::Kind::kIo ? error.Detail() : error.ToString();
  return SnapshotError(std::move(text), "io", 7, error.IsOsError(ENOENT));
}

SnapshotError SnapshotError::LimitExceeded(std::string_view what, uint64_t actual,
                                           uint64_t maximum) {
  return SnapshotError(fmt::format("{} is {}, maximum is {}", what, actual, maximum),
                       "resource_limit", 9);
}

std::string SnapshotError::ToString() const { return fmt::format("{}: {}", code_, message_); }

}  // namespace corvantine::snapshot
