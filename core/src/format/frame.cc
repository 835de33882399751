#include "format/frame.h"

#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::format {

namespace {

constexpr char kMagic[4] = {'C', 'V', 'N', '2'};
constexpr uint16_t kFrameVersion = 2;
constexpr size_t kCrcOffset = 24;
constexpr size_t kReservedOffset = 28;

struct FrameHeader {
  uint8_t kind;
  uint32_t envelope_len;
  uint32_t payload_len;
  uint64_t position;
  uint32_t crc;
  uint32_t reserved;

  uint64_t frame_len() const { return kFrameHeaderBytes + uint64_t{envelope_len} + payload_len; }
};

// A frame of any other kind would make every reader refuse the log.
bool KnownKindAndFlags(uint8_t kind, uint8_t flags) {
  return kind >= kEventFrame && kind <= kBatchCommitFrame && flags == 0;
}

// The error of a kind or flags that KnownKindAndFlags refuses. (The checks
// return a bool and leave the error to a function of its own because they
// run for every frame, and a successful Result<> costs more than a bool.)
CorvantineError UnknownKindOrFlags(uint8_t kind, uint8_t flags) {
  if (kind < kEventFrame || kind > kBatchCommitFrame) {
    return CorvantineError::InvalidFormat(fmt::format("unknown frame kind {}", kind));
  }
  return CorvantineError::InvalidFormat(
      fmt::format("unknown mandatory frame flags {:#04x}", flags));
}

CorvantineError PayloadTooLarge(uint64_t payload_len, const FrameLimits& limits) {
  return CorvantineError::ResourceLimit("payload bytes", payload_len, limits.max_payload_bytes);
}

void EncodeHeader(const FrameHeader& header, char* dst) {
  std::memcpy(dst, kMagic, sizeof kMagic);
  util::EncodeFixed16(dst + 4, kFrameVersion);
  dst[6] = static_cast<char>(header.kind);
  dst[7] = 0;  // flags
  util::EncodeFixed32(dst + 8, header.envelope_len);
  util::EncodeFixed32(dst + 12, header.payload_len);
  util::EncodeFixed64(dst + 16, header.position);
  util::EncodeFixed32(dst + kCrcOffset, header.crc);
  util::EncodeFixed32(dst + kReservedOffset, header.reserved);
}

// Requires at least kFrameHeaderBytes. Checks everything but the reserved
// field and the checksum.
Result<FrameHeader> ParseHeader(std::string_view bytes, const FrameLimits& limits) {
  const char* src = bytes.data();
  if (std::memcmp(src, kMagic, sizeof kMagic) != 0) {
    return CorvantineError::InvalidFormat("bad v2 frame magic");
  }
  const uint16_t version = util::DecodeFixed16(src + 4);
  if (version != kFrameVersion) {
    return CorvantineError::InvalidFormat(fmt::format("unsupported frame version {}", version));
  }
  FrameHeader header;
  header.kind = static_cast<uint8_t>(src[6]);
  const auto flags = static_cast<uint8_t>(src[7]);
  if (!KnownKindAndFlags(header.kind, flags)) return UnknownKindOrFlags(header.kind, flags);
  header.envelope_len = util::DecodeFixed32(src + 8);
  if (header.envelope_len > limits.max_envelope_bytes) {
    return CorvantineError::ResourceLimit("envelope bytes", header.envelope_len,
                                          limits.max_envelope_bytes);
  }
  header.payload_len = util::DecodeFixed32(src + 12);
  if (header.payload_len > limits.max_payload_bytes) {
    return PayloadTooLarge(header.payload_len, limits);
  }
  header.position = util::DecodeFixed64(src + 16);
  header.crc = util::DecodeFixed32(src + kCrcOffset);
  header.reserved = util::DecodeFixed32(src + kReservedOffset);
  return header;
}

}  // namespace

OwnedStoredRecord ToOwned(StoredRecord record) {
  return OwnedStoredRecord{std::move(record.envelope), std::string(record.payload),
                           record.position, record.kind, record.flags, record.frame_len};
}

