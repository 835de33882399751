// Planned reads of the log. A caller resolves what it wants into a
// ResolvedFilter; Log::PlanReader turns it into the segments that can hold
// matching records, and a LogReader walks them frame by frame. Every frame's
// position and batch framing are checked (each batch's digest too, when
// asked), and matching records are handed out one at a time, borrowing the
// reader's buffer. Sidecars let the reader skip closed segments without
// opening them and enter a segment near its start position.
//
// Positions: an event takes its own position; a standalone system record
// carries the position the next event will take; batch open and commit
// frames carry their batch's first position.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/error.h"
#include "format/format.h"
#include "log/index.h"
#include "platform/platform.h"

namespace corvantine::log {
namespace reader {

// A buffered read window over one segment file. Bytes are read positionally,
// so the window is independent of any other handle on the file, and are
// looked at in place: a caller takes a frame from available() and then
// consumes its length. The buffer grows in steps of at least 128 KiB, never
// shrinks, and is kept when the cursor moves to another file.
class SegmentCursor {
 public:
  static constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();

  // Starts reading `file` at byte `offset`, with no bytes available.
  void Open(platform::File file, uint64_t offset);
  // Releases the file; the buffer's storage stays for the next Open.
  void Close();
  bool is_open() const { return file_.is_open(); }

  // Makes at least `n` bytes available unless the file ends first, reading
  // nothing at or beyond the file offset `limit`. Reaching the end is not an
  // error: the caller looks at how many bytes are available. Once the end
  // has been met the cursor reads no more.
  Result<> Fill(size_t n, uint64_t limit = kNoLimit) {
    // Most calls, one or two for each frame, find the bytes already there.
    if (filled_ - consumed_ >= n || at_end_) return {};
    return Refill(n, limit);
  }

  std::string_view available() const {
    return std::string_view(buffer_).substr(consumed_, filled_ - consumed_);
  }
  // Marks the first `n` available bytes as read. They stay in place until
  // the next Fill, so views into them remain valid until then.
  void Consume(size_t n) { consumed_ += n; }

 private:
  // Fill when the bytes are not there yet.
  Result<> Refill(size_t n, uint64_t limit);

  platform::File file_;
  uint64_t read_offset_ = 0;  // the file offset of buffer_[filled_]
  std::string buffer_;
  size_t consumed_ = 0;
  size_t filled_ = 0;
  bool at_end_ = false;
};

// The Corrupt error of a frame at `position` where `expected` was due:
// "position {position} breaks expected sequence {expected}".
CorvantineError CorruptSequence(uint64_t position, uint64_t expected);

// What a sidecar records of one frame.
struct FrameSummary {
  uint64_t offset = 0;  // the frame's byte offset in its segment
  uint8_t kind = 0;
  uint64_t position = 0;
  // Read for event frames only.
  format::StreamId stream_id;
  int64_t timestamp_unix_nanos = 0;

  static FrameSummary Of(const format::FrameView& frame, uint64_t offset) {
    return {offset, frame.kind, frame.position, frame.envelope.stream_id,
            frame.envelope.timestamp_unix_nanos};
  }
};

// The sidecar of one segment, built from its frames fed in file order.
// BuildSidecar feeds it the frames it scans; the active segment feeds it the
// frames it writes, so that a roll does not read the retired segment again.
// Both give the same sidecar for the same file. Unlike the reader it does not
// compare batch ids or indexes, nor check digests.
class SidecarBuilder {
 public:
  explicit SidecarBuilder(uint64_t base);

  // Adds the next frame. Fails with Corrupt "batch commit without begin" or
  // a CorruptSequence when it does not continue the segment.
  Result<> Add(const FrameSummary& frame);
  // Adds the next frame, known to continue the segment: the segment wrote it
  // itself, or a scan has checked it.
  void AddChecked(const FrameSummary& frame);
  // The sidecar of the frames added so far. Fails with Corrupt "segment ends
  // inside an uncommitted batch".
  Result<index::Sidecar> Finish() const;

  // The position the next standalone frame must carry.
  uint64_t expected() const { return expected_; }

 private:
  Result<> Check(const FrameSummary& frame) const;
  Result<> CheckStandalone(uint64_t position) const;
  void AddEvent(const FrameSummary& frame);

  index::Sidecar sidecar_;  // all but `end` and the postings
  std::map<format::StreamId, index::PostingEntry> postings_;
  uint64_t expected_;
  uint64_t last_seek_offset_ = 0;
  bool in_batch_ = false;
  uint64_t batch_begin_ = 0;
  uint32_t batch_events_ = 0;
};

// Builds the sidecar of the closed segment at `path` by scanning all of it.
// Fails with the frame codec's errors, Io, or Corrupt: "segment has trailing
// bytes", "segment ends mid-frame", "segment ends inside an uncommitted
// batch", "batch commit without begin", or a CorruptSequence.
Result<index::Sidecar> BuildSidecar(const std::string& path, uint64_t base);

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

// The segments a read must visit, in order. `segments` are all of the log's
// segments ascending by base: the closed ones with their path and the next
// base as end, then the active one without a path and with the head as end.
// A system-record read leaves out closed segments wholly below
// `retention_floor`, which a failed clean-up may have left behind.
std::vector<PlannedSegment> PlanSegments(std::vector<PlannedSegment> segments,
                                         const ResolvedFilter& filter, uint64_t retention_floor);

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
  virtual void CacheSidecar(uint64_t base, std::shared_ptr<const index::Sidecar> sidecar) const = 0;
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
  struct OpenBatch {
    bool verifying = false;
    uint32_t count = 0;   // from the open frame, when verifying
    uint32_t digest = 0;  // from the open frame, when verifying
    uint32_t crc = 0;     // of the event frames read so far, when verifying
    uint64_t begin = 0;
    format::BatchId batch_id;
    uint32_t seen = 0;
  };
  void Finish(uint64_t scanned);
  uint64_t CoveredEnd() const;
  Result<> OpenNextSegment();
  PlannedSegment Resolve(const PlannedSegment& planned) const;
  std::shared_ptr<const index::Sidecar> SidecarFor(const PlannedSegment& segment) const;
  bool Skips(const index::Sidecar& sidecar) const;
  Result<bool> ReadFrame();
  Result<> CheckSegmentEnd() const;
  Result<bool> Admit();
  Result<bool> AdmitEvent();
  Result<> CheckStandalone(uint64_t position) const;
  Result<> BeginBatch(const format::FrameView& frame);
  Result<> CommitBatch(const format::FrameView& frame);
  bool Passes(const format::FrameView& frame) const;

  std::unique_ptr<const LogView> log_;
  std::vector<PlannedSegment> plan_;
  ResolvedFilter filter_;
  size_t next_segment_ = 0;

  // The segment being read; meaningful while the cursor is open.
  SegmentCursor cursor_;
  PlannedSegment segment_;
  bool segment_active_ = false;
  uint64_t expected_ = 0;  // the position the next standalone frame must carry
  std::optional<OpenBatch> batch_;
  // The frame last read, and its bytes; valid until the cursor's next Fill.
  format::FrameView frame_;
  std::string_view frame_bytes_;

  uint64_t yielded_ = 0;
  uint64_t scanned_ = 0;
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
