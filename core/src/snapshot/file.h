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
#include <memory>
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

// A snapshot's state bytes, with whatever holds them: the decoded buffer,
// or a read-only map of the file, so that a state of tens of megabytes is
// neither copied nor zeroed before it is read. A mapped file must not
// shrink while its state is held (reading the lost pages would end the
// process): snapshot files are never rewritten in place, and the directory
// lock keeps other processes of ours out.
class StateBytes {
 public:
  StateBytes() = default;
  StateBytes(std::shared_ptr<const void> holder, std::string_view bytes)
      : holder_(std::move(holder)), bytes_(bytes) {}

  std::string_view view() const { return bytes_; }
  operator std::string_view() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

  friend bool operator==(const StateBytes& a, std::string_view b) { return a.bytes_ == b; }
  friend bool operator==(const StateBytes& a, const StateBytes& b) { return a.bytes_ == b.bytes_; }

 private:
  std::shared_ptr<const void> holder_;
  std::string_view bytes_;
};

struct DecodedSnapshot {
  SnapshotManifest manifest;
  StateBytes state;
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

// Reads the file at `path` and decodes it, its state through a read-only
// map. Its size is checked before anything is read, so no file makes this
// map more than kMaxSnapshotFileBytes; file-system failures, a file that
// shrinks before it is mapped included, are Io. An entry that is not a
// regular file (a symbolic link is not followed) is never opened: Corrupt
// "snapshot is not a regular file".
SnapshotResult<DecodedSnapshot> DecodeFile(const std::string& path);

// The manifest alone of the file at `path`, with DecodeFile's checks up to
// the manifest's JSON and its errors: the state is neither read nor checked.
SnapshotResult<SnapshotManifest> DecodeManifestFile(const std::string& path);

}  // namespace corvantine::snapshot
