// What the stream catalog reads from stored events: the stream name they
// carry and the content fingerprint behind event-id deduplication.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/envelope.h"
#include "format/event_type.h"
#include "format/frame.h"
#include "format/metadata.h"

namespace corvantine::stream {

// A borrowed view of one stored event, made implicitly from either record
// form, so that the functions below serve both without copying the envelope.
// It must not outlive the record.
struct StoredEvent {
  StoredEvent(const format::StoredRecord& record)
      : envelope(record.envelope), payload(record.payload), position(record.position) {}
  StoredEvent(const format::OwnedStoredRecord& record)
      : envelope(record.envelope), payload(record.payload), position(record.position) {}

  const format::RecordEnvelopeV2& envelope;
  std::string_view payload;
  uint64_t position;
};

// The CRC-32C of the event's content, with nothing between the pieces: the
// event type's bytes, the schema version (u32 little-endian), each metadata
// key and value in ascending key order except the reserved "corvantine."
// keys, and the payload. System keys therefore never change a fingerprint,
// and a retried event matches its stored one. Stored ids depend on it: the
// rule must never change.
uint32_t EventFingerprint(const format::EventType& event_type, uint32_t schema_version,
                          const format::Metadata& metadata, std::string_view payload);
uint32_t EventFingerprint(StoredEvent event);

// The value of the event's "corvantine.stream_name" metadata, borrowed from
// the record. Corrupt at the record's position when the key is missing
// ("event is missing stream name metadata") or its value is not UTF-8
// ("stream name metadata is not UTF-8").
Result<std::string_view> StreamNameView(StoredEvent event);

// As StreamNameView, copied.
Result<std::string> StreamNameOf(StoredEvent event);

}  // namespace corvantine::stream
