#include "log/log.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "log/record.h"
#include "platform/platform.h"
#include "util/warning.h"

namespace corvantine::log {

namespace {

// The extension of a file name as a path sees it: none for "x" or ".seg",
// "seg" for "1.seg" and "a.b.seg".
std::optional<std::string_view> Extension(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return name.substr(dot + 1);
}

bool IsNotFound(const CorvantineError& error) {
  return error.IsOsError(ENOENT);
}

// Releases a segment file that was created for a roll and never used. If the
// removal fails the empty file stays; the next open removes it as an orphan.
void RemoveUnusedSegment(segment::Segment unused) {
  const std::string path = unused.path();
  (void)unused.file().Close();
  (void)platform::RemoveFile(path);
}

// Segments beyond the active one are left by a roll that stopped before its
// manifest write. An empty one is removed; a non-empty one may hold
// acknowledged records, so the open refuses to guess.
Result<> RemoveEmptyOrphan(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(uint64_t size, platform::FileSizeOf(path));
  if (size > 0) {
    return CorvantineError::Manifest(
        fmt::format("orphaned segment {:?} beyond the active one is non-empty ({} bytes) — "
                    "refusing to delete",
                    path, size));
  }
  return platform::RemoveFile(path);
}

struct ClassifiedSegments {
  std::vector<SegmentMeta> closed;
  std::optional<segment::Segment> active;
};

// Sorts the discovered segments into closed ones, the active one (opened and
// repaired) and orphans beyond it.
Result<ClassifiedSegments> ClassifySegments(const std::vector<SegmentMeta>& segments,
                                            uint64_t active_base) {
  ClassifiedSegments result;
  for (const SegmentMeta& meta : segments) {
    if (meta.base < active_base) {
      result.closed.push_back(meta);
    } else if (meta.base == active_base) {
      CVN_ASSIGN_OR_RETURN(segment::Segment active, segment::Segment::Open(meta.path));
      result.active.emplace(std::move(active));
    } else {
      CVN_TRY(RemoveEmptyOrphan(meta.path));
    }
  }
  if (!result.active) {
    return CorvantineError::Manifest(
        fmt::format("manifest points at missing active segment base {}", active_base));
  }
  return result;
}

// The manifest carries no checksum, so its floor is checked against the
// segments on disk: retention moves it only to a segment base, and the
// segment there is never reclaimed. Segments below it may remain after an
// interrupted reclaim. A floor of 0 hides nothing and is always sound.
Result<> CheckRetentionFloor(uint64_t floor, const ClassifiedSegments& segments) {
  const uint64_t head = segments.active->next_position();
  if (floor > head) {
    return CorvantineError::Manifest(
        fmt::format("retention floor {} is beyond head {}", floor, head));
  }
  auto at_floor = [floor](const SegmentMeta& meta) { return meta.base == floor; };
  if (floor == 0 || floor == segments.active->base() ||
      std::any_of(segments.closed.begin(), segments.closed.end(), at_floor)) {
    return {};
  }
  return CorvantineError::Manifest(
      fmt::format("retention_floor {} is not the base of a segment on disk", floor));
}

// Up to `n` bytes from the start of `file`, fewer where it ends.
Result<std::string> ReadPrefix(const platform::File& file, uint64_t n) {
  std::string bytes(n, '\0');
  CVN_ASSIGN_OR_RETURN(const size_t read, file.ReadAt(0, n, bytes.data()));
  bytes.resize(read);
  return bytes;
}

// The envelope of the frame at the start of a segment file whose first
// `length` bytes may be read, or nothing when no whole and sound frame lies
// there: damage is for the reads of the segment to report. Fails with Io
// only. The frame's length is checked against the codec's limits before it
// is read.
Result<std::optional<format::RecordEnvelopeV2>> FirstEnvelope(const platform::File& file,
                                                              uint64_t length) {
  if (length < format::kFrameHeaderBytes) return std::nullopt;
  CVN_ASSIGN_OR_RETURN(const std::string header, ReadPrefix(file, format::kFrameHeaderBytes));
  const Result<std::optional<uint64_t>> frame_len =
      format::FrameTotalLen(header, record::kStandardLimits);
  if (!frame_len.ok() || !*frame_len || **frame_len > length) return std::nullopt;
  CVN_ASSIGN_OR_RETURN(const std::string frame, ReadPrefix(file, **frame_len));
  Result<std::optional<format::StoredRecord>> first =
      format::Decode(frame, record::kStandardLimits);
  if (!first.ok() || !*first) return std::nullopt;
  return std::move((*first)->envelope);
}

Result<std::optional<format::RecordEnvelopeV2>> FirstEnvelopeOf(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(const platform::File file, platform::OpenForRead(path));
  return FirstEnvelope(file, std::numeric_limits<uint64_t>::max());
}

// The id of a first manifest: over a segment whose first frame is sound,
// the id that frame carries; else a new one (the segment's open cuts a torn
// or mismatching frame, and refuses other damage).
Result<format::DatabaseId> FirstManifestId(const std::vector<SegmentMeta>& segments) {
  if (!segments.empty()) {
    CVN_ASSIGN_OR_RETURN(const std::optional<format::RecordEnvelopeV2> first,
                         FirstEnvelopeOf(segments.front().path));
    if (first) return first->database_id;
  }
  return format::DatabaseId(format::GenerateIdBytes());
}

Result<manifest::Manifest> ReadOrBootstrapManifest(const std::string& data_dir,
                                                   const std::string& log_dir) {
  Result<manifest::Manifest> read = manifest::Manifest::Read(data_dir);
  if (!read.ok() && IsNotFound(read.error())) return BootstrapManifest(data_dir, log_dir);
  return read;
}

Result<> CheckFormatVersions(const manifest::Manifest& manifest) {
  if (manifest.storage_format_version != manifest::kStorageFormatVersion) {
    return CorvantineError::UnsupportedStorageFormat(manifest.storage_format_version,
                                                     manifest::kStorageFormatVersion);
  }
  if (manifest.payload_format_version != manifest::kPayloadFormatVersion) {
    return CorvantineError::UnsupportedPayloadFormat(manifest.payload_format_version,
                                                     manifest::kPayloadFormatVersion);
  }
  return {};
}

}  // namespace

Result<std::vector<SegmentMeta>> DiscoverSegments(const std::string& log_dir) {
  CVN_ASSIGN_OR_RETURN(std::vector<std::string> names, platform::ListDir(log_dir));
  std::vector<SegmentMeta> segments;
  for (const std::string& name : names) {
    if (Extension(name) != "seg") continue;
    std::string path = platform::JoinPath(log_dir, name);
    Result<uint64_t> base = segment::ParseBaseOffset(path);
    if (!base.ok()) {
      util::Warn(fmt::format("ignoring non-segment file in log dir: {}", path));
      continue;
    }
    segments.push_back({std::move(path), *base});
  }
  std::stable_sort(segments.begin(), segments.end(),
                   [](const SegmentMeta& a, const SegmentMeta& b) { return a.base < b.base; });
  auto same_base = [](const SegmentMeta& a, const SegmentMeta& b) { return a.base == b.base; };
  auto twin = std::adjacent_find(segments.begin(), segments.end(), same_base);
  if (twin != segments.end()) {
    return CorvantineError::Manifest(fmt::format("duplicate segment base {} ({} and {})",
                                                 twin->base, twin->path, (twin + 1)->path));
  }
  return segments;
}

Result<manifest::Manifest> BootstrapManifest(const std::string& data_dir,
                                             const std::string& log_dir) {
  CVN_ASSIGN_OR_RETURN(std::vector<SegmentMeta> segments, DiscoverSegments(log_dir));
  if (segments.size() > 1) {
    return CorvantineError::Manifest(
        "multiple segments on disk but no manifest — unexpected state");
  }
  manifest::Manifest manifest;
  if (segments.empty()) {
    CVN_ASSIGN_OR_RETURN(segment::Segment first, segment::Segment::Create(log_dir, 0));
    CVN_TRY(first.file().Close());
    CVN_TRY(SyncDir(log_dir));
  } else {
    manifest.active_segment_base = segments.front().base;
  }
  CVN_ASSIGN_OR_RETURN(manifest.database_id, FirstManifestId(segments));
  manifest.next_offset = manifest.active_segment_base;
  CVN_TRY(manifest.Write(data_dir));
  return manifest;
}

Result<std::unique_ptr<Log>> Log::OpenInternal(const std::string& directory,
                                               uint64_t max_segment_bytes, uint64_t flags,
                                               const std::function<void()>& locked) {
  CVN_TRY(platform::CreateDirs(directory));
  if ((flags & kSkipMigrationCheck) == 0 &&
      platform::PathExists(platform::JoinPath(directory, kMigrationMarkerName))) {
    return CorvantineError::MigrationIncomplete(directory);
  }
  // From here on every early return releases the lock with `lock`.
  CVN_ASSIGN_OR_RETURN(lock::DirLock lock, lock::DirLock::Acquire(directory));
  if (locked) locked();
  const std::string log_dir = platform::JoinPath(directory, kLogDirName);
  CVN_TRY(platform::CreateDirs(log_dir));
  CVN_ASSIGN_OR_RETURN(manifest::Manifest manifest, ReadOrBootstrapManifest(directory, log_dir));
  CVN_TRY(CheckFormatVersions(manifest));
  CVN_ASSIGN_OR_RETURN(std::vector<SegmentMeta> segments, DiscoverSegments(log_dir));
  CVN_ASSIGN_OR_RETURN(ClassifiedSegments classified,
                       ClassifySegments(segments, manifest.active_segment_base));
  CVN_TRY(CheckRetentionFloor(manifest.retention_floor, classified));
  return std::unique_ptr<Log>(new Log(directory, std::move(classified.closed), std::move(lock),
                                      std::move(manifest), std::move(*classified.active),
                                      max_segment_bytes));
}

Log::Log(std::string directory, std::vector<SegmentMeta> closed, lock::DirLock lock,
         manifest::Manifest manifest, segment::Segment active, uint64_t max_segment_bytes)
    : directory_(std::move(directory)),
      log_directory_(platform::JoinPath(directory_, kLogDirName)),
      closed_(std::move(closed)),
      lock_(std::move(lock)),
      active_(std::move(active)),
      manifest_(std::move(manifest)),
      max_segment_bytes_(max_segment_bytes) {}

Result<std::pair<uint64_t, uint64_t>> Log::AppendBatch(
    std::span<const segment::BatchRecord> records) {
  CVN_TRY(RollIfDue());  // refuses a fenced log too
  Result<std::pair<uint64_t, uint64_t>> appended = active_.AppendBatch(records);
  if (!appended.ok()) FenceIfPoisoned(appended.error());
  return appended;
}

Result<> Log::AppendSystem(const format::RecordEnvelopeV2& envelope, std::string_view payload) {
  CVN_TRY(RollIfDue());  // refuses a fenced log too
  Result<> appended = active_.AppendSystem(envelope, payload);
  if (!appended.ok()) FenceIfPoisoned(appended.error());
  return appended;
}

Result<> Log::RollIfDue() {
  CVN_TRY(CheckWritable());
  if (active_.byte_length() < max_segment_bytes_ || !ActiveHoldsEvents()) return {};
  return Roll();
}

Result<> Log::Roll() {
  CVN_TRY(SyncActive());
  const uint64_t head = this->head();
  CVN_ASSIGN_OR_RETURN(segment::Segment fresh, segment::Segment::Create(log_directory_, head));
  if (Result<> synced = SyncDir(log_directory_); !synced.ok()) {
    RemoveUnusedSegment(std::move(fresh));
    return synced;
  }
  manifest::Manifest next = manifest_;
  next.active_segment_base = head;
  next.next_offset = head;
  if (Result<> written = next.Write(directory_); !written.ok()) {
    AbandonRoll(std::move(fresh), written.error());
    return written;
  }

  manifest_ = std::move(next);
  segment::Segment retired = std::exchange(active_, std::move(fresh));
  closed_.push_back({retired.path(), retired.base()});
  IndexRetired(retired);
  return {};
}

Result<std::optional<format::RecordEnvelopeV2>> Log::OldestEnvelope() const {
  // Segments below the floor that a reclaim left behind are no longer the log's.
  auto retained = [this](const SegmentMeta& meta) { return meta.base >= retention_floor(); };
  auto oldest = std::find_if(closed_.begin(), closed_.end(), retained);
  if (oldest == closed_.end()) return FirstEnvelope(active_.file(), active_.byte_length());
  return FirstEnvelopeOf(oldest->path);
}

Result<> Log::SyncActive() {
  CVN_TRY(CheckWritable());
  Result<> synced = active_.Sync();
  if (!synced.ok()) fence_ = synced.error();
  return synced;
}

Result<> Log::CheckWritable() const {
  if (fence_) return *fence_;
  return {};
}

void Log::FenceIfPoisoned(const CorvantineError& error) {
  if (active_.poisoned() && !fence_) fence_ = error;
}

// A failed manifest write may have renamed the new document into place
// without flushing the directory, so "manifest.json" may name either
// segment. Writing the current manifest again settles that, and only then is
// the new file safe to remove. If the rewrite fails too, the log cannot tell
// which segment the file names; it stops writing, so the old segment cannot
// grow past the new one's base, and keeps the empty new file, which a reopen
// either adopts as the active segment or removes as an orphan.
void Log::AbandonRoll(segment::Segment fresh, const CorvantineError& error) {
  if (manifest_.Write(directory_).ok()) {
    RemoveUnusedSegment(std::move(fresh));
  } else {
    fence_ = error;
  }
}

void Log::IndexRetired(const segment::Segment& retired) {
  Result<index::Sidecar> built = retired.CurrentSidecar();
  if (!built.ok()) {
    util::Warn(fmt::format("could not index retired segment {}: {}", retired.path(),
                           built.error().ToString()));
    return;
  }
  index::PersistOrWarn(retired.path(), *built);
  sidecars_[retired.base()] = std::make_shared<const index::Sidecar>(std::move(*built));
}

}  // namespace corvantine::log
