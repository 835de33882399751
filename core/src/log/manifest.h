// "manifest.json", the log's authoritative document in the data directory: it
// names the active segment, records the retention floor with the number of
// times it moved and the checksum of the anchor it rests on, and carries the
// database's identity and the versions of the storage and payload formats.
//
// The file is one JSON object whose keys are the nine fields in declared
// order, printed with a two-blank indent and no trailing newline; the id is
// an array of its 16 bytes, one number per line. It is replaced whole, never
// edited in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/ids.h"
#include "platform/platform.h"

namespace corvantine::log {

// Makes the creations, renames and removals in the directory at `path`
// durable (fsync of the directory). The log calls it after changing entries
// in "log" and in the data directory.
inline Result<> SyncDir(const std::string& path) { return platform::SyncDir(path); }

namespace manifest {

inline constexpr char kFileName[] = "manifest.json";
inline constexpr char kTempFileName[] = "manifest.json.tmp";

// The versions a new directory is written with; the log opens only storage
// format 2 and payload format 1.
inline constexpr uint32_t kFormatVersion = 3;
inline constexpr uint32_t kStorageFormatVersion = 2;
inline constexpr uint32_t kPayloadFormatVersion = 1;

// Default values are those of a new directory, apart from the id and the
// positions, which its creator sets.
struct Manifest {
  // Version of this document; carried unchanged through every rewrite.
  uint32_t format_version = kFormatVersion;
  uint32_t storage_format_version = kStorageFormatVersion;
  // Stamped into every record envelope.
  format::DatabaseId database_id;
  uint32_t payload_format_version = kPayloadFormatVersion;
  uint64_t active_segment_base = 0;
  // The lowest log position still retained.
  uint64_t retention_floor = 0;
  // Retention activations so far, saturating.
  uint64_t retention_generation = 0;
  // Checksum of the retention anchor the floor rests on; none before the
  // first activation.
  std::optional<uint32_t> retention_anchor_checksum;
  // The log head when the field was last set; never read back by the log.
  uint64_t next_offset = 0;

  // Reads "manifest.json" in `data_dir`. A file that cannot be read is Io
  // with the platform's error unchanged (ENOENT when there is none); a
  // document that does not parse is as Decode says.
  static Result<Manifest> Read(const std::string& data_dir);

  // Replaces "manifest.json" in `data_dir` crash-safely: writes and flushes
  // "manifest.json.tmp", renames it over "manifest.json", flushes the
  // directory. Any failure is Io and leaves the previous "manifest.json" in
  // place unless the rename happened.
  Result<> Write(const std::string& data_dir) const;

  // The exact bytes Write puts in the file.
  std::string Encode() const;

  // Parses a document. Accepted are an object with the keys in any order,
  // unknown keys ignored, and an array of all nine values in declared order.
  // An absent "format_version", "active_segment_base" or "next_offset" is
  // an error; the others default to storage format 1, a zero id, payload
  // format 1, 0, 0 and no checksum. Failures are Manifest errors carrying
  // the JSON reader's message, which ends with the line and column of the
  // fault: "missing field `format_version` at line 1 column 2" for "{}".
  static Result<Manifest> Decode(std::string_view text);

  friend bool operator==(const Manifest&, const Manifest&) = default;
};

}  // namespace manifest
}  // namespace corvantine::log
