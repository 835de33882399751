// Segment files. A segment is a plain concatenation of record frames with no
// file header, named after its base position: the position of the first
// event it holds or will hold. Its frames follow each other as
// log/sequence.h tells.
//
// A batch is written as one batch-open frame, its n events at positions
// first .. first + n - 1 with batch_index 0 .. n - 1, and one batch-commit
// frame. Both control frames carry the same envelope and the same payload,
// the event count n and the batch digest (record::BatchControl). Their
// envelope is the first event's, with event type "corvantine.batch-control",
// batch_index n, and the metadata entries "corvantine.batch_count" and
// "corvantine.batch_digest" set to the same two numbers.
//
// A crash can leave at most one incomplete batch at the tail of a segment,
// possibly followed by zeros where the file system kept the file's length
// but not its last blocks; opening the segment cuts the file back to its
// last complete unit. Damage that valid frames follow is no torn tail, and
// is never cut.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/error.h"
#include "format/format.h"
#include "log/index.h"
#include "platform/platform.h"

namespace corvantine::log::segment {

inline constexpr std::string_view kBatchControlEventType = "corvantine.batch-control";

// One event of a batch to append: the envelope is complete (ids, revision,
// timestamp, batch id, batch_index) and the payload is borrowed.
struct BatchRecord {
  format::RecordEnvelopeV2 envelope;
  std::string_view payload;
};

// The base position as 20 zero-padded decimal digits and ".seg":
// "00000000000000001234.seg" for base 1234.
std::string SegmentFileName(uint64_t base);

// The base position named by a segment path: the file name without its last
// extension (which is not examined) must be a decimal u64, optionally
// preceded by "+". Fails with InvalidSegmentFileName carrying `path`.
Result<uint64_t> ParseBaseOffset(std::string_view path);

// Why a scan stopped before the end of the bytes it was given.
enum class StopReason : uint8_t {
  kCleanEof = 0,
  kTornTail = 1,
  kCrcMismatch = 2,
  kOffsetSequenceMismatch = 3,
  kBatchCommitMismatch = 4,
};

// "clean eof", "torn tail: incomplete trailing record", "crc mismatch",
// "offset-sequence mismatch", "batch commit mismatch".
std::string_view StopReasonText(StopReason reason);

struct ScanResult {
  uint64_t good_length = 0;    // end of the last complete unit
  uint64_t next_position = 0;  // the position the next event takes
  StopReason reason = StopReason::kCleanEof;
  // Where the frame that stopped the scan starts; the end of the bytes at a
  // clean end.
  uint64_t stop_offset = 0;
  // Where a frame beyond the stop starts that passes every check of the
  // frame codec and carries a position the segment could hold there. A torn
  // write leaves no such frame behind its last bytes, so with one the stop
  // is damage inside the segment, not a torn tail.
  std::optional<uint64_t> frame_after_stop = std::nullopt;
  // Fed the frames before good_length.
  index::SidecarBuilder sidecar;
};

// Scans the image of a segment with base position `base` from byte 0 and
// finds its last complete unit: a standalone event, a system record, or a
// whole batch from its open frame to a matching commit frame. The scan stops
// at the first frame that is incomplete, fails its checksum, carries an
// unexpected position, or does not fit the open batch; that frame and
// everything after it, together with an unfinished batch, lie beyond
// good_length. Frame decoding errors other than a checksum mismatch, and
// malformed control payloads, are errors: such damage is not a torn write.
// The exception is a frame that fails because of a zero-filled tail: when
// fewer than a frame header's bytes, then only zeros, are left from it to
// the end, the scan stops there as at a torn tail. After a stop the bytes
// beyond the stopping frame are searched for a valid frame
// (frame_after_stop).
Result<ScanResult> ScanSegment(std::string_view bytes, uint64_t base);

// The appendable segment of the log. Used from one thread at a time; owns
// its file and closes it when destroyed.
//
// Appends assemble their frames in memory and write them with one positional
// write at byte_length(); the counters change only after the write has
// succeeded. A failed write may leave part of its bytes in the file, so the
// file is cut back to byte_length() before the error is returned. If that
// cut fails too, the segment refuses every later write with the cut's error:
// appending behind the leftover bytes would put acknowledged data where the
// next open discards it. Reopening the segment recovers.
class Segment {
 public:
  // Creates "<log_dir>/<SegmentFileName(base)>"; the name must not exist.
  // The directory is not flushed.
  static Result<Segment> Create(const std::string& log_dir, uint64_t base);

