// Planned reads of the log. A caller resolves what it wants into a
// ResolvedFilter; Log::PlanReader turns it into the segments that can hold
// matching records, and a LogReader walks them frame by frame. Every frame's
// position and batch framing are checked (each batch's digest too, when
// asked), and matching records are handed out one at a time, borrowing the
// reader's buffer, or for a read of given positions the mapping of a
// segment (log/mapped.h).
// Sidecars let the reader skip closed segments without opening them and
// enter a segment near its start position; a read of given positions enters
// each batch of a closed segment at its own start. The rules of the frame
// sequence are log/sequence.h's.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/error.h"
#include "format/format.h"
#include "log/cursor.h"
#include "log/index.h"
#include "log/mapped.h"
#include "log/record.h"
#include "log/sequence.h"

namespace corvantine::log {
namespace reader {

// Which streams a read selects.
class PartitionFilter {
 public:
  enum class Kind : uint8_t { kAll, kStreams, kModulo };

  static PartitionFilter All() { return PartitionFilter(Kind::kAll); }
  // The streams in `streams`; an empty set selects nothing.
  static PartitionFilter Streams(std::vector<format::StreamId> streams);
  // The streams whose id's first 8 bytes, read as a little-endian number,
  // are `index` modulo `count`. Callers refuse a count of 0.
  static PartitionFilter Modulo(uint32_t count, uint32_t index);

  bool Selects(const format::StreamId& stream) const;
  // Whether a segment with this sidecar can hold an event of a selected
  // stream.
  bool MaySelectIn(const index::Sidecar& sidecar) const;

  Kind kind() const { return kind_; }
  // Sorted ascending, without repeats; empty unless kind() is kStreams.
  const std::vector<format::StreamId>& streams() const { return streams_; }
  uint32_t count() const { return count_; }
  uint32_t index() const { return index_; }

 private:
  explicit PartitionFilter(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::vector<format::StreamId> streams_;
  uint32_t count_ = 1;
  uint32_t index_ = 0;
};

// Records of `branch` are visible below position `limit`.
struct BranchScope {
  format::BranchId branch;
  uint64_t limit = 0;
};

// The positions [first, end).
struct PositionRange {
  uint64_t first = 0;
  uint64_t end = 0;

  friend bool operator==(const PositionRange&, const PositionRange&) = default;
};

// What a caller asks of a planned read.
struct ResolvedFilter {
  // [lo, hi) of timestamp_unix_nanos.
  std::optional<std::pair<int64_t, int64_t>> time_range = std::nullopt;
  // Stop after handing out this many records.
  std::optional<uint64_t> max_records = std::nullopt;
  // Records whose branch is listed and whose position is below that
  // branch's limit; an empty list selects nothing.
  std::optional<std::vector<BranchScope>> branch_scopes = std::nullopt;
  PartitionFilter partition = PartitionFilter::All();
  // Events at positions [from, to). The first event at or beyond `to` ends
  // the read.
  uint64_t from = 0;
  uint64_t to = std::numeric_limits<uint64_t>::max();
  // Events at these positions only: ascending ranges that do not overlap.
  // The reader opens only the segments that hold one, and enters each range
  // at the seek point nearest before it instead of reading the frames
  // between ranges; it reads whole batches, so it checks every frame it
  // reads as a full scan does. Nothing: every position.
  std::optional<std::vector<PositionRange>> positions = std::nullopt;
  // Hand out standalone system records only, from the whole log: `from` and
  // `to` do not select them, though an event at or beyond `to` still ends
  // the read.
  bool system_only = false;
  // Check every batch's control count and digest against its events.
  bool verify_batch_digest = false;
};

// One segment of a read plan.
struct PlannedSegment {
  std::optional<std::string> path;  // absent for the log's active segment
  uint64_t base = 0;
  // The next segment's base for a closed segment; the head at planning time
  // for the active one.
  uint64_t end = 0;

  friend bool operator==(const PlannedSegment&, const PlannedSegment&) = default;
};

// What a reader needs of the log it reads, asked again at every use since
// appends and rolls may happen between two calls of the reader.
class LogView {
 public:
  virtual ~LogView() = default;

  virtual uint64_t head() const = 0;
  virtual uint64_t active_base() const = 0;
  // Bytes of complete frames in the active segment. A reader never reads
  // beyond them: what lies there may be left by a failed write.
  virtual uint64_t active_length() const = 0;
  // The base of the segment that follows the one at `base`.
  virtual uint64_t NextSegmentBase(uint64_t base) const = 0;
  // The path of the segment file at `base`.
  virtual std::string SegmentPath(uint64_t base) const = 0;
  virtual std::shared_ptr<const index::Sidecar> CachedSidecar(uint64_t base) const = 0;
  // The active segment's seek point for a read of `target`, so that a read
  // that starts deep in it need not scan it from its start; nothing: none.
  virtual std::optional<index::SeekPoint> ActiveSeekPointBefore(uint64_t /*target*/) const {
    return std::nullopt;
  }
  virtual void CacheSidecar(uint64_t base, std::shared_ptr<const index::Sidecar> sidecar) const = 0;
  // Whether the active segment holds a standalone system record yet, so
  // that a read of system records only need not scan the whole segment
  // when it holds none, as a closed segment's sidecar tells.
  virtual bool ActiveHoldsSystemRecords() const { return true; }
  // The closed segment file at `path`, mapped for reading; a log may keep
  // mappings for later reads. Fails with Io.
  virtual Result<std::shared_ptr<const mapped::MappedSegment>> MapClosed(const std::string& path,
                                                                        uint64_t base) const {
    return mapped::MappedSegment::Map(path, base);
  }
  // The active segment mapped for reading, covering at least its
  // active_length() bytes; a log may keep the mapping until that grows.
  virtual Result<std::shared_ptr<const mapped::MappedSegment>> MapActive() const {
    return mapped::MappedSegment::Map(SegmentPath(active_base()), active_base());
  }
};

// Walks a read plan. Made by Log::PlanReader; used on the log's thread, and
// the log must outlive it.
class LogReader {
 public:
  LogReader(std::unique_ptr<const LogView> log, std::vector<PlannedSegment> plan,
            ResolvedFilter filter);
  LogReader(LogReader&&) = default;
  LogReader& operator=(LogReader&&) = default;

