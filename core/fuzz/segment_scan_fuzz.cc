// Scanning arbitrary bytes as a segment must never crash, and the repair it
// decides must be stable: the kept prefix scans again as a clean segment
// with the same next position, and so does the kept prefix followed by the
// zeros a power failure may leave. A frame found after the stop lies beyond
// it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "log/segment.h"

using namespace corvantine;
using fuzz::Check;

namespace {

constexpr uint64_t kBase = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto scan = log::segment::ScanSegment(input, kBase);
  if (!scan.ok()) return 0;
  Check(scan->good_length <= size);
  Check((scan->reason == log::segment::StopReason::kCleanEof) == (scan->good_length == size));
  Check(scan->next_position >= kBase);
  Check(scan->stop_offset >= scan->good_length && scan->stop_offset <= size);
  Check(!scan->frame_after_stop || *scan->frame_after_stop > scan->stop_offset);

  const auto again = log::segment::ScanSegment(input.substr(0, scan->good_length), kBase);
  Check(again.ok());
  Check(again->reason == log::segment::StopReason::kCleanEof);
  Check(again->good_length == scan->good_length);
  Check(again->next_position == scan->next_position);

  // Fewer zeros than a frame header, and more.
  const std::string zero_filled =
      std::string(input.substr(0, scan->good_length)) + std::string(1 + size % 64, '\0');
  const auto filled = log::segment::ScanSegment(zero_filled, kBase);
  Check(filled.ok());
  Check(filled->reason == log::segment::StopReason::kTornTail);
  Check(filled->good_length == scan->good_length);
  Check(filled->next_position == scan->next_position);
  return 0;
}
