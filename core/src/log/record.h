// The frame codec as the log uses it: every frame the log writes or reads is
// checked against the same standard limits. Also the payload of the batch
// control frames, and the check of a batch's events against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/format.h"

namespace corvantine::log::record {

inline constexpr format::FrameLimits kStandardLimits{
    .max_envelope_bytes = 1'048'576,
    .max_payload_bytes = 16'777'216,
    .max_metadata_value_bytes = 65'536,
    .max_metadata_entries = 256,
    .max_metadata_key_bytes = 1'024,
    .max_event_type_bytes = 1'024,
};

// Appends the frame of (kind, position, envelope, payload), flags 0, to *out;
// on error *out is unchanged.
Result<> EncodeKind(uint8_t kind, uint64_t position, const format::RecordEnvelopeV2& envelope,
                    std::string_view payload, std::string* out);

// format::Decode with the standard limits; a whole frame comes back with its
// payload copied.
Result<std::optional<format::OwnedStoredRecord>> DecodeOwned(std::string_view bytes);

// The payload of both control frames of a batch, little-endian: the number
// of its events (never 0) and the batch digest, the CRC-32C of its event
// frames exactly as written.
struct BatchControl {
  static constexpr size_t kBytes = 8;

  uint32_t count = 0;
  uint32_t digest = 0;
};

// Reads a control frame's payload. Fails with InvalidFormat "batch control
// payload must be eight bytes" or "batch control count must be nonzero".
Result<BatchControl> ParseBatchControl(std::string_view payload);

// Writes `control` into dst[0, BatchControl::kBytes).
void EncodeBatchControl(BatchControl control, char* dst);

// The events of a batch, counted and checksummed as they are read, to be
// checked against its control frames.
class BatchTally {
 public:
  // Starts a batch whose open frame carries `open`.
  explicit BatchTally(BatchControl open) : open_(open) {}

  // Counts one event frame, given exactly as stored.
  void AddEvent(std::string_view frame);
  // Whether the events have reached the open frame's count, so that another
  // one would be one too many.
  bool full() const { return events_ >= open_.count; }
  // Whether a commit frame carrying `commit` closes the batch: it repeats
  // the open frame's count and digest, and the events are that many and
  // have that digest.
  bool Matches(BatchControl commit) const;

 private:
  BatchControl open_;
  uint32_t events_ = 0;
  uint32_t crc_ = 0;
};

}  // namespace corvantine::log::record
