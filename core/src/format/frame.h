// The record frame: every record in the log is one self-delimiting,
// checksummed frame. Integers little-endian; total length 32 + E + P:
//
//   0    4  magic "CVN2"
//   4    u16 frame version (2)
//   6    u8  kind: 1 event, 2 system record, 3 batch open, 4 batch commit
//   7    u8  flags (0; anything else is refused)
//   8    u32 envelope length E
//   12   u32 payload length P
//   16   u64 position: the log position the record carries
//   24   u32 CRC-32C of the whole frame except these four bytes
//   28   u32 reserved (0; anything else is refused)
//   32   E   envelope
//   32+E P   payload, opaque
//
// The codec holds no state and does no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/envelope.h"
#include "format/limits.h"

namespace corvantine::format {

inline constexpr size_t kFrameHeaderBytes = 32;

inline constexpr uint8_t kEventFrame = 1;
inline constexpr uint8_t kSystemRecordFrame = 2;
inline constexpr uint8_t kBatchOpenFrame = 3;
inline constexpr uint8_t kBatchCommitFrame = 4;

// One decoded frame, borrowing its payload from the decoded buffer.
struct StoredRecord {
  RecordEnvelopeV2 envelope;
  std::string_view payload;
  uint64_t position = 0;
  uint8_t kind = 0;
  uint8_t flags = 0;       // always 0 once decoded
  uint64_t frame_len = 0;  // 32 + E + P; not read by Encode

  friend bool operator==(const StoredRecord&, const StoredRecord&) = default;
};

// One decoded frame that owns its payload.
struct OwnedStoredRecord {
  RecordEnvelopeV2 envelope;
  std::string payload;
  uint64_t position = 0;
  uint8_t kind = 0;
  uint8_t flags = 0;
  uint64_t frame_len = 0;

  friend bool operator==(const OwnedStoredRecord&, const OwnedStoredRecord&) = default;
};

OwnedStoredRecord ToOwned(StoredRecord record);

// Appends the frame of one record to *out; on error *out is unchanged.
// Checks, in order: kind outside 1..4 -> InvalidFormat "unknown frame kind
// {}"; flags -> InvalidFormat "unknown mandatory frame flags 0x{:02x}";
// ResourceLimit "payload bytes"; then the envelope checks of
// CheckedEnvelopeSize.
Result<> EncodeFrame(uint8_t kind, uint8_t flags, uint64_t position,
                     const RecordEnvelopeV2& envelope, std::string_view payload,
                     const FrameLimits& limits, std::string* out);

// The length 32 + E + P of the frame EncodeFrame would append, after the same
// checks in the same order.
Result<uint64_t> CheckedFrameSize(uint8_t kind, uint8_t flags, const RecordEnvelopeV2& envelope,
                                  std::string_view payload, const FrameLimits& limits);

// Writes the frame (flags 0) into dst[0, frame_len), where frame_len is what
// CheckedFrameSize returned for the same record. Lets a caller lay out
// several frames in one buffer before writing any of them.
void WriteFrame(uint8_t kind, uint64_t position, const RecordEnvelopeV2& envelope,
                std::string_view payload, uint64_t frame_len, char* dst);

inline Result<> Encode(const StoredRecord& record, const FrameLimits& limits, std::string* out) {
  return EncodeFrame(record.kind, record.flags, record.position, record.envelope, record.payload,
                     limits, out);
}

// Decodes the frame at the start of `bytes`, which may extend beyond it.
// Returns nothing while the bytes hold less than a whole frame; a faulty
// header is reported as soon as its 32 bytes are present. Checks, in order:
// magic ("bad v2 frame magic"), version ("unsupported frame version {}"),
// kind, flags, "envelope bytes", "payload bytes", reserved field ("nonzero
// reserved frame header field"), then the checksum, which fails with
// Corrupt at offset = the frame's position field, "v2 crc mismatch: stored
// 0x{:08x}, computed 0x{:08x}", and finally DecodeEnvelope. The envelope is
// not parsed before the checksum passes.
Result<std::optional<StoredRecord>> Decode(std::string_view bytes, const FrameLimits& limits);

// One frame decoded in place, borrowing everything from the decoded bytes.
struct FrameView {
  EnvelopeView envelope;
  std::string_view payload;
  uint64_t position = 0;
  uint8_t kind = 0;
  uint64_t frame_len = 0;
};

// Decode's checks, in the same order and with the same errors, decoding the
// frame in place (see DecodeEnvelopeView). Returns false while the bytes hold
// less than a whole frame; otherwise fills *frame and returns true.
Result<bool> DecodeView(std::string_view bytes, const FrameLimits& limits, FrameView* frame);

// The record that `frame` describes; its payload still borrows the frame.
StoredRecord MakeRecord(const FrameView& frame);

// Makes *record equal to MakeRecord(frame), keeping its storage where it can
// (see AssignEnvelope).
void AssignRecord(const FrameView& frame, StoredRecord* record);

// The length 32 + E + P of the frame at the start of `bytes`, from a header
// that passes Decode's checks up to "payload bytes" (the reserved field and
// the checksum are not tested). Nothing when fewer than 32 bytes are given.
Result<std::optional<uint64_t>> FrameTotalLen(std::string_view bytes, const FrameLimits& limits);

// The CRC-32C of `frame`, exactly one whole frame, skipping bytes 24..28.
uint32_t FrameCrc(std::string_view frame);

}  // namespace corvantine::format
