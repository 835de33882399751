#include "projection/fingerprint.h"

#include <limits>
#include <string>
#include <vector>

#include "branch/catalog.h"
#include "projection/json.h"
#include "util/coding.h"

namespace corvantine::projection {

format::Fingerprint DescriptorFingerprint(const ProjectionDescriptor& descriptor) {
  return util::DualHash(ToJson(descriptor));
}

format::Fingerprint LineageFingerprint(const branch::BranchCatalog& catalog,
                                       const format::BranchId& branch) {
  util::DualHasher hasher;
  Result<std::vector<branch::BranchInfo>> lineage = catalog.Ancestry(branch);
  if (!lineage.ok()) return hasher.Finish();
  for (const branch::BranchInfo& member : *lineage) {
    char fork_position[8];
    util::EncodeFixed64(fork_position,
                        member.fork_position.value_or(std::numeric_limits<uint64_t>::max()));
    hasher.Update(member.id.bytes().data(), member.id.bytes().size());
    hasher.Update(fork_position, sizeof fork_position);
  }
  return hasher.Finish();
}

format::IdBytes QueryDefinitionId(std::string_view name, const QueryDefinition& definition) {
  util::DualHasher hasher;
  hasher.Update(name);
  hasher.Update(ToJson(definition));
  return hasher.Finish();
}

}  // namespace corvantine::projection
