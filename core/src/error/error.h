// The core layer's error: every fallible operation of the storage library
// (format, log, catalogs, database) returns Result<T>, a value or one
// CorvantineError. The engine converts it into facade::EngineError, the only
// error that leaves the engine; the Python module raises exceptions from that.
//
// A CorvantineError is one of 26 kinds, each with its own named fields and a
// fixed display text. Engine codes and Python exceptions are derived from the
// kind number, and the display text reaches users word for word.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

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

// The fields of each kind, in a struct named after it.
struct InvalidArgument {
  std::string message;
};
struct Io {
  IoError error;
};
struct Corrupt {
  uint64_t offset;  // the damaged record's log position, or a byte offset
  std::string message;
};
struct OffsetBeyondHead {
  uint64_t offset;
};
struct PositionUnavailable {
  uint64_t position;  // the position asked for
  uint64_t floor;     // the first retained position
  uint64_t head;
};
struct Manifest {
  std::string message;
};
struct UnsupportedPayloadFormat {
  uint32_t found;
  uint32_t supported;
};
struct UnsupportedStorageFormat {
  uint32_t found;
  uint32_t written;
};
struct InvalidSegmentFileName {
  std::string name;
};
struct NamespaceExists {
  std::string name;
};
struct Locked {
  std::string detail;  // the whole sentence the directory lock builds
};
struct Serialization {
  std::string message;
};
struct InvalidFormat {
  std::string message;
};
struct Codec {
  std::string message;
};
struct ResourceLimit {
  const char* what;  // a string literal: the limit's fixed name
  uint64_t actual;
  uint64_t maximum;
};
struct Migration {
  std::string message;
};
struct MigrationIncomplete {
  std::string subject;
};
struct RevisionConflict {
  std::string expected;  // the caller's expected revision, e.g. "Exact(StreamRevision(7))"
  std::string actual;    // the stream's revision, e.g. "None" or "Some(StreamRevision(6))"
};
struct EventIdConflict {};
struct IdempotencyConflict {};
struct BatchIdConflict {};
struct BranchNotFound {
  std::string branch;  // the branch id in hexadecimal
};
struct BranchExists {
  std::string branch;  // the branch name
};
struct BranchArchived {
  std::string branch;  // the branch name
};
struct InvalidBranchAncestry {
  std::string message;
};
struct NotBatchBoundary {
  uint64_t position;
};

// In Kind's order: an alternative's index is its kind number.
using Fields = std::variant<InvalidArgument, Io, Corrupt, OffsetBeyondHead, PositionUnavailable,
                            Manifest, UnsupportedPayloadFormat, UnsupportedStorageFormat,
                            InvalidSegmentFileName, NamespaceExists, Locked, Serialization,
                            InvalidFormat, Codec, ResourceLimit, Migration, MigrationIncomplete,
                            RevisionConflict, EventIdConflict, IdempotencyConflict,
                            BatchIdConflict, BranchNotFound, BranchExists, BranchArchived,
                            InvalidBranchAncestry, NotBatchBoundary>;
static_assert(std::variant_size_v<Fields> == kKindCount);

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

  Kind kind() const { return static_cast<Kind>(fields_.index()); }
  int kind_index() const { return static_cast<int>(fields_.index()); }

  // The fields of kind T, or null for an error of another kind:
  //   if (const auto* corrupt = e.As<error::Corrupt>()) Use(corrupt->offset);
  template <typename T>
  const T* As() const {
    return std::get_if<T>(&fields_);
  }

  // Whether this is an Io error with the OS error number `os_code`.
  bool IsOsError(int os_code) const;

  // The display text of the kind with its fields filled in.
  std::string ToString() const;

  // The text a wrapping message embeds: an Io error's OS text, the message
  // of a kind that carries one, else the display text. Never empty, whatever
  // the kind, so a caller need not know which kinds a callee returns.
  std::string Detail() const;

 private:
  explicit CorvantineError(Fields fields) : fields_(std::move(fields)) {}

  Fields fields_;
};

}  // namespace corvantine::error

namespace corvantine {

using error::CorvantineError;

template <typename T = void>
using Result = error::Expected<T, CorvantineError>;

}  // namespace corvantine