  // The next matching record, nothing once the read is over, or the first
  // error met. The record's payload borrows the reader's buffer until the
  // next call. Events of a batch are handed out as they are read, so a batch
  // whose digest fails has delivered its events before the call that reads
  // its commit frame fails.
  Result<std::optional<format::StoredRecord>> Next();
  // As Next, with the payload copied.
  Result<std::optional<format::OwnedStoredRecord>> NextOwned();
  // As Next, with the record decoded in place: the view and all it borrows
  // stay valid until the next call, and nothing is allocated. Null once the
  // read is over.
  Result<const format::FrameView*> NextView();

  // How far the log has been examined: after a record was handed out, at
  // least its position + 1; after the read ended, at least min(head, to).
  // Paged reads continue from here.
  uint64_t scanned_position() const { return scanned_; }

 private:
  void Finish(uint64_t scanned);
  uint64_t CoveredEnd() const;
  Result<> OpenNextSegment();
  Result<> OpenCursor(uint64_t offset);
  Result<bool> RemapGrownActive(bool still_active);
  // Reads of given positions spread over fewer closed segments, or fewer
  // batches, are not worth the threads of WalkAhead.
  static constexpr size_t kMinTargetsWalkedAhead = 64;
  void WalkAhead();
  std::vector<uint64_t> TargetsIn(const PlannedSegment& segment) const;
  bool HoldsWantedPositions(const PlannedSegment& segment) const;
  std::optional<index::SeekPoint> SeekPointBefore(uint64_t target) const;
  bool SeekToWantedPositions();
  PlannedSegment Resolve(const PlannedSegment& planned) const;
  std::shared_ptr<const index::Sidecar> SidecarFor(const PlannedSegment& segment) const;
  bool Skips(const index::Sidecar& sidecar) const;
  Result<bool> ReadFrame();
  Result<> CheckSegmentEnd() const;
  Result<bool> Admit();
  Result<bool> AdmitEvent(const sequence::FrameMark& mark);
  // Whether the event at `position` lies in a wanted range.
  bool Wanted(uint64_t position);
  const PositionRange* RangeFrom(uint64_t position);
  Result<> Take(const sequence::FrameMark& mark);
  Result<> BeginBatch(const sequence::FrameMark& mark);
  Result<> CommitBatch(const sequence::FrameMark& mark);
  bool Passes(const format::FrameView& frame) const;

  std::unique_ptr<const LogView> log_;
  std::vector<PlannedSegment> plan_;
  ResolvedFilter filter_;
  size_t next_segment_ = 0;

  // The segment being read; meaningful while the cursor is open.
  cursor::SegmentCursor cursor_;
  PlannedSegment segment_;
  bool segment_active_ = false;
  std::shared_ptr<const index::Sidecar> sidecar_;  // of a closed segment_, if it has one
  std::shared_ptr<const mapped::MappedSegment> mapped_;  // segment_'s bytes
  // The closed segments this read of given positions entered, each walked
  // whole once the read ends if it is due (MappedSegment::WalkWholeIfDue).
  std::vector<std::pair<std::shared_ptr<const mapped::MappedSegment>,
                        std::shared_ptr<const index::Sidecar>>>
      mapped_segments_;
  // The first range of filter_.positions not yet passed.
  size_t next_range_ = 0;
  sequence::FrameSequence sequence_{0, sequence::FrameSequence::Membership::kChecked};
  // The open batch's events, when its digest is verified.
  std::optional<record::BatchTally> tally_;
  // The frame last read, and its bytes; valid until the cursor's next Fill.
  format::FrameView frame_;
  std::string_view frame_bytes_;

  uint64_t yielded_ = 0;
  uint64_t scanned_ = 0;
  bool walked_ahead_ = false;
  bool done_ = false;
};

}  // namespace reader

// Owned records of a read plan, one at a time. After an error it is finished
// and yields nothing more.
class StoredLogIter {
 public:
  explicit StoredLogIter(reader::LogReader reader) : reader_(std::move(reader)) {}

  // Nothing once over; otherwise one record or one error.
  std::optional<Result<format::OwnedStoredRecord>> Next();

 private:
  reader::LogReader reader_;
  bool finished_ = false;
};

}  // namespace corvantine::log
