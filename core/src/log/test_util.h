// Helpers shared by the log reader's test files: events as a test describes
// them, their envelopes and payloads, and frames as written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/frame.h"
#include "format/ids.h"
#include "log/reader.h"
#include "util/coding.h"

namespace corvantine::log::testing {

using format::RecordEnvelopeV2;

// A stream whose id's first 8 bytes read `n` as a little-endian number.
inline format::StreamId StreamNumber(uint64_t n) {
  util::Bytes16 bytes{};
  util::EncodeFixed64(reinterpret_cast<char*>(bytes.data()), n);
  bytes[15] = 0x5a;
  return format::StreamId(bytes);
}

inline format::BranchId BranchNumber(uint8_t n) { return format::BranchId(util::Bytes16{n}); }

inline util::Bytes16 NextIdBytes() {
  static uint64_t counter = 0;
  util::Bytes16 bytes{};
  util::EncodeFixed64(reinterpret_cast<char*>(bytes.data()) + 8, ++counter);
  return bytes;
}

inline format::BatchId OtherBatch() { return format::BatchId(NextIdBytes()); }

// What a test says about one event or system record.
struct Event {
  uint64_t stream = 0;
  uint8_t branch = 0;
  int64_t timestamp = 0;
  size_t payload_bytes = 16;
};

inline std::vector<Event> Events(size_t n, size_t payload_bytes = 16) {
  return std::vector<Event>(n, Event{.payload_bytes = payload_bytes});
}

inline RecordEnvelopeV2 EnvelopeOf(const Event& event) {
  RecordEnvelopeV2 envelope;
  envelope.event_id = format::EventId(NextIdBytes());
  envelope.stream_id = StreamNumber(event.stream);
  envelope.branch_id = BranchNumber(event.branch);
  envelope.timestamp_unix_nanos = event.timestamp;
  return envelope;
}

inline std::string PayloadOf(const RecordEnvelopeV2& envelope, size_t bytes) {
  return std::string(bytes, static_cast<char>('a' + envelope.event_id.bytes()[8] % 26));
}

inline std::string ControlPayload(uint32_t count, uint32_t digest) {
  std::string payload(8, '\0');
  util::EncodeFixed32(payload.data(), count);
  util::EncodeFixed32(payload.data() + 4, digest);
  return payload;
}

// A frame as written, kept to predict what a read returns.
struct Written {
  uint8_t kind = 0;
  uint64_t position = 0;
  uint64_t offset = 0;  // in its segment file
  RecordEnvelopeV2 envelope;
  std::string payload;
};

// What a read hands out until it ends, and the error it ends with.
struct ReadOutcome {
  std::vector<format::OwnedStoredRecord> records;
  std::string error;  // empty when the read ended without one
};

inline ReadOutcome ReadAll(reader::LogReader& reader) {
  ReadOutcome outcome;
  for (;;) {
    Result<std::optional<format::OwnedStoredRecord>> next = reader.NextOwned();
    if (!next.ok()) {
      outcome.error = next.error().ToString();
      return outcome;
    }
    if (!*next) return outcome;
    outcome.records.push_back(std::move(**next));
  }
}

inline std::vector<uint64_t> Positions(const std::vector<format::OwnedStoredRecord>& records) {
  std::vector<uint64_t> positions;
  for (const auto& record : records) positions.push_back(record.position);
  return positions;
}

inline reader::ResolvedFilter Verifying() {
  return reader::ResolvedFilter{.verify_batch_digest = true};
}

}  // namespace corvantine::log::testing
