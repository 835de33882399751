// The error of every snapshot operation. It carries the engine's code
// (error/engine_code.h) itself, so that the engine hands it on unchanged:
//
//   code                 raised for
//   "snapshot_corrupt"   a snapshot file that fails a check
//   "snapshot_internal"  an invalid id; a manifest that cannot be written
//   "io"                 a failed file-system call
//   "resource_limit"     state or manifest above its limit
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "error/engine_code.h"
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
  error::EngineCode engine_code() const { return code_; }
  std::string_view code() const { return code_.text; }
  uint8_t kind_number() const { return static_cast<uint8_t>(code_.kind); }
  // A file-system call failed on a file that is there and may well be
  // sound: unlike a damaged or missing file, it cannot be taken for "no
  // snapshot", and trying again may succeed.
  bool IsUnreadable() const { return code_.kind == error::ErrorKind::kIo && !missing_file_; }

  // "{code}: {message}", as the engine displays it.
  std::string ToString() const;

  friend bool operator==(const SnapshotError& a, const SnapshotError& b) {
    return a.message_ == b.message_ && a.code() == b.code() && a.kind_number() == b.kind_number();
  }

 private:
  SnapshotError(std::string message, error::EngineCode code, bool missing_file = false)
      : message_(std::move(message)), code_(code), missing_file_(missing_file) {}

  std::string message_;
  error::EngineCode code_;
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
