// Decoding arbitrary bytes as a sidecar file must never crash, and whatever
// decodes must encode to the same bytes, except the reserved field, which is
// ignored when read and written as 0.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "log/index.h"
#include "util/coding.h"
#include "util/crc32c.h"

using namespace corvantine;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto decoded = log::index::Sidecar::Decode(input);
  if (!decoded.ok()) return 0;

  std::string expected(input);
  util::EncodeFixed16(expected.data() + 6, 0);
  const size_t body = expected.size() - 4;
  util::EncodeFixed32(expected.data() + body, util::crc32c::Value(expected.data(), body));
  Check(decoded->Encode() == expected);
  return 0;
}
