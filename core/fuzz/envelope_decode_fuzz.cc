// Decoding arbitrary bytes as an envelope must never crash, and whatever
// decodes must encode again to an envelope of the same bytes, up to the
// order of metadata entries, that decodes to the same value.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto& limits = log::record::kStandardLimits;
  const auto decoded = format::DecodeEnvelope(input, limits);
  if (!decoded.ok()) return 0;
  const format::RecordEnvelopeV2& envelope = *decoded;

  const auto checked_size = format::CheckedEnvelopeSize(envelope, limits);
  if (size > limits.max_envelope_bytes) {
    Check(!checked_size.ok());
    return 0;
  }
  Check(checked_size.ok() && *checked_size == size);
  std::string encoded;
  format::AppendEnvelope(envelope, &encoded);
  Check(encoded.size() == size);
  if (envelope.metadata.size() < 2) Check(encoded == input);
  const auto again = format::DecodeEnvelope(encoded, limits);
  Check(again.ok() && *again == envelope);
  return 0;
}
