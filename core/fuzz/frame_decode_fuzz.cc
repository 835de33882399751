// Decoding arbitrary bytes as a frame must never crash, and whatever decodes
// must be a frame the encoder writes: encoding the record again reproduces
// the input, except that the encoder stores metadata keys in byte order while
// the decoder accepts any order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "format/format.h"
#include "fuzz_check.h"
#include "log/record.h"

using namespace corvantine;
using fuzz::Check;

namespace {

// Frame header and envelope bytes before the first metadata entry.
size_t BytesBeforeEntries(const format::StoredRecord& record) {
  return format::kFrameHeaderBytes + 114 + record.envelope.event_type.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto& limits = log::record::kStandardLimits;
  const auto total_len = format::FrameTotalLen(input, limits);
  const auto decoded = format::Decode(input, limits);
  if (!decoded.ok() || !decoded->has_value()) return 0;
  const format::StoredRecord& record = **decoded;
  Check(total_len.ok() && *total_len == record.frame_len);
  const std::string_view frame = input.substr(0, record.frame_len);

  std::string encoded;
  Check(format::Encode(record, limits, &encoded).ok());
  if (record.envelope.metadata.size() < 2) {
    Check(encoded == frame);
  } else {
    // Everything but the checksum up to the entries, then the same record.
    const size_t prefix = BytesBeforeEntries(record);
    Check(encoded.size() == frame.size());
    Check(frame.compare(0, 24, encoded, 0, 24) == 0);
    Check(frame.compare(28, prefix - 28, encoded, 28, prefix - 28) == 0);
    const auto again = format::Decode(encoded, limits);
    Check(again.ok() && again->has_value() && **again == record);
  }
  return 0;
}
