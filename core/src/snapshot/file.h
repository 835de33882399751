// The snapshot file: a manifest and the state bytes it describes, both
// checked by CRC-32C. Little-endian layout:
//
//   offset  size  field
//   0       8     magic "CRVSNAP1"
//   8       4     manifest length M, 1 ..= 65536
//   12      4     CRC-32C of the manifest
//   16      M     the manifest's compact JSON (snapshot/manifest.h)
//   16 + M  S     the state bytes, S = file length - 16 - M, at most 64 MiB
//
// The state is stored as the projection runtime produced it; its format is
// named by the manifest's state codec. Decoding checks the file against
// itself only: whether the manifest fits a projection is the caller's
// question.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "snapshot/error.h"
#include "snapshot/manifest.h"

namespace corvantine::snapshot {

inline constexpr uint64_t kSnapshotMagic = 0x3150414E53565243;  // "CRVSNAP1" read as a u64
inline constexpr size_t kSnapshotHeaderBytes = 16;
inline constexpr uint64_t kMaxManifestBytes = 65536;
inline constexpr uint64_t kMaxStateBytes = 67108864;  // 64 MiB
inline constexpr uint64_t kMaxSnapshotFileBytes =
    kSnapshotHeaderBytes + kMaxManifestBytes + kMaxStateBytes;

struct DecodedSnapshot {
  SnapshotManifest manifest;
  std::string state;
};

// The whole file for `manifest` and `state`. State above kMaxStateBytes is
// ResourceLimit "snapshot state", a manifest whose JSON exceeds
// kMaxManifestBytes ResourceLimit "snapshot manifest"; a manifest that
// cannot be written fails as ToJson does. Whether the manifest's length and
// checksum describe the state is not checked here: decoding the result is.
SnapshotResult<std::string> EncodeSnapshot(const SnapshotManifest& manifest,
                                           std::string_view state);

// Checks a whole file's bytes, the first failure ending it, each Corrupt:
//   length below 16 or above kMaxSnapshotFileBytes
//     -> "snapshot length is invalid";
//   the magic -> "snapshot magic is invalid";
//   M of 0, above 65536 or beyond the end -> "snapshot manifest length is invalid";
//   the manifest's CRC-32C -> "snapshot manifest checksum mismatch";
//   the manifest's JSON -> the JSON reader's message;
//   S above 64 MiB or not the manifest's uncompressed_len
//     -> "snapshot state length mismatch";
//   the state's CRC-32C against the manifest's checksum
//     -> "snapshot checksum mismatch".
SnapshotResult<DecodedSnapshot> DecodeSnapshot(std::string file);

// Reads the file at `path` and decodes it. Its size is checked before
// anything is read, so no file makes this allocate more than
// kMaxSnapshotFileBytes; file-system failures, a file that shrinks meanwhile
// included, are Io.
SnapshotResult<DecodedSnapshot> DecodeFile(const std::string& path);

// The manifest alone of the file at `path`, with DecodeFile's checks up to
// the manifest's JSON and its errors: the state is neither read nor checked.
SnapshotResult<SnapshotManifest> DecodeManifestFile(const std::string& path);

}  // namespace corvantine::snapshot
