// The error of every snapshot operation. It carries the engine's stable code
// and kind number itself, so that the engine hands it on unchanged:
//
//   code                 kind  raised for
//   "snapshot_corrupt"   4     a snapshot file that fails a check
//   "snapshot_internal"  10    an invalid id; a manifest that cannot be written
//   "io"                 7     a failed file-system call
//   "resource_limit"     9     state or manifest above its limit
//
// The kind numbers are those of the engine's error kinds (Corruption,
// Internal, Io, ResourceLimit).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "error/error.h"
#include "error/result.h"

namespace corvantine::snapshot {

class SnapshotError {
 public:
  static SnapshotError Corrupt(std::string message);
  static SnapshotError Internal(std::string message);
  // A platform failure: its OS text, e.g. "No such file or directory (os error 2)".
  static SnapshotError Io(const CorvantineError& error);
  // "{what} is {actual}, maximum is {maximum}".
  static SnapshotError LimitExceeded(std::string_view what, uint64_t actual, uint64_t maximum);

  const std::string& message() const { return message_; }
  std::string_view code() const { return code_; }
  uint8_t kind_number() const { return kind_; }
  // A file-system call failed on a file that is there and may well be
  // sound: unlike a damaged or missing file, it cannot be taken for "no
  // snapshot", and trying again may succeed.
  bool IsUnreadable() const { return kind_ == 7 && !missing_file_; }

  // "{code}: {message}", as the engine displays it.
  std::string ToString() const;

  friend bool operator==(const SnapshotError& a, const SnapshotError& b) {
    return a.message_ == b.message_ && a.code() == b.code() && a.kind_ == b.kind_;
  }

 private:
  SnapshotError(std::string message, const char* code, uint8_t kind, bool missing_file = false)
      : message_(std::move(message)), code_(code), kind_(kind), missing_file_(missing_file) {}

  std::string message_;
  const char* code_;
  uint8_t kind_;
  bool missing_file_;  // an Io error of a file that does not exist
};

template <typename T = void>
using SnapshotResult = error::Expected<T, SnapshotError>;

// A platform result with its error turned into SnapshotError::Io.
template <typename T>
SnapshotResult<T> Io(Result<T> result) {
  if (!result.ok()) return SnapshotError::Io(result.error());
  return std::move(result).value();
}
inline SnapshotResult<> Io(Result<> result) {
  if (!result.ok()) return SnapshotError::Io(result.error());
  return {};
}

}  // namespace corvantine::snapshot
