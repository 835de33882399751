// Sample manifests for the tests of the snapshot module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "format/test_util.h"
#include "snapshot/manifest.h"
#include "util/crc32c.h"

namespace corvantine::snapshot {

using format::testing::FilledId;

// The manifest of `state` for projection "v" of database 11.., branch 22..,
// fingerprint AA.., at `position`, created at `created`; a partition of a
// four-partition projection when `partition` is set.
inline SnapshotManifest SampleManifest(uint64_t position, int64_t created,
                                       std::optional<uint32_t> partition = std::nullopt,
                                       std::string_view state = "state") {
  SnapshotManifest m;
  m.format_version = partition ? kPartitionSnapshotFormat : kProjectionSnapshotFormat;
  m.database_id = format::DatabaseId(FilledId(0x11));
  m.projection_name = "v";
  m.descriptor_fingerprint = FilledId(0xAA);
  m.definition_id = FilledId(0xDD);
  m.definition_version = 1;
  m.branch_id = format::BranchId(FilledId(0x22));
  m.branch_lineage_fingerprint = FilledId(0x33);
  m.cursor = {m.database_id, m.branch_id, position, m.descriptor_fingerprint};
  m.state_codec = 1;
  m.state_codec_version = 1;
  m.created_at_unix_nanos = created;
  m.uncompressed_len = state.size();
  m.checksum = util::crc32c::Value(state);
  m.partition = partition;
  if (partition) {
    m.partition_scheme_id = "stream-id-modulo";
    m.partition_scheme_version = 1;
    m.partition_count = 4;
  }
  return m;
}

}  // namespace corvantine::snapshot
