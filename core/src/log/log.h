// The segmented log of one database directory: "log/" holds segment files
// named by their base position; the newest (active) one is appended to, older
// ones are closed and read-only. The log owns the directory lock and the
// in-memory copy of "manifest.json", and is used from one thread only.
//
// Durability: appends only write; SyncActive() flushes the active segment,
// and a roll flushes it before anything names the next one. A flush that
// fails may have lost dirty pages that a later flush would then call
// durable, so a failed flush fences the log: every later write (append,
// system record, roll, flush) fails with that error until it is reopened.
// A failed write that could not be undone fences it the same way.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/error.h"
#include "format/format.h"
#include "log/index.h"
#include "log/lock.h"
#include "log/manifest.h"
#include "log/mapped.h"
#include "log/reader.h"
#include "log/segment.h"

namespace corvantine::log {

inline constexpr char kLogDirName[] = "log";
// Present while an offline migration of the directory is unfinished.
inline constexpr char kMigrationMarkerName[] = "migration.in-progress.json";

struct SegmentMeta {
  std::string path;
  uint64_t base = 0;
};

// Sidecars of closed segments, shared read-only with readers.
using SidecarCache = std::map<uint64_t, std::shared_ptr<const index::Sidecar>>;

struct RetentionBoundary {
  uint64_t effective_floor = 0;
  std::vector<std::pair<uint64_t, uint64_t>> reclaimable;  // (base, size in bytes)
};

struct FloorForBytes {
  uint64_t floor = 0;
  uint64_t retained_bytes = 0;
  bool fits = false;

  friend bool operator==(const FloorForBytes&, const FloorForBytes&) = default;
};

struct SegmentSize {
  uint64_t base = 0;
  uint64_t bytes = 0;
};

// The arithmetic of Log::RetentionFloorForBytes: `closed` are the closed
// segments at or above the current floor, ascending by base, and the active
// segment is always retained.
FloorForBytes ChooseFloorForBytes(std::span<const SegmentSize> closed, SegmentSize active,
                                  uint64_t target);

// The segments a read must visit, in order. `segments` are all of the log's
// segments ascending by base: the closed ones with their path and the next
// base as end, then the active one without a path and with the head as end.
// A system-record read leaves out closed segments wholly below
// `retention_floor`, which a failed clean-up may have left behind.
std::vector<reader::PlannedSegment> PlanSegments(std::vector<reader::PlannedSegment> segments,
                                                 const reader::ResolvedFilter& filter,
                                                 uint64_t retention_floor);

// The segment files in `log_dir`, ascending by base. Names whose extension
// is not "seg" are skipped silently; a ".seg" name that does not parse is
// skipped with the warning "corvantine: ignoring non-segment file in log
// dir: {path}". Two names for one base (say "7.seg" and the zero-padded
// one) fail with Manifest "duplicate segment base {} ({} and {})": which of
// them holds the log cannot be told.
Result<std::vector<SegmentMeta>> DiscoverSegments(const std::string& log_dir);

// Makes and writes the first manifest of `data_dir`, whose "log" directory
// holds no segment (one is created at base 0) or exactly one (it becomes
// the active segment). More than one fails with Manifest "multiple segments
// on disk but no manifest — unexpected state". The database gets a new id,
// unless the segment's first frame is whole and sound: then it keeps the id
// that frame carries, so that a log which lost its manifest stays the
// database its records name. Fails with Io when that frame cannot be read.
Result<manifest::Manifest> BootstrapManifest(const std::string& data_dir,
                                             const std::string& log_dir);

class Log {
 public:
  static constexpr uint64_t kDefaultMaxSegmentBytes = 64ull << 20;
  // Option flag: skip the migration-marker test.
  static constexpr uint64_t kSkipMigrationCheck = 1;

  // Opens (or creates) the log of `directory`: creates the directory, refuses
  // it while a migration marker is present (MigrationIncomplete), takes the
  // lock, reads or bootstraps the manifest (storage format 2, payload format
  // 1), classifies the segment files against the manifest's active base,
  // repairs the active segment's tail and removes empty segments beyond it
  // (a roll interrupted before its manifest write leaves one). Then the
  // manifest's retention floor must lie at most at the head (else Manifest
  // "retention floor {} is beyond head {}") and be 0 or the base of a
  // segment on disk (else Manifest "retention_floor {} is not the base of a
  // segment on disk"). A failure after the lock was taken releases it. The
  // log is heap-allocated so readers can keep a stable pointer to it.
  // `locked` is called as soon as the lock is held, so that a caller may
  // read other files of the directory while the segments are read.
  static Result<std::unique_ptr<Log>> OpenInternal(const std::string& directory,
                                                   uint64_t max_segment_bytes, uint64_t flags,
                                                   const std::function<void()>& locked = {});

  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  // Closes the active segment, drops the sidecar cache and the mappings,
  // then releases the lock.
  ~Log() = default;

