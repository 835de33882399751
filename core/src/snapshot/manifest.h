// The manifest: the JSON header of every snapshot file. It names the
// projection (or the one partition of it) whose state the file holds, the
// database, branch and lineage the state was built on, how far it has
// applied the log, and the length and CRC-32C of the state bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "format/ids.h"
#include "format/projection_cursor.h"
#include "snapshot/error.h"

namespace corvantine::snapshot {

// format_version of a whole-projection snapshot and of a partition snapshot.
inline constexpr uint32_t kProjectionSnapshotFormat = 1;
inline constexpr uint32_t kPartitionSnapshotFormat = 2;

struct SnapshotManifest {
  uint32_t format_version = kProjectionSnapshotFormat;
  format::DatabaseId database_id;
  std::string projection_name;
  format::Fingerprint descriptor_fingerprint{};
  format::IdBytes definition_id{};
  uint32_t definition_version = 0;
  format::BranchId branch_id;  // the branch the projection is scoped to
  format::Fingerprint branch_lineage_fingerprint{};
  format::ProjectionCursor cursor;
  uint32_t state_codec = 0;
  uint32_t state_codec_version = 0;
  int64_t created_at_unix_nanos = 0;
  uint64_t uncompressed_len = 0;  // length of the state bytes
  uint32_t checksum = 0;          // CRC-32C of the state bytes
  // Set for a partition snapshot only; the scheme fields then describe the
  // projection's partitioning.
  std::optional<uint32_t> partition;
  std::optional<std::string> partition_scheme_id;
  std::optional<uint32_t> partition_scheme_version;
  std::optional<uint32_t> partition_count;

  // Compact JSON with all 18 keys in declared order, absent values as null,
  // ids as arrays of 16 numbers; the cursor is an object with the keys
  // database_id, branch_id, position, descriptor_fingerprint. A text field
  // that is not valid UTF-8 could never be read back: Internal
  // "snapshot manifest text is not valid UTF-8".
  SnapshotResult<std::string> ToJson() const;

  // The object form with keys in any order (unknown keys skipped, absent
  // optional keys read as absent) or an array of the 18 values in declared
  // order. A missing or repeated key, a value of the wrong type or range,
  // or anything but whitespace after the value is Corrupt with the JSON
  // reader's message. Field values are not judged.
  static SnapshotResult<SnapshotManifest> FromJson(std::string_view json);

  // The snapshot's file name, which is its id everywhere:
  //   {descriptor fingerprint, 32 hex digits}-p{partition or 0, at least 4
  //   digits}-{cursor position, 20 digits}-{creation time's bit pattern,
  //   16 hex digits}.snap
  // Hexadecimal digits are lowercase; numbers are zero-padded.
  std::string FileName() const;

  friend bool operator==(const SnapshotManifest&, const SnapshotManifest&) = default;
};

}  // namespace corvantine::snapshot
