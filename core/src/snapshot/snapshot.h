// Snapshot files of projection state, kept below the database root in
// derived/snapshots, so that a projection, or one partition of it, can be
// restored without replaying the whole log:
//
//   derived/snapshots/{id}            a snapshot file (snapshot/file.h); its
//                                     id is its manifest's FileName()
//   derived/snapshots/.{id}.tmp       a snapshot file being written
//   derived/snapshots/catalog.json    the ".snap" names, for outside tools
//   derived/snapshots/catalog.tmp     the catalog being written
//
// Only regular files are snapshots: a directory, FIFO, socket or symbolic
// link in the directory is never opened or followed, and no listing,
// catalog or pruning counts it; one that stands at catalog.json or
// catalog.tmp is removed to make way for the catalog.
//
// A snapshot file never changes once it has its name. At most two decodable
// snapshots are kept per (descriptor fingerprint, partition), the two newest
// by (cursor position, creation time); files that do not decode are never
// pruned, and nothing here reads the catalog. The whole of derived/ may be
// deleted: it is rebuilt from the log.
//
// Ids that callers hand in are checked by ValidateId before they reach any
// path, so no id names a file outside the snapshot directory. Everything
// here runs on the thread that owns the database, and keeps no state between
// calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/ids.h"
#include "snapshot/error.h"
#include "snapshot/file.h"
#include "snapshot/manifest.h"

namespace corvantine::snapshot {

// One snapshot as callers see it; the state bytes are not part of it.
struct SnapshotInfo {
  std::string id;  // the file name
  SnapshotManifest manifest;

