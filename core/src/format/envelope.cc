#include "format/envelope.h"

#include <fmt/format.h>

#include "format/cursor.h"
#include "util/coding.h"
#include "util/utf8.h"

namespace corvantine::format {

namespace {

// Every byte of a version 1 envelope other than the event type and the
// metadata entries.
constexpr uint64_t kFixedEnvelopeBytes = 114;
// The two length fields of one metadata entry.
constexpr uint64_t kEntryLengthBytes = 2 + 4;

template <typename IdType>
Result<IdType> ReadId(Cursor& cursor) {
  CVN_ASSIGN_OR_RETURN(IdBytes bytes, cursor.Array16());
  return IdType(bytes);
}

Result<EventType> ReadEventType(Cursor& cursor, const FrameLimits& limits) {
  CVN_ASSIGN_OR_RETURN(std::string_view text, cursor.ShortBytes(limits.max_event_type_bytes));
  return EventType::New(std::string(text));
}

Result<> ReadMetadataEntry(Cursor& cursor, const FrameLimits& limits, Metadata& metadata) {
  CVN_ASSIGN_OR_RETURN(std::string_view key, cursor.ShortBytes(limits.max_metadata_key_bytes));
  if (!util::IsValidUtf8(key)) return CorvantineError::InvalidFormat("metadata key is not UTF-8");
  CVN_TRY(ValidateMetadataKey(key));
  CVN_ASSIGN_OR_RETURN(uint32_t value_length, cursor.U32());
  if (value_length > limits.max_metadata_value_bytes) {
    return CorvantineError::ResourceLimit("metadata value bytes", value_length,
                                          limits.max_metadata_value_bytes);
  }
  CVN_ASSIGN_OR_RETURN(std::string_view value, cursor.Take(value_length));
  // Writers store keys in order, so the end is the right hint.
  const size_t size_before = metadata.size();
  metadata.emplace_hint(metadata.end(), key, value);
  if (metadata.size() == size_before) {
    return CorvantineError::InvalidFormat("duplicate metadata key");
  }
  return {};
}

}  // namespace

Result<uint64_t> CheckedEnvelopeSize(const RecordEnvelopeV2& envelope, const FrameLimits& limits) {
  const uint64_t type_bytes = envelope.event_type.size();
  if (type_bytes > limits.max_event_type_bytes) {
    return CorvantineError::ResourceLimit("event type bytes", type_bytes,
                                          limits.max_event_type_bytes);
  }
  if (envelope.metadata.size() > limits.max_metadata_entries) {
    return CorvantineError::ResourceLimit("metadata entries", envelope.metadata.size(),
                                          limits.max_metadata_entries);
  }
  uint64_t size = kFixedEnvelopeBytes + type_bytes;
  for (const auto& [key, value] : envelope.metadata) {
    CVN_TRY(ValidateMetadataKey(key));
    if (key.size() > limits.max_metadata_key_bytes) {
      return CorvantineError::ResourceLimit("metadata key bytes", key.size(),
                                            limits.max_metadata_key_bytes);
    }
    if (value.size() > limits.max_metadata_value_bytes) {
      return CorvantineError::ResourceLimit("metadata value bytes", value.size(),
                                            limits.max_metadata_value_bytes);
    }
    size += kEntryLengthBytes + key.size() + value.size();
  }
  if (size > limits.max_envelope_bytes) {
    return CorvantineError::ResourceLimit("envelope bytes", size, limits.max_envelope_bytes);
  }
  return size;
}

void AppendEnvelope(const RecordEnvelopeV2& envelope, std::string* out) {
  util::BinaryWriter writer(*out);
  writer.PutU16(kEnvelopeVersion);
  writer.PutArray16(envelope.event_id.bytes());
  writer.PutArray16(envelope.database_id.bytes());
  writer.PutArray16(envelope.branch_id.bytes());
  writer.PutArray16(envelope.stream_id.bytes());
  writer.PutU64(envelope.stream_revision.value);
  writer.PutI64(envelope.timestamp_unix_nanos);
  const std::string& type = envelope.event_type.str();
  writer.PutU16(static_cast<uint16_t>(type.size()));
  writer.PutRaw(type.data(), type.size());
  writer.PutU32(envelope.schema_version);
  writer.PutU32(envelope.payload_format);
  writer.PutArray16(envelope.batch_id.bytes());
  writer.PutU32(envelope.batch_index);
  writer.PutU16(static_cast<uint16_t>(envelope.metadata.size()));
  for (const auto& [key, value] : envelope.metadata) {
    writer.PutU16(static_cast<uint16_t>(key.size()));
    writer.PutRaw(key.data(), key.size());
    writer.PutU32(static_cast<uint32_t>(value.size()));
    writer.PutRaw(value.data(), value.size());
  }
}

Result<RecordEnvelopeV2> DecodeEnvelope(std::string_view bytes, const FrameLimits& limits) {
  Cursor cursor(bytes);
  CVN_ASSIGN_OR_RETURN(uint16_t version, cursor.U16());
  if (version != kEnvelopeVersion) {
    return CorvantineError::InvalidFormat(fmt::format("unsupported envelope version {}", version));
  }
  RecordEnvelopeV2 envelope;
  CVN_ASSIGN_OR_RETURN(envelope.event_id, ReadId<EventId>(cursor));
  CVN_ASSIGN_OR_RETURN(envelope.database_id, ReadId<DatabaseId>(cursor));
  CVN_ASSIGN_OR_RETURN(envelope.branch_id, ReadId<BranchId>(cursor));
  CVN_ASSIGN_OR_RETURN(envelope.stream_id, ReadId<StreamId>(cursor));
  CVN_ASSIGN_OR_RETURN(envelope.stream_revision.value, cursor.U64());
  CVN_ASSIGN_OR_RETURN(envelope.timestamp_unix_nanos, cursor.I64());
  CVN_ASSIGN_OR_RETURN(envelope.event_type, ReadEventType(cursor, limits));
  CVN_ASSIGN_OR_RETURN(envelope.schema_version, cursor.U32());
  CVN_ASSIGN_OR_RETURN(envelope.payload_format, cursor.U32());
  CVN_ASSIGN_OR_RETURN(envelope.batch_id, ReadId<BatchId>(cursor));
  CVN_ASSIGN_OR_RETURN(envelope.batch_index, cursor.U32());
  CVN_ASSIGN_OR_RETURN(uint16_t entry_count, cursor.U16());
  if (entry_count > limits.max_metadata_entries) {
    return CorvantineError::ResourceLimit("metadata entries", entry_count,
                                          limits.max_metadata_entries);
  }
  for (uint16_t i = 0; i < entry_count; ++i) {
    CVN_TRY(ReadMetadataEntry(cursor, limits, envelope.metadata));
  }
  if (cursor.remaining() > 0) {
    return CorvantineError::InvalidFormat("trailing bytes in v2 envelope");
  }
  return envelope;
}

}  // namespace corvantine::format
