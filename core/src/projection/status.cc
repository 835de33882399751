#include "projection/status.h"

#include <algorithm>
#include <string_view>

#include <fmt/format.h>

namespace corvantine::projection {

namespace {

void AppendEscapedChar(unsigned char c, std::string* out) {
  switch (c) {
    case '\0': *out += "\\0"; return;
    case '\t': *out += "\\t"; return;
    case '\n': *out += "\\n"; return;
    case '\r': *out += "\\r"; return;
    case '"': *out += "\\\""; return;
    case '\\': *out += "\\\\"; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7f) {
    *out += fmt::format("\\u{{{:x}}}", c);
  } else {
    *out += static_cast<char>(c);
  }
}

// A string quoted as diagnostics show it: quote, backslash, \0 \t \n \r
// escaped, other control characters (C0, DEL and C1) as \u{hex}; every other
// character as it is.
std::string DebugQuoted(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {  // a C1 control character
      out += fmt::format("\\u{{{:x}}}", next);
      ++i;
    } else {
      AppendEscapedChar(c, &out);
    }
  }
  return out + "\"";
}

// "{variant} { cursor: ..., reason: ... }": the fields its kind carries.
std::string StatusDebugString(std::string_view variant, const format::ProjectionCursor& cursor,
                              const StaleReason* reason, const ProjectionFailure* error) {
  std::string out = fmt::format("{} {{ cursor: {}", variant, cursor.DebugString());
  if (reason != nullptr) out += ", reason: " + reason->DebugString();
  if (error != nullptr) out += ", error: " + error->DebugString();
  return out + " }";
}

}  // namespace

format::ProjectionCursor CursorAt(const format::DatabaseId& database_id,
                                  const ProjectionDescriptor& descriptor, uint64_t position) {
  return format::ProjectionCursor{database_id, descriptor.scope.branch_id, position,
                                  DescriptorFingerprint(descriptor)};
}

std::string StaleReason::DebugString() const {
  if (kind == Kind::kDescriptorChanged) return "DescriptorChanged";
  return fmt::format("BehindHead {{ head: {} }}", head);
}

std::string ProjectionFailure::DebugString() const {
  return fmt::format("ProjectionFailure {{ code: {}, message: {} }}", DebugQuoted(code),
                     DebugQuoted(message));
}

std::string ProjectionStatus::DebugString() const {
  switch (kind) {
    case Kind::kBuilding: return StatusDebugString("Building", cursor, nullptr, nullptr);
    case Kind::kReady: return StatusDebugString("Ready", cursor, nullptr, nullptr);
    case Kind::kStale: return StatusDebugString("Stale", cursor, &reason, nullptr);
    case Kind::kFailed: return StatusDebugString("Failed", cursor, nullptr, &error);
    case Kind::kDropping: break;
  }
  return "Dropping";
}

std::string PartitionStatus::DebugString() const {
  switch (kind) {
    case Kind::kCold: return StatusDebugString("Cold", cursor, nullptr, nullptr);
    case Kind::kBuilding: return StatusDebugString("Building", cursor, nullptr, nullptr);
    case Kind::kReady: return StatusDebugString("Ready", cursor, nullptr, nullptr);
    case Kind::kStale: return StatusDebugString("Stale", cursor, &reason, nullptr);
    case Kind::kFailed: break;
  }
  return StatusDebugString("Failed", cursor, nullptr, &error);
}

std::vector<PartitionStatus> ColdPartitions(const format::DatabaseId& database_id,
                                            const ProjectionDescriptor& descriptor) {
  const uint32_t count = std::max<uint32_t>(descriptor.partition_scheme.partition_count, 1);
  return std::vector<PartitionStatus>(count,
                                      PartitionStatus::Cold(CursorAt(database_id, descriptor, 0)));
}

}  // namespace corvantine::projection
