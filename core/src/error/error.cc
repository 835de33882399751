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

CorvantineError CorvantineError::InvalidArgument(std::string message) {
  return CorvantineError(error::InvalidArgument{std::move(message)});
}

CorvantineError CorvantineError::Io(IoError io) {
  return CorvantineError(error::Io{std::move(io)});
}

CorvantineError CorvantineError::IoFromErrno(int code) { return Io(IoError::FromErrno(code)); }

CorvantineError CorvantineError::Corrupt(uint64_t offset, std::string message) {
  return CorvantineError(error::Corrupt{offset, std::move(message)});
}

CorvantineError CorvantineError::OffsetBeyondHead(uint64_t offset) {
  return CorvantineError(error::OffsetBeyondHead{offset});
}

CorvantineError CorvantineError::PositionUnavailable(uint64_t position, uint64_t floor,
                                                     uint64_t head) {
  return CorvantineError(error::PositionUnavailable{position, floor, head});
}

CorvantineError CorvantineError::Manifest(std::string message) {
  return CorvantineError(error::Manifest{std::move(message)});
}

CorvantineError CorvantineError::UnsupportedPayloadFormat(uint32_t found, uint32_t supported) {
  return CorvantineError(error::UnsupportedPayloadFormat{found, supported});
}

CorvantineError CorvantineError::UnsupportedStorageFormat(uint32_t found, uint32_t written) {
  return CorvantineError(error::UnsupportedStorageFormat{found, written});
}

CorvantineError CorvantineError::InvalidSegmentFileName(std::string name) {
  return CorvantineError(error::InvalidSegmentFileName{std::move(name)});
}

CorvantineError CorvantineError::NamespaceExists(std::string name) {
  return CorvantineError(error::NamespaceExists{std::move(name)});
}

CorvantineError CorvantineError::Locked(std::string detail) {
  return CorvantineError(error::Locked{std::move(detail)});
}

CorvantineError CorvantineError::Serialization(std::string message) {
  return CorvantineError(error::Serialization{std::move(message)});
}

CorvantineError CorvantineError::InvalidFormat(std::string message) {
  return CorvantineError(error::InvalidFormat{std::move(message)});
}

CorvantineError CorvantineError::Codec(std::string message) {
  return CorvantineError(error::Codec{std::move(message)});
}

CorvantineError CorvantineError::ResourceLimit(const char* what, uint64_t actual,
                                               uint64_t maximum) {
  return CorvantineError(error::ResourceLimit{what, actual, maximum});
}

CorvantineError CorvantineError::Migration(std::string message) {
  return CorvantineError(error::Migration{std::move(message)});
}

CorvantineError CorvantineError::MigrationIncomplete(std::string subject) {
  return CorvantineError(error::MigrationIncomplete{std::move(subject)});
}

CorvantineError CorvantineError::RevisionConflict(std::string expected, std::string actual) {
  return CorvantineError(error::RevisionConflict{std::move(expected), std::move(actual)});
}

CorvantineError CorvantineError::EventIdConflict() {
  return CorvantineError(error::EventIdConflict{});
}

CorvantineError CorvantineError::IdempotencyConflict() {
  return CorvantineError(error::IdempotencyConflict{});
}

CorvantineError CorvantineError::BatchIdConflict() {
  return CorvantineError(error::BatchIdConflict{});
}

CorvantineError CorvantineError::BranchNotFound(std::string branch) {
  return CorvantineError(error::BranchNotFound{std::move(branch)});
}

CorvantineError CorvantineError::BranchExists(std::string branch) {
  return CorvantineError(error::BranchExists{std::move(branch)});
}

CorvantineError CorvantineError::BranchArchived(std::string branch) {
  return CorvantineError(error::BranchArchived{std::move(branch)});
}

CorvantineError CorvantineError::InvalidBranchAncestry(std::string message) {
  return CorvantineError(error::InvalidBranchAncestry{std::move(message)});
}

