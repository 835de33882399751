#include "stream/event.h"

#include "util/coding.h"
#include "util/crc32c.h"
#include "util/utf8.h"

namespace corvantine::stream {

namespace {

bool IsReservedKey(std::string_view key) { return key.starts_with(format::kReservedKeyPrefix); }

uint32_t ExtendCrc(uint32_t crc, std::string_view bytes) {
  return util::crc32c::Extend(crc, bytes.data(), bytes.size());
}

}  // namespace

uint32_t EventFingerprint(const format::EventType& event_type, uint32_t schema_version,
                          const format::Metadata& metadata, std::string_view payload) {
  uint32_t crc = ExtendCrc(0, event_type.str());
  char version[sizeof schema_version];
  util::EncodeFixed32(version, schema_version);
  crc = util::crc32c::Extend(crc, version, sizeof version);
  for (const auto& [key, value] : metadata) {
    if (IsReservedKey(key)) continue;
    crc = ExtendCrc(crc, key);
    crc = ExtendCrc(crc, value);
  }
  return ExtendCrc(crc, payload);
}

uint32_t EventFingerprint(StoredEvent event) {
  const format::RecordEnvelopeV2& envelope = event.envelope;
  return EventFingerprint(envelope.event_type, envelope.schema_version, envelope.metadata,
                          event.payload);
}

Result<std::string_view> StreamNameView(StoredEvent event) {
  auto entry = event.envelope.metadata.find(format::kStreamNameKey);
  if (entry == event.envelope.metadata.end()) {
    return CorvantineError::Corrupt(event.position, "event is missing stream name metadata");
  }
  const std::string& name = entry->second;
  if (!util::IsValidUtf8(name)) {
    return CorvantineError::Corrupt(event.position, "stream name metadata is not UTF-8");
  }
  return std::string_view(name);
}

Result<std::string> StreamNameOf(StoredEvent event) {
  CVN_ASSIGN_OR_RETURN(std::string_view name, StreamNameView(event));
  return std::string(name);
}

}  // namespace corvantine::stream
