// Decoding arbitrary bytes as a snapshot file must never crash, and whatever
// decodes must encode to a file that decodes to the same manifest and state.
// Random bytes almost never carry the right manifest checksum, so each input
// is tried a second time with that checksum made right: the manifest reader
// and the state checks behind it are fuzzed too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "snapshot/file.h"
#include "util/coding.h"
#include "util/crc32c.h"

using namespace corvantine;
using fuzz::Check;

namespace {

void CheckDecodes(const std::string& input) {
  const auto decoded = snapshot::DecodeSnapshot(input);
  if (!decoded.ok()) return;
  Check(decoded->state.size() == decoded->manifest.uncompressed_len);
  const auto encoded = snapshot::EncodeSnapshot(decoded->manifest, decoded->state);
  if (!encoded.ok()) {
    // The object form may outgrow the limit that an array form kept to.
    Check(encoded.error().code() == "resource_limit");
    return;
  }
  const auto again = snapshot::DecodeSnapshot(*encoded);
  Check(again.ok() && again->manifest == decoded->manifest && again->state == decoded->state);
  Check(snapshot::EncodeSnapshot(again->manifest, again->state).value() == *encoded);
}

// Writes the CRC-32C of the manifest that the header announces, if the file
// holds it; false when there is none to fix.
bool FixManifestChecksum(std::string& file) {
  if (file.size() < snapshot::kSnapshotHeaderBytes) return false;
  const uint32_t manifest_bytes = util::DecodeFixed32(file.data() + 8);
  if (manifest_bytes > file.size() - snapshot::kSnapshotHeaderBytes) return false;
  util::EncodeFixed32(file.data() + 12, util::crc32c::Value(file.data() + snapshot::kSnapshotHeaderBytes,
                                                          manifest_bytes));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  CheckDecodes(input);
  if (FixManifestChecksum(input)) CheckDecodes(input);
  return 0;
}
