#include "snapshot/snapshot.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/platform.h"
#include "platform/system.h"
#include "util/json_writer.h"
#include "util/utf8.h"

namespace corvantine::snapshot {

namespace {

constexpr std::string_view kDerivedDirName = "derived";
constexpr std::string_view kCatalogFileName = "catalog.json";
constexpr std::string_view kTemporaryCatalogFileName = "catalog.tmp";

bool HasSnapshotSuffix(std::string_view name) { return name.ends_with(".snap"); }

std::string PathOf(std::string_view root, std::string_view id) {
  return platform::JoinPath(SnapshotDir(root), id);
}

// Where a snapshot is written before it takes its name: hidden, and without
// the suffix, so that listings and pruning never see it.
std::string TemporaryPathOf(std::string_view root, std::string_view id) {
  return platform::JoinPath(SnapshotDir(root), "." + std::string(id) + ".tmp");
}

// A snapshot file is never replaced: a name already taken fails the publish
// as the exclusive creation of the file would.
SnapshotResult<> RefuseExisting(const std::string& path) {
  if (!platform::PathExists(path)) return {};
  return SnapshotError::Io(CorvantineError::IoFromErrno(EEXIST));
}

// Writes a file just opened, flushes it to stable storage and closes it.
SnapshotResult<> WriteDurably(Result<platform::File> opened, std::string_view content) {
  CVN_ASSIGN_OR_RETURN(platform::File file, Io(std::move(opened)));
  CVN_TRY(Io(file.WriteAt(0, content)));
  CVN_TRY(Io(file.Sync()));
  return Io(file.Close());
}

// What the disk gives back, not what was meant to be written, is published.
SnapshotResult<> ReadBack(const std::string& path, const SnapshotManifest& manifest) {
  CVN_ASSIGN_OR_RETURN(const DecodedSnapshot written, DecodeFile(path));
  if (written.manifest != manifest) {
    return SnapshotError::Corrupt("snapshot changed during publication");
  }
  return {};
}

// The steps of Publish that leave nothing under the final name when they
// fail; the caller removes the temporary file then.
SnapshotResult<> WriteAndRename(const std::string& temporary, const std::string& final_path,
                                const SnapshotManifest& manifest, std::string_view file) {
  CVN_TRY(WriteDurably(platform::CreateExclusive(temporary), file));
  CVN_TRY(ReadBack(temporary, manifest));
  return Io(platform::Rename(temporary, final_path));
}

bool SamePartition(const SnapshotManifest& manifest, std::optional<uint32_t> partition) {
  return manifest.partition == partition;
}

bool CursorIsOwn(const SnapshotManifest& m) {
  return m.cursor.database_id == m.database_id && m.cursor.branch_id == m.branch_id &&
         m.cursor.descriptor_fingerprint == m.descriptor_fingerprint;
}

bool SameDefinition(const SnapshotManifest& m, const RestoreIdentity& identity) {
  return m.projection_name == identity.projection_name &&
         m.descriptor_fingerprint == identity.descriptor_fingerprint &&
         m.definition_id == identity.definition_id &&
         m.definition_version == identity.definition_version &&
         m.state_codec == identity.state_codec &&
         m.state_codec_version == identity.state_codec_version;
}

bool SameHistory(const SnapshotManifest& m, const RestoreIdentity& identity) {
  return m.database_id == identity.database_id && m.branch_id == identity.branch_id &&
         m.branch_lineage_fingerprint == identity.branch_lineage_fingerprint &&
         CursorIsOwn(m) && m.cursor.position <= identity.max_position;
}

// The scheme fields describe the partitioning only when a partition is named.
bool SamePartitioning(const SnapshotManifest& m, const RestoreIdentity& identity) {
  if (!SamePartition(m, identity.partition)) return false;
  return !m.partition || (m.partition_scheme_id == identity.partition_scheme_id &&
                          m.partition_scheme_version == identity.partition_scheme_version &&
                          m.partition_count == identity.partition_count);
}

// The listed snapshot read again, if it still decodes and still fits.
SnapshotResult<std::optional<SnapshotCandidate>> LoadCandidate(std::string_view root,
                                                               const SnapshotInfo& listed,
                                                               const RestoreIdentity& identity) {
  if (!ValidateId(listed.id).ok() || !Fits(listed.manifest, identity)) return std::nullopt;
  SnapshotResult<DecodedSnapshot> decoded = DecodeFile(PathOf(root, listed.id));
  if (!decoded.ok() && decoded.error().IsUnreadable()) return std::move(decoded).error();
  if (!decoded.ok() || !Fits(decoded->manifest, identity)) return std::nullopt;
  return SnapshotCandidate{{listed.id, std::move(decoded->manifest)}, std::move(decoded->state)};
}

std::string CatalogJson(const std::vector<std::string>& names) {
  std::string out;
  out.reserve(128);
  util::json::Writer writer(&out);
  writer.BeginArray();
  for (const std::string& name : names) {
    if (HasSnapshotSuffix(name)) writer.String(util::ReplaceInvalidUtf8(name));
  }
  writer.EndArray();
  return out;
}

bool NewerFirst(const SnapshotInfo& a, const SnapshotInfo& b) {
  return std::pair(a.manifest.cursor.position, a.manifest.created_at_unix_nanos) >
         std::pair(b.manifest.cursor.position, b.manifest.created_at_unix_nanos);
}

// The snapshots of the fingerprint, newest first.
std::vector<SnapshotInfo> NewestOf(std::vector<SnapshotInfo> infos,
                                   const format::Fingerprint& descriptor_fingerprint) {
  std::erase_if(infos, [&](const SnapshotInfo& info) {
    return info.manifest.descriptor_fingerprint != descriptor_fingerprint;
  });
  std::stable_sort(infos.begin(), infos.end(), NewerFirst);
  return infos;
}

// The snapshots of the directory that `decode` reads, in listing order.
template <typename Decode>
SnapshotResult<std::vector<SnapshotInfo>> ScanWith(std::string_view root, Decode decode) {
  Result<std::vector<std::string>> listed = platform::ListRegularFiles(SnapshotDir(root));
  std::vector<SnapshotInfo> infos;
  if (!listed.ok() && listed.error().IsOsError(ENOENT)) return infos;
  CVN_ASSIGN_OR_RETURN(std::vector<std::string> names, Io(std::move(listed)));
  for (std::string& name : names) {
    if (!HasSnapshotSuffix(name) || !util::IsValidUtf8(name)) continue;
    SnapshotResult<SnapshotManifest> decoded = decode(PathOf(root, name));
    if (!decoded.ok() && decoded.error().IsUnreadable()) return std::move(decoded).error();
    if (decoded.ok()) infos.push_back({std::move(name), std::move(decoded).value()});
  }
  return infos;
}

// Makes way at one of the directory's own names for the file about to take
// it: a directory, FIFO, socket or symbolic link standing there is not this
// module's, and is removed, never opened or followed.
SnapshotResult<> ClearStranger(const std::string& path) {
  const Result<platform::EntryStat> entry = platform::StatEntry(path);
  if (!entry.ok() || entry->regular_file) return {};
  return Io(platform::RemoveAll(path));
}

// Writes catalog.tmp, flushes it and renames it over catalog.json. Whatever
// stands at catalog.tmp (left by a crash, or a stranger) is removed, and the
// file created anew, so that nothing found there is opened or followed.
SnapshotResult<> ReplaceCatalog(const std::string& dir, std::string_view json) {
  const std::string temporary = platform::JoinPath(dir, kTemporaryCatalogFileName);
  const std::string catalog = platform::JoinPath(dir, kCatalogFileName);
  CVN_TRY(Io(platform::RemoveAll(temporary)));
  CVN_TRY(WriteDurably(platform::CreateExclusive(temporary), json));
  CVN_TRY(ClearStranger(catalog));
  return Io(platform::Rename(temporary, catalog));
}

SnapshotResult<SnapshotManifest> DecodeWholeFile(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(DecodedSnapshot decoded, DecodeFile(path));
  return std::move(decoded.manifest);
}

}  // namespace

std::string SnapshotDir(std::string_view root) {
  return platform::JoinPath(platform::JoinPath(root, kDerivedDirName), "snapshots");
}

SnapshotResult<SnapshotInfo> Publish(std::string_view root, SnapshotManifest manifest,
                                     std::string_view state) {
  CVN_ASSIGN_OR_RETURN(const std::string file, EncodeSnapshot(manifest, state));
  std::string id = manifest.FileName();
  const std::string final_path = PathOf(root, id);
  const std::string temporary = TemporaryPathOf(root, id);
  CVN_TRY(Io(platform::CreateDirs(SnapshotDir(root))));
  CVN_TRY(RefuseExisting(final_path));
  if (SnapshotResult<> moved = WriteAndRename(temporary, final_path, manifest, file);
      !moved.ok()) {
    (void)platform::RemoveFile(temporary);  // gone already if the rename happened after all
    return std::move(moved).error();
  }
  CVN_TRY(Io(platform::SyncDir(SnapshotDir(root))));
  CVN_TRY(UpdateCatalog(root));
  CVN_TRY(RetainTwo(root, manifest.descriptor_fingerprint, manifest.partition, id));
  return SnapshotInfo{std::move(id), std::move(manifest)};
}

SnapshotResult<SnapshotInfo> Verify(std::string_view root, std::string_view id) {
  CVN_TRY(ValidateId(id));
  CVN_ASSIGN_OR_RETURN(DecodedSnapshot decoded, DecodeFile(PathOf(root, id)));
  return SnapshotInfo{std::string(id), std::move(decoded.manifest)};
}

SnapshotResult<std::vector<SnapshotInfo>> List(std::string_view root,
                                               const format::Fingerprint& descriptor_fingerprint) {
  CVN_ASSIGN_OR_RETURN(std::vector<SnapshotInfo> scanned, Scan(root));
  return NewestOf(std::move(scanned), descriptor_fingerprint);
}

SnapshotResult<std::vector<SnapshotInfo>> ListManifests(
    std::string_view root, const format::Fingerprint& descriptor_fingerprint) {
  CVN_ASSIGN_OR_RETURN(std::vector<SnapshotInfo> scanned, ScanManifests(root));
  return NewestOf(std::move(scanned), descriptor_fingerprint);
}

bool Fits(const SnapshotManifest& m, const RestoreIdentity& identity) {
  const bool known_format =
      m.format_version == kProjectionSnapshotFormat || m.format_version == kPartitionSnapshotFormat;
  return known_format && SameDefinition(m, identity) && SameHistory(m, identity) &&
         SamePartitioning(m, identity);
}

SnapshotResult<std::vector<SnapshotCandidate>> LoadCandidates(
    std::string_view root, const std::vector<SnapshotInfo>& listed,
    const RestoreIdentity& identity) {
  std::vector<SnapshotCandidate> candidates;
  for (const SnapshotInfo& info : listed) {
    CVN_ASSIGN_OR_RETURN(std::optional<SnapshotCandidate> candidate,
                         LoadCandidate(root, info, identity));
    if (candidate) candidates.push_back(std::move(*candidate));
  }
  return candidates;
}

SnapshotResult<bool> Delete(std::string_view root, std::string_view id) {
  CVN_TRY(ValidateId(id));
  const Result<> removed = platform::RemoveFile(PathOf(root, id));
  if (!removed.ok() && removed.error().IsOsError(ENOENT)) return false;
  CVN_TRY(Io(removed));
  CVN_TRY(UpdateCatalog(root));
  return true;
}

SnapshotResult<> DeleteProjection(std::string_view root,
                                  const format::Fingerprint& descriptor_fingerprint) {
  CVN_ASSIGN_OR_RETURN(const std::vector<SnapshotInfo> listed, List(root, descriptor_fingerprint));
  for (const SnapshotInfo& info : listed) {
    const Result<> removed = platform::RemoveFile(PathOf(root, info.id));
    if (!removed.ok() && !removed.error().IsOsError(ENOENT)) CVN_TRY(Io(removed));
  }
  return UpdateCatalog(root);
}

SnapshotResult<> DeleteAll(std::string_view root) {
  CVN_TRY(Io(platform::RemoveAll(platform::JoinPath(root, kDerivedDirName))));
  return Io(platform::SyncDir(std::string(root)));
}

int64_t CreatedNow() {
  // The bit pattern of the unsigned count: negative only past the year 2262.
  return static_cast<int64_t>(platform::NowUnixNanos());
}

SnapshotResult<> ValidateId(std::string_view id) {
  if (!HasSnapshotSuffix(id) || id.find_first_of(std::string_view("/\\\0", 3)) != id.npos) {
    return SnapshotError::Internal("invalid snapshot id");
  }
  return {};
}

SnapshotResult<> UpdateCatalog(std::string_view root) {
  const std::string dir = SnapshotDir(root);
  CVN_TRY(Io(platform::CreateDirs(dir)));
  CVN_ASSIGN_OR_RETURN(const std::vector<std::string> names,
                       Io(platform::ListRegularFiles(dir)));
  CVN_TRY(ReplaceCatalog(dir, CatalogJson(names)));
  return Io(platform::SyncDir(dir));
}

SnapshotResult<> RetainTwo(std::string_view root, const format::Fingerprint& descriptor_fingerprint,
                           std::optional<uint32_t> partition, std::string_view keep) {
  int newer = 0;  // snapshots of the partition seen so far, newest first
  CVN_ASSIGN_OR_RETURN(const std::vector<SnapshotInfo> listed, List(root, descriptor_fingerprint));
  for (const SnapshotInfo& info : listed) {
    if (!SamePartition(info.manifest, partition)) continue;
    if (++newer > 2 && info.id != keep) (void)platform::RemoveFile(PathOf(root, info.id));
  }
  return UpdateCatalog(root);
}

SnapshotResult<std::vector<SnapshotInfo>> Scan(std::string_view root) {
  return ScanWith(root, DecodeWholeFile);
}

SnapshotResult<std::vector<SnapshotInfo>> ScanManifests(std::string_view root) {
  return ScanWith(root, DecodeManifestFile);
}

}  // namespace corvantine::snapshot
