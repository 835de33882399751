// The one error type of the storage library: 26 kinds, each with fixed fields
// and a fixed display text. Engine codes and Python exceptions are derived
// from the kind number, and the display text reaches users word for word.
#pragma once

#include <cstdint>
#include <string>

#include "error/result.h"

namespace corvantine::error {

// A file-system error as the platform reports it. An OS error displays as
// "{strerror text} (os error {errno})"; a custom error displays its text.
struct IoError {
  int os_code = 0;      // errno; 0 for a custom error
  std::string message;  // the custom text when os_code == 0

  static IoError FromErrno(int code);
  // A write that transferred no bytes where some were due.
  static IoError WriteZero();
  // A read that ended before the buffer was filled.
  static IoError UnexpectedEof();
  static IoError Custom(std::string text);

  std::string ToString() const;
  bool operator==(const IoError&) const = default;
};

// Numbered in declared order; the number indexes the engine's code table.
enum class Kind : uint8_t {
  kInvalidArgument = 0,
  kIo = 1,
  kCorrupt = 2,
  kOffsetBeyondHead = 3,
  kPositionUnavailable = 4,
  kManifest = 5,
  kUnsupportedPayloadFormat = 6,
  kUnsupportedStorageFormat = 7,
  kInvalidSegmentFileName = 8,
  kNamespaceExists = 9,
  kLocked = 10,
  kSerialization = 11,
  kInvalidFormat = 12,
  kCodec = 13,
  kResourceLimit = 14,
  kMigration = 15,
  kMigrationIncomplete = 16,
  kRevisionConflict = 17,
  kEventIdConflict = 18,
  kIdempotencyConflict = 19,
  kBatchIdConflict = 20,
  kBranchNotFound = 21,
  kBranchExists = 22,
  kBranchArchived = 23,
  kInvalidBranchAncestry = 24,
  kNotBatchBoundary = 25,
};

inline constexpr int kKindCount = 26;

class CorvantineError {
 public:
  static CorvantineError InvalidArgument(std::string message);
  static CorvantineError Io(IoError error);
  static CorvantineError IoFromErrno(int code);
  static CorvantineError Corrupt(uint64_t offset, std::string message);
  static CorvantineError OffsetBeyondHead(uint64_t offset);
  static CorvantineError PositionUnavailable(uint64_t position, uint64_t floor, uint64_t head);
  static CorvantineError Manifest(std::string message);
  static CorvantineError UnsupportedPayloadFormat(uint32_t found, uint32_t supported);
  static CorvantineError UnsupportedStorageFormat(uint32_t found, uint32_t written);
  static CorvantineError InvalidSegmentFileName(std::string name);
  static CorvantineError NamespaceExists(std::string name);
  static CorvantineError Locked(std::string detail);
  static CorvantineError Serialization(std::string message);
  static CorvantineError InvalidFormat(std::string message);
  static CorvantineError Codec(std::string message);
  // `what` must be a string literal: the limit's fixed name.
  static CorvantineError ResourceLimit(const char* what, uint64_t actual, uint64_t maximum);
  static CorvantineError Migration(std::string message);
  static CorvantineError MigrationIncomplete(std::string subject);
  static CorvantineError RevisionConflict(std::string expected, std::string actual);
  static CorvantineError EventIdConflict();
  static CorvantineError IdempotencyConflict();
  static CorvantineError BatchIdConflict();
  static CorvantineError BranchNotFound(std::string branch);
  static CorvantineError BranchExists(std::string branch);
  static CorvantineError BranchArchived(std::string branch);
  static CorvantineError InvalidBranchAncestry(std::string message);
  static CorvantineError NotBatchBoundary(uint64_t position);

  Kind kind() const { return kind_; }
  int kind_index() const { return static_cast<int>(kind_); }

  // The display text of the kind with its fields filled in.
  std::string ToString() const;

  // Field accessors; each is meaningful only for the kinds that carry it.
  // text(): message, name, detail, subject, branch or expected revision.
  const std::string& text() const { return text_; }
  // actual(): the actual revision text of a RevisionConflict.
  const std::string& actual_text() const { return text2_; }
  // Offset, position, found, or a limit's actual value.
  uint64_t first_number() const { return n1_; }
  // Floor, supported, written, or a limit's maximum.
  uint64_t second_number() const { return n2_; }
  // The head of PositionUnavailable.
  uint64_t third_number() const { return n3_; }
  const char* limit_name() const { return what_; }
  const IoError& io_error() const { return io_; }


 private:
  explicit CorvantineError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::string text_;
  std::string text2_;
  uint64_t n1_ = 0;
  uint64_t n2_ = 0;
  uint64_t n3_ = 0;
  const char* what_ = "";
  IoError io_;
};

}  // namespace corvantine::error

namespace corvantine {

using error::CorvantineError;

template <typename T = void>
using Result = error::Expected<T, CorvantineError>;

}  // namespace corvantine
