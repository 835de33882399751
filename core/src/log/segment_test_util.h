// Helpers shared by the segment's test files: envelopes, batches and
// control payloads as the log writes them, frames decoded back, the warning a
// cut tail prints, and a fixture over a temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "format/frame.h"
#include "format/ids.h"
#include "log/record.h"
#include "log/segment.h"
#include "log/test_util.h"
#include "platform/platform.h"
#include "testing/test_util.h"
#include "util/coding.h"

namespace corvantine::log::segment::testing {

inline constexpr std::string_view kPayloads[] = {"alpha", "beta", "gamma", "delta"};

inline format::RecordEnvelopeV2 EventEnvelope(uint8_t batch_tag, uint32_t index) {
  format::RecordEnvelopeV2 envelope;
  envelope.event_id = format::EventId(format::IdBytes{batch_tag, static_cast<uint8_t>(index)});
  envelope.stream_id = format::StreamId(format::IdBytes{7});
  envelope.stream_revision = format::StreamRevision{index};
  envelope.timestamp_unix_nanos = 1'000 + index;
  envelope.event_type = *format::EventType::New("order.placed");
  envelope.payload_format = 0x80000001;
  envelope.batch_id = format::BatchId(format::IdBytes{batch_tag});
  envelope.batch_index = index;
  envelope.metadata = {{std::string(format::kStreamNameKey), "orders"}};
  return envelope;
}

inline std::vector<BatchRecord> Batch(uint8_t tag, uint32_t count) {
  std::vector<BatchRecord> records;
  for (uint32_t i = 0; i < count; ++i) {
    records.push_back({EventEnvelope(tag, i), kPayloads[i % std::size(kPayloads)]});
  }
  return records;
}

inline format::RecordEnvelopeV2 SystemEnvelope() {
  format::RecordEnvelopeV2 envelope;
  envelope.event_type = *format::EventType::New("corvantine.branch.created");
  envelope.payload_format = 1;
  return envelope;
}

using log::testing::ControlPayload;

inline std::string ReadAll(const std::string& path) { return *platform::ReadFile(path); }

inline std::vector<format::OwnedStoredRecord> Frames(std::string_view bytes) {
  std::vector<format::OwnedStoredRecord> frames;
  while (!bytes.empty()) {
    auto frame = record::DecodeOwned(bytes);
    if (!frame.ok() || !frame->has_value()) break;
    bytes.remove_prefix((*frame)->frame_len);
    frames.push_back(std::move(**frame));
  }
  return frames;
}

// The byte offset of every frame in `bytes`.
inline std::vector<uint64_t> FrameStarts(std::string_view bytes) {
  std::vector<uint64_t> starts;
  uint64_t offset = 0;
  for (const format::OwnedStoredRecord& frame : Frames(bytes)) {
    starts.push_back(offset);
    offset += frame.frame_len;
  }
  return starts;
}

inline std::string Warning(const std::string& path, uint64_t at, StopReason reason,
                           uint64_t dropped) {
  return fmt::format("corvantine: truncating {} at byte {} ({}), dropping {} trailing byte(s)\n",
                     path, at, StopReasonText(reason), dropped);
}

class SegmentTest : public ::testing::Test {
 protected:
  std::string PathOf(uint64_t base) const {
    return platform::JoinPath(dir_.path(), SegmentFileName(base));
  }

  struct Opened {
    Result<Segment> segment;
    std::string warning;  // what the open printed on stderr
  };
  static Opened OpenCapturing(const std::string& path) {
    ::testing::internal::CaptureStderr();
    Result<Segment> segment = Segment::Open(path);
    return {std::move(segment), ::testing::internal::GetCapturedStderr()};
  }

  platform::TempDir dir_;
};

}  // namespace corvantine::log::segment::testing
