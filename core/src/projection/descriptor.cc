#include "projection/descriptor.h"

#include <utility>

#include "projection/fingerprint.h"
#include "util/coding.h"

namespace corvantine::projection {

uint32_t StreamPartition(const format::StreamId& stream, uint32_t count) {
  const uint64_t low = util::DecodeFixed64(reinterpret_cast<const char*>(stream.bytes().data()));
  return static_cast<uint32_t>(low % count);
}

ProjectionDescriptor QueryDescriptor(std::string name, const QueryDefinition& definition,
                                     uint32_t partition_count) {
  ProjectionDescriptor descriptor;
  descriptor.definition_id = QueryDefinitionId(name, definition);
  descriptor.name = std::move(name);
  descriptor.definition_version = 1;
  descriptor.state_codec = kJsonStateCodec;
  descriptor.state_codec_version = kJsonStateCodecVersion;
  descriptor.partition_scheme.partition_count = partition_count;
  return descriptor;
}

}  // namespace corvantine::projection
