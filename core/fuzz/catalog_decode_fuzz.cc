// Decoding arbitrary bytes as a stored catalog, a core catalog checkpoint, a
// retention anchor payload or
// one of the JSON records must never crash or allocate from an unchecked
// length, and whatever decodes must encode again to bytes that decode to the
// same value. The first input byte selects the decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "branch/branch.h"
#include "branch/catalog.h"
#include "db/checkpoint.h"
#include "fuzz_check.h"
#include "retention/anchor.h"
#include "stream/catalog.h"
#include "util/coding.h"

using namespace corvantine;
using fuzz::Check;

namespace {

template <typename Catalog>
void RoundTrip(std::string_view input) {
  util::BinaryReader reader(input);
  auto decoded = Catalog::Decode(reader);
  if (!decoded.ok()) return;
  std::string encoded;
  util::BinaryWriter writer(encoded);
  decoded->Encode(writer);
  util::BinaryReader again(encoded);
  auto redecoded = Catalog::Decode(again);
  Check(redecoded.ok() && *redecoded == *decoded);
  std::string reencoded;
  util::BinaryWriter rewriter(reencoded);
  redecoded->Encode(rewriter);
  Check(reencoded == encoded);
}

template <typename Record>
void JsonRoundTrip(std::string_view input) {
  auto record = Record::FromJson(input);
  if (!record.ok()) return;
  auto again = Record::FromJson(record->ToJson());
  Check(again.ok() && *again == *record);
}

void Checkpoint(std::string_view input) {
  auto checkpoint = db::CoreCatalogCheckpoint::Decode(input);
  if (!checkpoint.ok()) return;
  const std::string encoded =
      db::EncodeCoreCatalog(checkpoint->database_id, checkpoint->head, checkpoint->catalog);
  auto again = db::CoreCatalogCheckpoint::Decode(encoded);
  Check(again.ok() && again->catalog == checkpoint->catalog && again->head == checkpoint->head);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 7) {
    case 0: RoundTrip<stream::StreamCatalog>(input); break;
    case 1: RoundTrip<branch::BranchCatalog>(input); break;
    case 2: JsonRoundTrip<branch::BranchInfo>(input); break;
    case 3: RoundTrip<retention::CoreRetentionAnchor>(input); break;
    case 4: JsonRoundTrip<retention::RetentionBranchBootstrap>(input); break;
    case 5: JsonRoundTrip<retention::RetentionConsumerBootstrap>(input); break;
    case 6: Checkpoint(input); break;
  }
  return 0;
}