  friend bool operator==(const SnapshotInfo&, const SnapshotInfo&) = default;
};

// A snapshot offered for restore, with its state.
struct SnapshotCandidate {
  SnapshotInfo info;
  StateBytes state;
};

// What a projection, or one partition of it, being restored requires of a
// snapshot: the fields of its descriptor that a snapshot must share, and
// where it stands now.
struct RestoreIdentity {
  format::DatabaseId database_id;
  std::string projection_name;
  format::Fingerprint descriptor_fingerprint{};
  format::IdBytes definition_id{};
  uint32_t definition_version = 0;
  format::BranchId branch_id;  // the descriptor's scope branch
  format::Fingerprint branch_lineage_fingerprint{};
  uint32_t state_codec = 0;
  uint32_t state_codec_version = 0;
  std::string partition_scheme_id;
  uint32_t partition_scheme_version = 0;
  uint32_t partition_count = 0;
  // The partition being restored; absent for a projection of one partition.
  std::optional<uint32_t> partition;
  // The highest cursor position acceptable (healing passes the durable head).
  uint64_t max_position = 0;
};

// <root>/derived/snapshots.
std::string SnapshotDir(std::string_view root);

// Writes the snapshot so that a crash at any moment leaves either no file of
// its name or the whole, flushed file:
//   1. the limits of EncodeSnapshot;
//   2. derived/snapshots is created; an existing file of the snapshot's name
//      is Io "File exists (os error 17)", never replaced;
//   3. the file is written to .{id}.tmp (created exclusively), flushed and
//      closed, then read back with DecodeFile, whose error is passed on; a
//      manifest read back that differs is Corrupt "snapshot changed during
//      publication" (so is one whose length or checksum does not describe
//      `state`: the read-back refuses it);
//   4. renamed to {id}; the directory is flushed; the catalog rewritten;
//   5. RetainTwo for the manifest's fingerprint and partition, keeping {id}.
// A failure up to the rename leaves no {id}, and removes the temporary file
// as far as it can (a stale one left by a crash included); a failure after
// it leaves {id} valid in place, and the error is still returned. Returns
// the id and the manifest.
SnapshotResult<SnapshotInfo> Publish(std::string_view root, SnapshotManifest manifest,
                                     std::string_view state);

// ValidateId, then DecodeFile of the snapshot: its id and manifest. The
// state is read and checked, not returned.
SnapshotResult<SnapshotInfo> Verify(std::string_view root, std::string_view id);

// The decodable snapshots whose manifest carries `descriptor_fingerprint`,
// newest first: by cursor position, then creation time, both descending;
// ties keep the directory's order. Damaged files are left out (Verify says
// why) and a missing directory lists nothing, but a file-system call that
// fails (listing the directory, reading a file) is the error: a snapshot
// that could not be read is not known to be absent.
SnapshotResult<std::vector<SnapshotInfo>> List(std::string_view root,
                                               const format::Fingerprint& descriptor_fingerprint);

// As List, from the manifests alone: a file whose state is damaged is listed
// here, and LoadCandidates drops it. Restoring from this list reads each
// state once.
SnapshotResult<std::vector<SnapshotInfo>> ListManifests(
    std::string_view root, const format::Fingerprint& descriptor_fingerprint);

// Whether `manifest` fits `identity`: its format version is 1 or 2, its
// database id, projection name, fingerprints, definition id and version,
// branch id and state codec and version are the identity's, its cursor
// names the manifest's own database, branch and fingerprint, its position
// is at most identity.max_position, and either both it and the identity
// name the same partition (and it names the identity's partition scheme,
// version and count) or neither names one.
bool Fits(const SnapshotManifest& manifest, const RestoreIdentity& identity);

// The snapshots of `listed` (as List or ListManifests returns them) that
// fit `identity`, each read again with its state, in the same order.
// Entries whose id is invalid, that no longer decode or no longer fit are
// dropped; a file that cannot be read is the error, as in List.
SnapshotResult<std::vector<SnapshotCandidate>> LoadCandidates(
    std::string_view root, const std::vector<SnapshotInfo>& listed,
    const RestoreIdentity& identity);

// Removes the snapshot and rewrites the catalog: true. False, with the
// catalog untouched, when there was no such file.
SnapshotResult<bool> Delete(std::string_view root, std::string_view id);

// Removes every snapshot List returns for the fingerprint, then rewrites
// the catalog. A file that cannot be removed is the error: left in place,
// it would be restored again.
SnapshotResult<> DeleteProjection(std::string_view root,
                                  const format::Fingerprint& descriptor_fingerprint);

// Removes <root>/derived with everything below it and flushes the root
// directory; a missing derived/ is success.
SnapshotResult<> DeleteAll(std::string_view root);

// Nanoseconds since the Unix epoch; 0 while the clock stands before it.
int64_t CreatedNow();

// What the operations above are built from.

// An id must be at least 5 bytes long, end in ".snap" and hold no '/', '\\'
// or NUL byte; else Internal "invalid snapshot id". Such an id is one name
// inside the snapshot directory (".." and "." do not end in ".snap").
SnapshotResult<> ValidateId(std::string_view id);

// Rewrites catalog.json as the compact JSON array of the names of the
// directory's regular files that end in ".snap", in listing order,
// undecoded; bytes of a name that are not UTF-8 become U+FFFD. Creates the
// directory first (so an empty one gets "[]"), writes catalog.tmp, flushes
// it, renames it over catalog.json and flushes the directory. What stands
// at catalog.tmp, and anything but a regular file at catalog.json, is
// removed first, unfollowed.
SnapshotResult<> UpdateCatalog(std::string_view root);

// Keeps the two newest snapshots that List gives for the fingerprint and
// whose partition is `partition` (both absent, or equal), and removes the
// rest, except the file named `keep`: a publish never prunes the snapshot it
// has just written, even when two newer ones exist. Failures to remove are
// ignored. Then rewrites the catalog.
SnapshotResult<> RetainTwo(std::string_view root, const format::Fingerprint& descriptor_fingerprint,
                           std::optional<uint32_t> partition, std::string_view keep);

// Every decodable snapshot of the directory in listing order, failing as
// List does. Names that are not valid UTF-8 are skipped: no snapshot is
// named so, and no id could name the file back.
SnapshotResult<std::vector<SnapshotInfo>> Scan(std::string_view root);
// As Scan, each file decoded by DecodeManifestFile.
SnapshotResult<std::vector<SnapshotInfo>> ScanManifests(std::string_view root);

}  // namespace corvantine::snapshot
