// The sidecar seek index of a closed segment: which streams have events in
// it, the time span of those events, how many standalone system records it
// holds, and the points at which a scan may start. Readers use it to skip a
// segment without opening it, or to enter it near the position they want.
//
// A sidecar is derived data. Its file lies beside the segment with the
// extension "sidx" in place of "seg", is written by a rename without a flush,
// and is rebuilt from the segment whenever it is missing, damaged or stale.
// A SidecarBuilder makes it from the segment's frames: from those a scan of
// the file reads, or from those the active segment writes.
//
// File format, integers little-endian, S seek points and P postings:
//
//   0        4       magic "CVNX"
//   4        u16     version (1)
//   6        u16     reserved, written 0, ignored when read
//   8        u64     base
//   16       u64     end
//   24       i64     min_timestamp
//   32       i64     max_timestamp
//   40       u64     system_record_count
//   48       u32     S
//   52       u32     P
//   56       16 * S  seek points: position u64, byte offset u64
//   56+16S   40 * P  postings: stream id (16), first u64, last u64, count u64
//   56+16S+40P  u32  CRC-32C of all preceding bytes
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "format/format.h"
#include "log/sequence.h"

namespace corvantine::log::index {

// A point at which a scan of the segment may start: the frame at `offset`
// is the first that carries `position`, and it lies outside any batch.
struct SeekPoint {
  uint64_t position = 0;
  uint64_t offset = 0;

  friend bool operator==(const SeekPoint&, const SeekPoint&) = default;
};

// The events of one stream in the segment.
struct PostingEntry {
  format::StreamId stream_id;
  uint64_t first_position = 0;
  uint64_t last_position = 0;
  uint64_t count = 0;

  friend bool operator==(const PostingEntry&, const PostingEntry&) = default;
};

struct Sidecar {
  // Ascending by position, then by offset; the first is always (base, 0).
  std::vector<SeekPoint> seek_points;
  // One per stream with events in the segment, strictly ascending by id.
  std::vector<PostingEntry> postings;
  uint64_t base = 0;
  // The position after the segment's last event; `base` when it has none.
  uint64_t end = 0;
  // Smallest and largest event timestamp. A segment without events has
  // min_timestamp > max_timestamp, so no time range excludes it.
  int64_t min_timestamp = std::numeric_limits<int64_t>::max();
  int64_t max_timestamp = std::numeric_limits<int64_t>::min();
  uint64_t system_record_count = 0;

  // Parses a sidecar file. Errors are InvalidFormat "sidecar: " followed by
  // "too short", "crc mismatch", "bad magic", "unsupported version",
  // "length mismatch" or "unsorted entries", checked in that order.
  static Result<Sidecar> Decode(std::string_view bytes);
  // The file's bytes; Decode(Encode()) gives the sidecar back.
  std::string Encode() const;

  // The last seek point whose position is at most `target` (of equal
  // positions, the one with the greatest offset); nothing when the first
  // seek point already lies beyond it.
  std::optional<SeekPoint> SeekPointBefore(uint64_t target) const;

  bool HasEvents() const { return min_timestamp <= max_timestamp; }
  // Whether `stream` has events in the segment.
  bool HasPosting(const format::StreamId& stream) const;

  friend bool operator==(const Sidecar&, const Sidecar&) = default;
};

// The sidecar file's path: the segment path with "sidx" for its extension.
std::string SidecarPath(std::string_view segment_path);

// The sidecar of the segment at `segment_path`, if its file decodes cleanly
// and describes exactly [base, end). Nothing otherwise, for whatever reason:
// the caller then rebuilds it from the segment.
std::optional<Sidecar> Load(const std::string& segment_path, uint64_t base, uint64_t end);

// Writes the sidecar file through a temporary file and a rename, without a
// flush. A failed write leaves the temporary file behind.
Result<> Persist(const std::string& segment_path, const Sidecar& sidecar);

// Persist, where a failure costs only a warning line on standard error: the
// sidecar is derived data and the caller keeps using it in memory.
void PersistOrWarn(const std::string& segment_path, const Sidecar& sidecar);

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
// Both give the same sidecar for the same file. It checks positions only:
// unlike the reader it does not compare batch ids or indexes, nor digests.
class SidecarBuilder {
 public:
  explicit SidecarBuilder(uint64_t base);

  // Adds the next frame. Fails with Corrupt "batch commit without begin" or
  // a sequence::CorruptSequence when it does not continue the segment.
  Result<> Add(const FrameSummary& frame);
  // Adds the next frame, known to continue the segment: the segment wrote it
  // itself, or a scan has checked it.
  void AddChecked(const FrameSummary& frame);
  // The sidecar of the frames added so far. Fails with Corrupt "segment ends
  // inside an uncommitted batch".
  Result<Sidecar> Finish() const;

  // The position the next standalone frame must carry.
  uint64_t expected() const { return sequence_.expected(); }
  // The seek point of the frames added so far that a read of `target`
  // starts from, as Sidecar::SeekPointBefore, but from points 512 bytes
  // apart instead of 64 KiB (about one a batch where batches are small):
  // they are kept in memory only, for the segment being written, so that a
  // read of one stream goes nearly straight to each of its batches there.
  std::optional<SeekPoint> SeekPointBefore(uint64_t target) const;
  uint64_t system_record_count() const { return sidecar_.system_record_count; }

 private:
  void AddEvent(const FrameSummary& frame);

  Sidecar sidecar_;  // all but `end` and the postings
  std::map<format::StreamId, PostingEntry> postings_;
  sequence::FrameSequence sequence_;
  uint64_t last_seek_offset_ = 0;
  std::vector<SeekPoint> dense_seek_points_;  // ascending, the first (base, 0)
};

// Builds the sidecar of the closed segment at `path` by scanning all of it.
// Fails with the frame codec's errors, Io, or Corrupt: "segment has trailing
// bytes", "segment ends mid-frame", "segment ends inside an uncommitted
// batch", "batch commit without begin", or a sequence::CorruptSequence.
Result<Sidecar> BuildSidecar(const std::string& path, uint64_t base);

}  // namespace corvantine::log::index
