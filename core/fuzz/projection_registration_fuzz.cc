// Reading arbitrary text as a projection registration (and as the other
// durable record, a consumer checkpoint) must never crash; whatever reads
// must write back to text that reads to the same value, writes to the same
// bytes and keeps its descriptor's fingerprint; a refusal is a placed
// message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "projection/fingerprint.h"
#include "projection/json.h"

using namespace corvantine;
using fuzz::Check;

namespace {

template <typename T>
void CheckRoundTrip(std::string_view text) {
  const util::json::Result<T> read = projection::FromJson<T>(text);
  if (!read.ok()) {
    Check(read.error().message.find(" at line ") != std::string::npos);
    return;
  }
  const std::string written = projection::ToJson(*read);
  const util::json::Result<T> again = projection::FromJson<T>(written);
  Check(again.ok() && *again == *read);
  Check(projection::ToJson(*again) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckRoundTrip<projection::DurableProjectionRegistration>(text);
  CheckRoundTrip<projection::ConsumerCheckpoint>(text);
  const auto registration = projection::FromJson<projection::DurableProjectionRegistration>(text);
  if (registration.ok()) {
    const auto descriptor = projection::FromJson<projection::ProjectionDescriptor>(
        projection::ToJson(registration->descriptor));
    Check(descriptor.ok() && projection::DescriptorFingerprint(*descriptor) ==
                                 projection::DescriptorFingerprint(registration->descriptor));
  }
  return 0;
}