Result<uint64_t> CheckedFrameSize(uint8_t kind, uint8_t flags, const RecordEnvelopeV2& envelope,
                                  std::string_view payload, const FrameLimits& limits) {
  if (!KnownKindAndFlags(kind, flags)) return UnknownKindOrFlags(kind, flags);
  if (payload.size() > limits.max_payload_bytes) return PayloadTooLarge(payload.size(), limits);
  CVN_ASSIGN_OR_RETURN(uint64_t envelope_len, CheckedEnvelopeSize(envelope, limits));
  return kFrameHeaderBytes + envelope_len + payload.size();
}

void WriteFrame(uint8_t kind, uint64_t position, const RecordEnvelopeV2& envelope,
                std::string_view payload, uint64_t frame_len, char* dst) {
  const uint64_t envelope_len = frame_len - kFrameHeaderBytes - payload.size();
  const FrameHeader header{kind, static_cast<uint32_t>(envelope_len),
                           static_cast<uint32_t>(payload.size()), position, 0, 0};
  EncodeHeader(header, dst);
  char* end = WriteEnvelope(envelope, dst + kFrameHeaderBytes);
  std::memcpy(end, payload.data(), payload.size());
  util::EncodeFixed32(dst + kCrcOffset, FrameCrc(std::string_view(dst, frame_len)));
}

Result<> EncodeFrame(uint8_t kind, uint8_t flags, uint64_t position,
                     const RecordEnvelopeV2& envelope, std::string_view payload,
                     const FrameLimits& limits, std::string* out) {
  // Everything is checked before the first byte is written, so a failure
  // leaves *out untouched and the frame is written in one pass.
  CVN_ASSIGN_OR_RETURN(uint64_t frame_len,
                       CheckedFrameSize(kind, flags, envelope, payload, limits));
  const size_t start = out->size();
  out->resize(start + frame_len);
  WriteFrame(kind, position, envelope, payload, frame_len, out->data() + start);
  return {};
}

Result<std::optional<StoredRecord>> Decode(std::string_view bytes, const FrameLimits& limits) {
  FrameView frame;
  CVN_ASSIGN_OR_RETURN(const bool whole, DecodeView(bytes, limits, &frame));
  if (!whole) return std::nullopt;
  return MakeRecord(frame);
}

Result<bool> DecodeView(std::string_view bytes, const FrameLimits& limits, FrameView* frame) {
  if (bytes.size() < kFrameHeaderBytes) return false;
  CVN_ASSIGN_OR_RETURN(const FrameHeader header, ParseHeader(bytes, limits));
  if (header.reserved != 0) {
    return CorvantineError::InvalidFormat("nonzero reserved frame header field");
  }
  if (bytes.size() < header.frame_len()) return false;
  const std::string_view whole = bytes.substr(0, header.frame_len());
  const uint32_t computed = FrameCrc(whole);
  if (header.crc != computed) {
    return CorvantineError::Corrupt(
        header.position,
        fmt::format("v2 crc mismatch: stored {:#010x}, computed {:#010x}", header.crc, computed));
  }
  CVN_TRY(DecodeEnvelopeView(whole.substr(kFrameHeaderBytes, header.envelope_len), limits,
                             &frame->envelope));
  frame->payload = whole.substr(kFrameHeaderBytes + header.envelope_len);
  frame->position = header.position;
  frame->kind = header.kind;
  frame->frame_len = whole.size();
  return true;
}

StoredRecord MakeRecord(const FrameView& frame) {
  return StoredRecord{MakeEnvelope(frame.envelope), frame.payload, frame.position, frame.kind,
                      /*flags=*/0, frame.frame_len};
}

void AssignRecord(const FrameView& frame, StoredRecord* record) {
  AssignEnvelope(frame.envelope, &record->envelope);
  record->payload = frame.payload;
  record->position = frame.position;
  record->kind = frame.kind;
  record->flags = 0;
  record->frame_len = frame.frame_len;
}

Result<std::optional<uint64_t>> FrameTotalLen(std::string_view bytes, const FrameLimits& limits) {
  if (bytes.size() < kFrameHeaderBytes) return std::nullopt;
  CVN_ASSIGN_OR_RETURN(const FrameHeader header, ParseHeader(bytes, limits));
  return header.frame_len();
}

uint32_t FrameCrc(std::string_view frame) {
  const uint32_t crc = util::crc32c::Value(frame.data(), kCrcOffset);
  return util::crc32c::Extend(crc, frame.data() + kReservedOffset, frame.size() - kReservedOffset);
}

}  // namespace corvantine::format
