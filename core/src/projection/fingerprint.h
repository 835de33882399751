// The 16-byte fingerprints that tie stored projection state to what it was
// built from: the dual hash of util/hash.h (an FNV-1a 64 lane beside a
// multiply-xor lane) over exactly defined bytes. Snapshot manifests and
// retention coverage store them, so their inputs must never change.
#pragma once

#include <string_view>

#include "format/ids.h"
#include "format/projection_cursor.h"
#include "util/hash.h"

namespace corvantine::branch {
class BranchCatalog;
}  // namespace corvantine::branch

namespace corvantine::projection {

struct ProjectionDescriptor;
struct QueryDefinition;

// The hash of the descriptor's compact JSON (projection/json.h): any change
// of a field, of the order of the input types or of the index map changes
// it.
format::Fingerprint DescriptorFingerprint(const ProjectionDescriptor& descriptor);

// The hash of the branch's lineage, root first: per member its 16-byte id,
// then its fork position as u64 little-endian, or all ones for the root.
// A lineage the catalog cannot resolve gives the hash of empty input.
format::Fingerprint LineageFingerprint(const branch::BranchCatalog& catalog,
                                       const format::BranchId& branch);

// The definition id of a JSON index: the hash of the name's bytes followed
// by the definition's compact JSON.
format::IdBytes QueryDefinitionId(std::string_view name, const QueryDefinition& definition);

}  // namespace corvantine::projection