  // Appends one atomic batch; rolls first when due. Returns the first and
  // last position of the batch.
  Result<std::pair<uint64_t, uint64_t>> AppendBatch(std::span<const segment::BatchRecord> records);
  // Appends one standalone system record at the head; rolls first when due,
  // as a batch does, so that system records take no segment of events past
  // its size target by more than one record. The segment a system record
  // starts holds no event and is no floor (RetentionBoundaryFor) until a
  // batch lands in it, at the base a batch would have rolled to anyway.
  Result<> AppendSystem(const format::RecordEnvelopeV2& envelope, std::string_view payload);
  // Rolls when the active segment has reached its size target and holds at
  // least one event. A segment of system records only is never rolled: its
  // successor would start at the same position and so take its file name.
  // It grows past its target only by system records that no event follows.
  Result<> RollIfDue();
  // Retires the active segment and starts a new one at the head: flushes the
  // active segment, creates the new file, flushes the log directory, writes
  // the manifest naming the new segment, and only then switches to it. A
  // failure leaves the old segment active and removes the new file. The
  // retired segment's sidecar, kept up to date by its appends, is written
  // beside it and cached; a failure there only warns.
  Result<> Roll();
  // Makes everything appended durable with fsync; a failure fences the log.
  // fdatasync would be sound too: Linux flushes a grown file's size with its
  // data, and the segment's directory entry was flushed when it was made.
  // But each commit after an append grows the file, so its inode is written
  // either way and fdatasync would save nothing; fsync needs no such
  // reasoning to be right.
  Result<> SyncActive();

  // Planned reads.
  reader::LogReader PlanReader(reader::ResolvedFilter filter) const;
  StoredLogIter SystemRecords() const;
  // The envelope of the first frame of the oldest segment the log retains,
  // the one at or above the retention floor (a batch's open frame carries
  // its first event's envelope), or nothing while that frame is not whole
  // and sound: damage is for reads to report. Reads that one frame. Fails
  // with Io.
  Result<std::optional<format::RecordEnvelopeV2>> OldestEnvelope() const;

  // Retention arithmetic. The floor moves by whole segments: the effective
  // floor for `position` is the greatest segment base at or below it, never
  // below the current floor; the closed segments below it are reclaimable.
  // An active segment that holds no event yet (its base is the head) is no
  // floor: whether a system record rolled the log before the next event
  // changes nothing a position resolves to.
  RetentionBoundary RetentionBoundaryFor(uint64_t position) const;
  // The lowest segment base from which the retained log, the active segment
  // included, fits into `target` bytes; segments below the current floor do
  // not count, and an active segment without events counts with the one
  // before it. When even the active segment does not fit, its base with
  // fits = false. Io when a closed segment's size cannot be read.
  Result<FloorForBytes> RetentionFloorForBytes(uint64_t target) const;
  // Moves the floor durably: requires current floor <= floor <= head, else
  // InvalidArgument; writes the manifest with the floor, the anchor checksum,
  // the next generation (saturating) and the head, and adopts it only once
  // the write succeeded.
  Result<> ActivateRetention(uint64_t floor, uint32_t anchor_checksum);
  // Deletes the closed segment files below the floor and drops their cached
  // sidecars (their sidecar files stay). Returns the bytes deleted. A file
  // already gone is forgotten; one that cannot be removed is kept for a
  // later call. With CORVANTINE_RETENTION_CRASH_AT=during_cleanup the
  // process aborts after the first deletion.
  uint64_t ReclaimBelowRetentionFloor();

  const std::string& directory() const { return directory_; }
  const std::string& log_directory() const { return log_directory_; }
  uint64_t head() const { return active_.next_position(); }
  uint64_t max_segment_bytes() const { return max_segment_bytes_; }
  const manifest::Manifest& manifest() const { return manifest_; }
  const format::DatabaseId& database_id() const { return manifest_.database_id; }
  uint64_t retention_floor() const { return manifest_.retention_floor; }
  uint64_t retention_generation() const { return manifest_.retention_generation; }
  std::optional<uint32_t> retention_anchor_checksum() const {
    return manifest_.retention_anchor_checksum;
  }
  const std::vector<SegmentMeta>& closed_segments() const { return closed_; }
  const segment::Segment& active_segment() const { return active_; }
  SidecarCache& sidecar_cache() const { return sidecars_; }
  mapped::MappedCache& mapped_segments() const { return mapped_; }
  // The active segment mapped for reading, covering at least its complete
  // frames: the mapping made last while that still holds. Fails with Io.
  Result<std::shared_ptr<const mapped::MappedSegment>> MapActive() const;
  // The error that fenced the log, if any.
  const std::optional<CorvantineError>& fence() const { return fence_; }

 private:
  Log(std::string directory, std::vector<SegmentMeta> closed, lock::DirLock lock,
      manifest::Manifest manifest, segment::Segment active, uint64_t max_segment_bytes);

  // Fails with the error that fenced the log, if any.
  Result<> CheckWritable() const;
  // Whether the active segment holds an event: its base lies below the head.
  bool ActiveHoldsEvents() const { return active_.next_position() > active_.base(); }
  // Fences the log after a failed append that the segment could not undo.
  void FenceIfPoisoned(const CorvantineError& error);
  // Undoes a roll whose manifest write failed with `error`; see log.cc.
  void AbandonRoll(segment::Segment fresh, const CorvantineError& error);
  // Persists and caches the sidecar of a just-retired segment.
  void IndexRetired(const segment::Segment& retired);

  std::string directory_;
  std::string log_directory_;
  std::vector<SegmentMeta> closed_;
  // Declared so that destruction closes the active segment first, then
  // drops the cache, and releases the lock last.
  lock::DirLock lock_;
  mutable SidecarCache sidecars_;
  mutable mapped::MappedCache mapped_;
  mutable std::shared_ptr<const mapped::MappedSegment> active_mapping_;
  segment::Segment active_;
  manifest::Manifest manifest_;
  uint64_t max_segment_bytes_;
  std::optional<CorvantineError> fence_;
};

}  // namespace corvantine::log
