#include "db/request.h"

#include <fmt/format.h>

#include "util/coding.h"
#include "util/crc32c.h"
#include "util/hash.h"

namespace corvantine::db {

namespace {

uint32_t Extend(uint32_t crc, std::string_view bytes) {
  return util::crc32c::Extend(crc, bytes.data(), bytes.size());
}

uint32_t Extend(uint32_t crc, const util::Bytes16& bytes) {
  return util::crc32c::Extend(crc, bytes.data(), bytes.size());
}

}  // namespace

Result<> CheckCallerMetadata(std::span<const stream::NewEvent> events) {
  for (const stream::NewEvent& event : events) {
    for (std::string_view key : kSystemWrittenKeys) {
      if (event.metadata.contains(key)) {
        return CorvantineError::InvalidArgument(
            fmt::format("reserved metadata key {} is written by the system", key));
      }
    }
  }
  return {};
}

uint32_t RequestDigest(const stream::AppendRequest& request) {
  uint32_t crc = Extend(0, request.branch_id.bytes());
  crc = Extend(crc, request.stream.str());
  crc = Extend(crc, request.expected_revision.DebugString());
  for (const stream::NewEvent& event : request.events) {
    crc = Extend(crc, event.event_id.value_or(format::EventId()).bytes());
    crc = Extend(crc, event.event_type.str());
    char schema_version[4];
    util::EncodeFixed32(schema_version, event.schema_version);
    crc = util::crc32c::Extend(crc, schema_version, sizeof schema_version);
    for (const auto& [key, value] : event.metadata) {
      crc = Extend(crc, key);
      crc = Extend(crc, value);
    }
    crc = Extend(crc, event.payload);
  }
  return crc;
}

format::StreamId NewStreamId(const format::DatabaseId& database_id,
                             const format::BranchId& branch_id, std::string_view name) {
  util::DualHasher hasher;
  hasher.Update(database_id.bytes().data(), database_id.bytes().size());
  hasher.Update(branch_id.bytes().data(), branch_id.bytes().size());
  hasher.Update(name);
  return format::StreamId(hasher.Finish());
}

}  // namespace corvantine::db
