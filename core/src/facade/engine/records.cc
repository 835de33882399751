#include "facade/engine/records.h"

#include <utility>

#include "util/coding.h"
#include "util/json.h"

namespace corvantine::facade {

std::string EncodeEngineEvent(EventCodec codec, std::string body) {
  std::string header;  // short enough to need no allocation
  util::BinaryWriter writer(header);
  writer.PutVariantIndex(static_cast<uint32_t>(codec));
  writer.PutLength(body.size());
  body.insert(0, header);
  return body;
}

EngineResult<> CheckJsonValue(std::string_view json) {
  util::json::Result<> valid = util::json::Validate(json);
  if (!valid.ok()) return EngineError::InvalidJson(std::move(valid.error().message));
  return {};
}

Result<EngineEvent> EngineEvent::Decode(std::string payload) {
  util::BinaryReader reader(payload);
  CVN_ASSIGN_OR_RETURN(const uint32_t codec, reader.VariantIndex(2));
  CVN_ASSIGN_OR_RETURN(const std::string_view body, reader.Bytes());
  const size_t length = body.size();
  // The body moves to the front of the payload's own buffer.
  payload.erase(0, kEngineEventHeaderBytes);
  payload.resize(length);
  return EngineEvent{static_cast<EventCodec>(codec), std::move(payload)};
}

EventData EventData::Json(std::string body) {
  EventData event;
  event.body = std::move(body);
  return event;
}

EventData EventData::OfType(std::string event_type) {
  return EventData{.event_type = std::move(event_type),
                   .body = {},
                   .metadata = {},
                   .event_id = {},
                   .well_formed_depth = {}};
}

EngineResult<RecordDto> MakeRecordDto(format::OwnedStoredRecord record) {
  Result<EngineEvent> event = EngineEvent::Decode(std::move(record.payload));
  if (!event.ok()) {
    return EngineError(event.error().Detail(), code::kCodec);
  }
  format::RecordEnvelopeV2& envelope = record.envelope;
  return RecordDto{
      .event_type = envelope.event_type.str(),
      .body = std::move(event->bytes),
      .database_id = envelope.database_id,
      .batch_id = envelope.batch_id,
      .position = record.position,
      .timestamp = envelope.timestamp_unix_nanos,
      .event_id = envelope.event_id,
      .branch_id = envelope.branch_id,
      .stream_id = envelope.stream_id,
      .stream_revision = envelope.stream_revision.value,
      .metadata = std::move(envelope.metadata),
      .batch_index = envelope.batch_index,
      .schema_version = envelope.schema_version,
      .codec = event->codec,
  };
}

std::optional<std::string_view> RecordDto::stream_name() const {
  const auto name = metadata.find(format::kStreamNameKey);
  if (name == metadata.end()) return std::nullopt;
  return name->second;
}

}  // namespace corvantine::facade
