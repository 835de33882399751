#include "error/error.h"

#include <cstring>

#include <fmt/format.h>

namespace corvantine::error {

IoError IoError::FromErrno(int code) { return IoError{code, {}}; }
IoError IoError::WriteZero() { return Custom("failed to write whole buffer"); }
IoError IoError::UnexpectedEof() { return Custom("failed to fill whole buffer"); }
IoError IoError::Custom(std::string text) { return IoError{0, std::move(text)}; }

std::string IoError::ToString() const {
  if (os_code == 0) return message;
  char buffer[256];
  // The GNU variant may return a static string instead of filling buffer.
  const char* text = strerror_r(os_code, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", text, os_code);
}

#define CVN_TEXT_KIND(Name)                                   \
  CorvantineError CorvantineError::Name(std::string text) {   \
    CorvantineError e(Kind::k##Name);                         \
    e.text_ = std::move(text);                                \
    return e;                                                 \
  }
CVN_TEXT_KIND(InvalidArgument)
CVN_TEXT_KIND(Manifest)
CVN_TEXT_KIND(InvalidSegmentFileName)
CVN_TEXT_KIND(NamespaceExists)
CVN_TEXT_KIND(Locked)
CVN_TEXT_KIND(Serialization)
CVN_TEXT_KIND(InvalidFormat)
CVN_TEXT_KIND(Codec)
CVN_TEXT_KIND(Migration)
CVN_TEXT_KIND(MigrationIncomplete)
CVN_TEXT_KIND(BranchNotFound)
CVN_TEXT_KIND(BranchExists)
CVN_TEXT_KIND(BranchArchived)
CVN_TEXT_KIND(InvalidBranchAncestry)
#undef CVN_TEXT_KIND

CorvantineError CorvantineError::Io(IoError error) {
  CorvantineError e(Kind::kIo);
  e.io_ = std::move(error);
  return e;
}

CorvantineError CorvantineError::IoFromErrno(int code) { return Io(IoError::FromErrno(code)); }

CorvantineError CorvantineError::Corrupt(uint64_t offset, std::string message) {
  CorvantineError e(Kind::kCorrupt);
  e.n1_ = offset;
  e.text_ = std::move(message);
  return e;
}

CorvantineError CorvantineError::OffsetBeyondHead(uint64_t offset) {
  CorvantineError e(Kind::kOffsetBeyondHead);
  e.n1_ = offset;
  return e;
}

CorvantineError CorvantineError::PositionUnavailable(uint64_t position, uint64_t floor,
                                                     uint64_t head) {
  CorvantineError e(Kind::kPositionUnavailable);
  e.n1_ = position;
  e.n2_ = floor;
  e.n3_ = head;
  return e;
}

CorvantineError CorvantineError::UnsupportedPayloadFormat(uint32_t found, uint32_t supported) {
  CorvantineError e(Kind::kUnsupportedPayloadFormat);
  e.n1_ = found;
  e.n2_ = supported;
  return e;
}

CorvantineError CorvantineError::UnsupportedStorageFormat(uint32_t found, uint32_t written) {
  CorvantineError e(Kind::kUnsupportedStorageFormat);
  e.n1_ = found;
  e.n2_ = written;
  return e;
}

CorvantineError CorvantineError::ResourceLimit(const char* what, uint64_t actual,
                                               uint64_t maximum) {
  CorvantineError e(Kind::kResourceLimit);
  e.what_ = what;
  e.n1_ = actual;
  e.n2_ = maximum;
  return e;
}

CorvantineError CorvantineError::RevisionConflict(std::string expected, std::string actual) {
  CorvantineError e(Kind::kRevisionConflict);
  e.text_ = std::move(expected);
  e.text2_ = std::move(actual);
  return e;
}

CorvantineError CorvantineError::EventIdConflict() { return CorvantineError(Kind::kEventIdConflict); }
CorvantineError CorvantineError::IdempotencyConflict() {
  return CorvantineError(Kind::kIdempotencyConflict);
}
CorvantineError CorvantineError::BatchIdConflict() { return CorvantineError(Kind::kBatchIdConflict); }

CorvantineError CorvantineError::NotBatchBoundary(uint64_t position) {
  CorvantineError e(Kind::kNotBatchBoundary);
  e.n1_ = position;
  return e;
}

std::string CorvantineError::ToString() const {
  switch (kind_) {
    case Kind::kInvalidArgument: return fmt::format("invalid argument: {}", text_);
    case Kind::kIo: return fmt::format("io: {}", io_.ToString());
    case Kind::kCorrupt: return fmt::format("corrupt record at offset {}: {}", n1_, text_);
    case Kind::kOffsetBeyondHead: return fmt::format("offset {} beyond head", n1_);
    case Kind::kPositionUnavailable:
      return fmt::format("position {} is unavailable: retained history starts at {}, head is {}",
                         n1_, n2_, n3_);
    case Kind::kManifest: return fmt::format("manifest error: {}", text_);
    case Kind::kUnsupportedPayloadFormat:
      return fmt::format(
          "unsupported payload format version {}: this build supports {}. The data dir was "
          "written by a newer CorvantineDB; upgrade to read it.",
          n1_, n2_);
    case Kind::kUnsupportedStorageFormat:
      return fmt::format(
          "unsupported storage format version {}: this build writes version {}; migrate the "
          "source directory offline",
          n1_, n2_);
    case Kind::kInvalidSegmentFileName: return fmt::format("invalid segment file name: {}", text_);
    case Kind::kNamespaceExists: return fmt::format("namespace {} already exists", text_);
    case Kind::kLocked: return fmt::format("data dir is locked by another process: {}", text_);
    case Kind::kSerialization: return fmt::format("serialization error: {}", text_);
    case Kind::kInvalidFormat: return fmt::format("invalid format: {}", text_);
    case Kind::kCodec: return fmt::format("codec error: {}", text_);
    case Kind::kResourceLimit:
      return fmt::format("resource limit exceeded: {} is {}, maximum is {}", what_, n1_, n2_);
    case Kind::kMigration: return fmt::format("migration error: {}", text_);
    case Kind::kMigrationIncomplete:
      return fmt::format("migration is incomplete for {}; resume it with the migration command",
                         text_);
    case Kind::kRevisionConflict:
      return fmt::format("stream revision conflict: expected {}, actual {}", text_, text2_);
    case Kind::kEventIdConflict: return "event ID already exists with different content";
    case Kind::kIdempotencyConflict: return "idempotency key already exists with different content";
    case Kind::kBatchIdConflict: return "batch ID already exists with different content";
    case Kind::kBranchNotFound: return fmt::format("branch not found: {}", text_);
    case Kind::kBranchExists: return fmt::format("branch already exists: {}", text_);
    case Kind::kBranchArchived: return fmt::format("branch is archived: {}", text_);
    case Kind::kInvalidBranchAncestry: return fmt::format("invalid branch ancestry: {}", text_);
    case Kind::kNotBatchBoundary:
      return fmt::format("position {} is not a committed batch boundary", n1_);
  }
  return {};
}

}  // namespace corvantine::error
