// Decoding arbitrary text as a manifest must never crash, and a manifest
// that decodes must encode to a document that decodes to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "log/manifest.h"

using namespace corvantine;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto decoded = log::manifest::Manifest::Decode(input);
  if (!decoded.ok()) return 0;
  const std::string encoded = decoded->Encode();
  const auto again = log::manifest::Manifest::Decode(encoded);
  Check(again.ok() && *again == *decoded);
  Check(again->Encode() == encoded);
  return 0;
}