CorvantineError CorvantineError::NotBatchBoundary(uint64_t position) {
  return CorvantineError(error::NotBatchBoundary{position});
}

bool CorvantineError::IsOsError(int os_code) const {
  const error::Io* io = As<error::Io>();
  return io != nullptr && io->error.os_code == os_code;
}

std::string CorvantineError::Detail() const {
  if (const error::Io* io = As<error::Io>()) return io->error.ToString();
  return std::visit(
      [this](const auto& fields) -> std::string {
        if constexpr (requires { fields.message; }) return fields.message;
        return ToString();
      },
      fields_);
}

namespace {

// The display text of each kind, chosen by overload.
std::string Display(const InvalidArgument& e) {
  return fmt::format("invalid argument: {}", e.message);
}
std::string Display(const Io& e) { return fmt::format("io: {}", e.error.ToString()); }
std::string Display(const Corrupt& e) {
  return fmt::format("corrupt record at offset {}: {}", e.offset, e.message);
}
std::string Display(const OffsetBeyondHead& e) {
  return fmt::format("offset {} beyond head", e.offset);
}
std::string Display(const PositionUnavailable& e) {
  return fmt::format("position {} is unavailable: retained history starts at {}, head is {}",
                     e.position, e.floor, e.head);
}
std::string Display(const Manifest& e) { return fmt::format("manifest error: {}", e.message); }
std::string Display(const UnsupportedPayloadFormat& e) {
  return fmt::format(
      "unsupported payload format version {}: this build supports {}. The data dir was "
      "written by a newer CorvantineDB; upgrade to read it.",
      e.found, e.supported);
}
std::string Display(const UnsupportedStorageFormat& e) {
  return fmt::format(
      "unsupported storage format version {}: this build writes version {}; migrate the "
      "source directory offline",
      e.found, e.written);
}
std::string Display(const InvalidSegmentFileName& e) {
  return fmt::format("invalid segment file name: {}", e.name);
}
std::string Display(const NamespaceExists& e) {
  return fmt::format("namespace {} already exists", e.name);
}
std::string Display(const Locked& e) {
  return fmt::format("data dir is locked by another process: {}", e.detail);
}
std::string Display(const Serialization& e) {
  return fmt::format("serialization error: {}", e.message);
}
std::string Display(const InvalidFormat& e) { return fmt::format("invalid format: {}", e.message); }
std::string Display(const Codec& e) { return fmt::format("codec error: {}", e.message); }
std::string Display(const ResourceLimit& e) {
  return fmt::format("resource limit exceeded: {} is {}, maximum is {}", e.what, e.actual,
                     e.maximum);
}
std::string Display(const Migration& e) { return fmt::format("migration error: {}", e.message); }
std::string Display(const MigrationIncomplete& e) {
  return fmt::format("migration is incomplete for {}; resume it with the migration command",
                     e.subject);
}
std::string Display(const RevisionConflict& e) {
  return fmt::format("stream revision conflict: expected {}, actual {}", e.expected, e.actual);
}
std::string Display(const EventIdConflict&) {
  return "event ID already exists with different content";
}
std::string Display(const IdempotencyConflict&) {
  return "idempotency key already exists with different content";
}
std::string Display(const BatchIdConflict&) {
  return "batch ID already exists with different content";
}
std::string Display(const BranchNotFound& e) {
  return fmt::format("branch not found: {}", e.branch);
}
std::string Display(const BranchExists& e) {
  return fmt::format("branch already exists: {}", e.branch);
}
std::string Display(const BranchArchived& e) {
  return fmt::format("branch is archived: {}", e.branch);
}
std::string Display(const InvalidBranchAncestry& e) {
  return fmt::format("invalid branch ancestry: {}", e.message);
}
std::string Display(const NotBatchBoundary& e) {
  return fmt::format("position {} is not a committed batch boundary", e.position);
}

}  // namespace

std::string CorvantineError::ToString() const {
  return std::visit([](const auto& fields) { return Display(fields); }, fields_);
}

}  // namespace corvantine::error