  // Opens an existing segment and repairs its tail. When the file extends
  // beyond its last complete unit and nothing valid follows the damage, one
  // warning line goes to stderr,
  //   corvantine: truncating {path} at byte {n} ({reason}), dropping {k} trailing byte(s)
  // and the file is cut to that unit and flushed. When a valid frame does
  // follow (ScanResult::frame_after_stop), the open fails with Corrupt at
  // the damaged frame's byte offset, naming the path, and cuts nothing.
  // Other errors: those of ParseBaseOffset and ScanSegment (the file is left
  // untouched), or Io.
  static Result<Segment> Open(const std::string& path);

  Segment(Segment&&) = default;
  Segment& operator=(Segment&&) = default;

  // Appends one batch and returns its first and last position. Checks, in
  // order, before anything is written: no records -> InvalidArgument
  // "storage batch must not be empty"; more than 2^32 - 1 records ->
  // ResourceLimit "batch event count"; a record whose batch_index is not its
  // index -> InvalidFormat "batch index {} does not match event order {}";
  // then the frame codec's errors.
  Result<std::pair<uint64_t, uint64_t>> AppendBatch(std::span<const BatchRecord> records);

  // Appends one standalone system record at next_position(), which it does
  // not advance.
  Result<> AppendSystem(const format::RecordEnvelopeV2& envelope, std::string_view payload);

  // Flushes the file to stable storage (fsync). Nothing else flushes, except
  // Open after a repair.
  Result<> Sync();

  // The sidecar of the segment as it stands, equal to what
  // index::BuildSidecar makes of the file: kept up to date as frames are
  // appended (and built by the scan of Open), so that retiring a segment
  // does not read it again.
  Result<index::Sidecar> CurrentSidecar() const { return sidecar_.Finish(); }
  // Where a read of `target` may start in the file: a frame boundary outside
  // any batch, at or before the target's frame.
  std::optional<index::SeekPoint> SeekPointBefore(uint64_t target) const {
    return sidecar_.SeekPointBefore(target);
  }
  uint64_t system_record_count() const { return sidecar_.system_record_count(); }

  uint64_t base() const { return base_; }
  // Bytes of complete frames in the file.
  uint64_t byte_length() const { return byte_length_; }
  uint64_t next_position() const { return next_position_; }
  const std::string& path() const { return file_.path(); }
  const platform::File& file() const { return file_; }
  platform::File& file() { return file_; }
  // Whether a failed write could not be undone, so that writes are refused.
  bool poisoned() const { return poison_.has_value(); }

 private:
  Segment(platform::File file, uint64_t base, uint64_t byte_length, uint64_t next_position,
          index::SidecarBuilder sidecar)
      : file_(std::move(file)),
        base_(base),
        byte_length_(byte_length),
        next_position_(next_position),
        sidecar_(std::move(sidecar)) {}

  // Checks and measures the frames of a batch: the event frames' lengths go
  // to frame_lengths_, and control_envelope_ is made for them. Returns the
  // length of one control frame.
  Result<uint64_t> MeasureBatch(std::span<const BatchRecord> records);
  // Lays out the measured batch in batch_buffer_ and returns its bytes.
  std::string_view LayOutBatch(std::span<const BatchRecord> records, uint64_t first,
                               uint64_t control_len);
  // Tells the sidecar about a batch just written at `offset`.
  void IndexBatch(std::span<const BatchRecord> records, uint64_t first, uint64_t offset,
                  uint64_t control_len);
  // Writes `frames` at byte_length() and counts them in; undoes a failed
  // write as described above.
  Result<> Write(std::string_view frames);

  platform::File file_;
  uint64_t base_;
  uint64_t byte_length_;
  uint64_t next_position_;
  index::SidecarBuilder sidecar_;
  std::optional<CorvantineError> poison_;
  // Scratch space of AppendBatch, kept so that steady appends allocate
  // nothing: the lengths of the event frames, the control frames' envelope
  // (whose map nodes and strings are reused) and the bytes of the batch.
  std::vector<uint64_t> frame_lengths_;
  format::RecordEnvelopeV2 control_envelope_;
  std::string batch_buffer_;
};

}  // namespace corvantine::log::segment
