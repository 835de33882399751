#include "log/segment.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "log/index.h"
#include "log/record.h"
#include "log/segment_test_util.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::log::segment {
namespace {

using namespace platform::testing;
using namespace segment::testing;
using Range = std::pair<uint64_t, uint64_t>;

TEST(SegmentNameTest, FileNamesAndBaseOffsets) {
  EXPECT_EQ(SegmentFileName(0), "00000000000000000000.seg");
  EXPECT_EQ(SegmentFileName(1234), "00000000000000001234.seg");
  EXPECT_EQ(SegmentFileName(UINT64_MAX), "18446744073709551615.seg");

  const struct {
    std::string_view path;
    uint64_t base;
  } accepted[] = {
      {"00000000000000000042.seg", 42},
      {"+7.seg", 7},
      {"42", 42},
      {"/data/log/00000000000000001234.seg", 1234},
      {"dir.d/5.sidx", 5},
      {"18446744073709551615.seg", UINT64_MAX},
  };
  for (const auto& c : accepted) {
    auto base = ParseBaseOffset(c.path);
    ASSERT_TRUE(base.ok()) << c.path;
    EXPECT_EQ(*base, c.base) << c.path;
  }
  for (std::string_view path : {"-1.seg", "abc.seg", ".seg", "18446744073709551616.seg", "+.seg",
                                "++7.seg", " 7.seg", "7a.seg", "", "log/"}) {
    EXPECT_EQ(Outcome(ParseBaseOffset(path)), fmt::format("invalid segment file name: {}", path));
  }
}

TEST_F(SegmentTest, CreateMakesAnEmptySegmentOnce) {
  auto segment = Segment::Create(dir_.path(), 0);
  ASSERT_TRUE(segment.ok());
  EXPECT_EQ(segment->path(), PathOf(0));
  EXPECT_EQ(segment->base(), 0u);
  EXPECT_EQ(segment->byte_length(), 0u);
  EXPECT_EQ(segment->next_position(), 0u);
  EXPECT_EQ(Outcome(Segment::Create(dir_.path(), 0)), "io: File exists (os error 17)");
}

// Frames of a batch of three events written at position 10, in file order.
TEST_F(SegmentTest, BatchLayout) {
  auto segment = Segment::Create(dir_.path(), 10);
  ASSERT_TRUE(segment.ok());
  std::vector<BatchRecord> batch = Batch(1, 3);
  batch[1].envelope.metadata["late"] = "only on event 1";
  auto positions = segment->AppendBatch(batch);
  ASSERT_TRUE(positions.ok());
  EXPECT_EQ(*positions, Range(10, 12));
  EXPECT_EQ(segment->next_position(), 13u);

  const std::string bytes = ReadAll(segment->path());
  EXPECT_EQ(segment->byte_length(), bytes.size());
  const std::vector<format::OwnedStoredRecord> frames = Frames(bytes);
  ASSERT_EQ(frames.size(), 5u);
  const struct {
    uint8_t kind;
    uint64_t position;
    uint32_t batch_index;
  } expected[] = {{3, 10, 3}, {1, 10, 0}, {1, 11, 1}, {1, 12, 2}, {4, 10, 3}};
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].kind, expected[i].kind) << i;
    EXPECT_EQ(frames[i].position, expected[i].position) << i;
    EXPECT_EQ(frames[i].envelope.batch_index, expected[i].batch_index) << i;
  }
  for (size_t i = 1; i <= 3; ++i) {
    EXPECT_EQ(frames[i].envelope, batch[i - 1].envelope);
    EXPECT_EQ(frames[i].payload, batch[i - 1].payload);
  }

  // The control frames: event 0's envelope with the batch-control changes.
  const size_t events_begin = frames[0].frame_len;
  const size_t events_end = bytes.size() - frames[4].frame_len;
  const uint32_t digest =
      util::crc32c::Value(std::string_view(bytes).substr(events_begin, events_end - events_begin));
  std::string count_bytes(4, '\0'), digest_bytes(4, '\0');
  util::EncodeFixed32(count_bytes.data(), 3);
  util::EncodeFixed32(digest_bytes.data(), digest);
  format::RecordEnvelopeV2 control = batch[0].envelope;
  control.event_type = *format::EventType::New("corvantine.batch-control");
  control.batch_index = 3;
  control.metadata = {{std::string(format::kBatchCountKey), count_bytes},
                      {std::string(format::kBatchDigestKey), digest_bytes},
                      {std::string(format::kStreamNameKey), "orders"}};
  EXPECT_EQ(frames[0].envelope, control);
  EXPECT_EQ(frames[4].envelope, control);
  EXPECT_EQ(frames[0].payload, count_bytes + digest_bytes);
  EXPECT_EQ(frames[4].payload, count_bytes + digest_bytes);
}

TEST_F(SegmentTest, RefusedAppendsWriteNothing) {
  auto segment = Segment::Create(dir_.path(), 5);
  ASSERT_TRUE(segment.ok());
  ASSERT_TRUE(segment->AppendBatch(Batch(1, 2)).ok());
  const std::string before = ReadAll(segment->path());

  std::vector<BatchRecord> swapped = Batch(2, 2);
  std::swap(swapped[0], swapped[1]);
  std::vector<BatchRecord> oversized = Batch(3, 2);
  const std::string huge(16'777'217, 'x');
  oversized[1].payload = huge;
  format::RecordEnvelopeV2 bad_system = SystemEnvelope();
  bad_system.metadata["corvantine.unknown"] = "";

  EXPECT_EQ(Outcome(segment->AppendBatch({})),
            "invalid argument: storage batch must not be empty");
  EXPECT_EQ(Outcome(segment->AppendBatch(swapped)),
            "invalid format: batch index 1 does not match event order 0");
  EXPECT_EQ(Outcome(segment->AppendBatch(oversized)),
            "resource limit exceeded: payload bytes is 16777217, maximum is 16777216");
  EXPECT_EQ(Outcome(segment->AppendSystem(bad_system, "")),
            "invalid format: unknown reserved metadata key corvantine.unknown");
  EXPECT_EQ(ReadAll(segment->path()), before);
  EXPECT_EQ(segment->byte_length(), before.size());
  EXPECT_EQ(segment->next_position(), 7u);
}

TEST_F(SegmentTest, SystemRecordCarriesTheNextPosition) {
  uint64_t length = 0;
  {
    Segment segment = *Segment::Create(dir_.path(), 0);
    ASSERT_TRUE(segment.AppendBatch(Batch(1, 2)).ok());
    ASSERT_TRUE(segment.AppendSystem(SystemEnvelope(), "{}").ok());
    ASSERT_TRUE(segment.AppendSystem(SystemEnvelope(), "{}").ok());
    EXPECT_EQ(segment.next_position(), 2u);
    length = segment.byte_length();
  }
  auto [reopened, warning] = OpenCapturing(PathOf(0));
  EXPECT_EQ(warning, "");
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ(reopened->byte_length(), length);
  EXPECT_EQ(reopened->next_position(), 2u);
  EXPECT_EQ(*reopened->AppendBatch(Batch(2, 1)), Range(2, 2));

  const std::vector<format::OwnedStoredRecord> frames = Frames(ReadAll(PathOf(0)));
  ASSERT_EQ(frames.size(), 9u);
  for (size_t i : {4, 5, 6, 7, 8}) EXPECT_EQ(frames[i].position, 2u) << i;
  EXPECT_EQ(frames[4].kind, format::kSystemRecordFrame);
  EXPECT_EQ(frames[7].kind, format::kEventFrame);
}

// Frames made by hand, for damage that the writer never produces.
std::string Frame(uint8_t kind, uint64_t position, const format::RecordEnvelopeV2& envelope,
                  std::string_view payload = "") {
  std::string frame;
  EXPECT_TRUE(record::EncodeKind(kind, position, envelope, payload, &frame).ok());
  return frame;
}

std::string Event(uint64_t position, uint8_t tag, uint32_t index) {
  return Frame(format::kEventFrame, position, EventEnvelope(tag, index), "payload");
}

std::string Control(uint8_t kind, uint64_t position, uint8_t tag, std::string_view payload) {
  return Frame(kind, position, EventEnvelope(tag, 0), payload);
}

uint32_t Digest(std::string_view events) { return util::crc32c::Value(events); }

// A valid segment at base 0 holding positions 0 and 1, followed by a tail:
// the scan keeps `kept` and drops `dropped`, or fails.
TEST(ScanSegmentTest, StopsAtTheFirstBrokenUnit) {
  platform::TempDir segment_dir;
  auto segment = Segment::Create(segment_dir.path(), 0);
  ASSERT_TRUE(segment.ok());
  ASSERT_TRUE(segment->AppendBatch(Batch(1, 2)).ok());
  const std::string prefix = ReadAll(segment->path());

  const std::string ev2 = Event(2, 9, 0);
  const std::string ev3 = Event(3, 9, 1);
  const uint32_t d2 = Digest(ev2);
  const uint32_t d23 = Digest(ev2 + ev3);
  auto open = [](uint32_t count, uint32_t digest, uint8_t tag = 9) {
    return Control(format::kBatchOpenFrame, 2, tag, ControlPayload(count, digest));
  };
  auto commit = [](uint32_t count, uint32_t digest, uint64_t position = 2, uint8_t tag = 9) {
    return Control(format::kBatchCommitFrame, position, tag, ControlPayload(count, digest));
  };
  std::string damaged = ev2;
  damaged[damaged.size() - 1] ^= 1;
  const std::string system = Frame(format::kSystemRecordFrame, 2, SystemEnvelope(), "{}");
  const std::string zeros(4'096, '\0');

  const struct {
    std::string name;
    std::string kept;
    std::string dropped;
    uint64_t next_position;
    std::string outcome;  // the stop reason's text, or the error's
  } cases[] = {
      {"clean end", "", "", 2, "clean eof"},
      {"stray bytes", "", "0123456789", 2, "torn tail: incomplete trailing record"},
      {"1 zero byte", "", std::string(1, '\0'), 2, "torn tail: incomplete trailing record"},
      {"31 zero bytes", "", std::string(31, '\0'), 2, "torn tail: incomplete trailing record"},
      {"32 zero bytes", "", std::string(32, '\0'), 2, "torn tail: incomplete trailing record"},
      {"4096 zero bytes", "", zeros, 2, "torn tail: incomplete trailing record"},
      {"zeros after a torn magic", "", ev2.substr(0, 2) + zeros, 2,
       "torn tail: incomplete trailing record"},
      {"zeros after a torn version", "", ev2.substr(0, 4) + zeros, 2,
       "torn tail: incomplete trailing record"},
      {"zeros after a torn kind", "", ev2.substr(0, 5) + zeros, 2,
       "torn tail: incomplete trailing record"},
      {"zeros after 31 stray bytes", "", std::string(31, 'x') + zeros, 2,
       "torn tail: incomplete trailing record"},
      {"zeros after 32 stray bytes", "", std::string(32, 'x') + zeros, 2,
       "invalid format: bad v2 frame magic"},
      {"zeros after a frame of an unfinished batch", "", open(2, d23) + ev2 + zeros, 2,
       "torn tail: incomplete trailing record"},
      {"zeros before a valid frame", "", zeros + ev2, 2, "invalid format: bad v2 frame magic"},
      {"half a frame", "", ev2.substr(0, 40), 2, "torn tail: incomplete trailing record"},
      {"zeros after half a frame", "", ev2.substr(0, 40) + zeros, 2, "crc mismatch"},
      {"checksum mismatch", "", damaged + ev3, 2, "crc mismatch"},
      {"standalone event", ev2, "x", 3, "torn tail: incomplete trailing record"},
      {"standalone event off sequence", "", ev3, 2, "offset-sequence mismatch"},
      {"system records", system + system, "", 2, "clean eof"},
      {"system record off sequence", "", Frame(format::kSystemRecordFrame, 3, SystemEnvelope()),
       2, "offset-sequence mismatch"},
      {"batch", open(2, d23) + ev2 + ev3 + commit(2, d23), "", 4, "clean eof"},
      {"open off sequence", "", Control(format::kBatchOpenFrame, 1, 9, ControlPayload(1, d2)) + ev2,
       2, "offset-sequence mismatch"},
      {"open inside a batch", "", open(1, d2) + open(1, d2), 2, "offset-sequence mismatch"},
      {"system record inside a batch", "", open(1, d2) + system, 2, "offset-sequence mismatch"},
      {"unfinished batch", "", open(2, d23) + ev2 + ev3, 2,
       "torn tail: incomplete trailing record"},
      {"commit without open", "", commit(1, d2), 2, "batch commit mismatch"},
      {"event at wrong position", "", open(1, d2) + Event(3, 9, 0), 2, "batch commit mismatch"},
      {"event of another batch", "", open(1, d2) + Event(2, 8, 0), 2, "batch commit mismatch"},
      {"event with wrong index", "", open(2, d23) + Event(2, 9, 1), 2, "batch commit mismatch"},
      {"more events than counted", "", open(1, d2) + ev2 + ev3, 2, "batch commit mismatch"},
      {"commit too early", "", open(2, d23) + ev2 + commit(2, d23), 2, "batch commit mismatch"},
      {"commit at wrong position", "", open(1, d2) + ev2 + commit(1, d2, 3), 2,
       "batch commit mismatch"},
      {"commit of another batch", "", open(1, d2) + ev2 + commit(1, d2, 2, 8), 2,
       "batch commit mismatch"},
      {"commit count differs", "", open(1, d2) + ev2 + commit(2, d2), 2, "batch commit mismatch"},
      {"commit digest differs", "", open(1, d2) + ev2 + commit(1, d2 ^ 1), 2,
       "batch commit mismatch"},
      {"digest does not match events", "", open(1, d2 ^ 1) + ev2 + commit(1, d2 ^ 1), 2,
       "batch commit mismatch"},
      {"short open payload", "", Control(format::kBatchOpenFrame, 2, 9, "1234567"), 2,
       "invalid format: batch control payload must be eight bytes"},
      {"zero count", "", Control(format::kBatchOpenFrame, 2, 9, ControlPayload(0, 0)), 2,
       "invalid format: batch control count must be nonzero"},
      {"long commit payload", "",
       open(1, d2) + ev2 + Control(format::kBatchCommitFrame, 2, 9, "123456789"), 2,
       "invalid format: batch control payload must be eight bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto scan = ScanSegment(prefix + c.kept + c.dropped, 0);
    if (!scan.ok()) {
      EXPECT_EQ(scan.error().ToString(), c.outcome);
      continue;
    }
    EXPECT_EQ(StopReasonText(scan->reason), c.outcome);
    EXPECT_EQ(scan->good_length, prefix.size() + c.kept.size());
    EXPECT_EQ(scan->next_position, c.next_position);
  }
}

// Appends a mix of units at base 100 and returns the image with the
// (byte length, next position) after each unit, from the empty segment on.
struct Written {
  std::string bytes;
  std::vector<std::pair<uint64_t, uint64_t>> boundaries;
};

Written WriteMixedSegment(const std::string& dir) {
  Written written;
  Segment segment = *Segment::Create(dir, 100);
  written.boundaries.emplace_back(0, 100);
  auto mark = [&] {
    written.boundaries.emplace_back(segment.byte_length(), segment.next_position());
  };
  EXPECT_TRUE(segment.AppendBatch(Batch(1, 2)).ok());
  mark();
  EXPECT_TRUE(segment.AppendSystem(SystemEnvelope(), "{}").ok());
  mark();
  EXPECT_TRUE(segment.AppendBatch(Batch(2, 1)).ok());
  mark();
  EXPECT_TRUE(segment.AppendBatch(Batch(3, 3)).ok());
  mark();
  written.bytes = ReadAll(segment.path());
  return written;
}

// The last unit that ends at or before byte `at`: (byte length, next position).
std::pair<uint64_t, uint64_t> UnitBefore(const Written& written, uint64_t at) {
  auto unit = written.boundaries.rbegin();
  while (unit->first > at) ++unit;
  return *unit;
}

// Every cut keeps the last complete unit before it, and so does the cut
// followed by the zeros that a file system may leave in place of lost
// blocks.
TEST(ScanSegmentTest, EveryTornTailKeepsTheLastCompleteUnit) {
  platform::TempDir dir;
  const Written written = WriteMixedSegment(dir.path());
  const std::string zeros(4'096, '\0');
  for (size_t cut = 0; cut <= written.bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    const auto [length, next_position] = UnitBefore(written, cut);
    const std::string torn = written.bytes.substr(0, cut);
    auto scan = ScanSegment(torn, 100);
    ASSERT_TRUE(scan.ok()) << scan.error().ToString();
    EXPECT_EQ(scan->good_length, length);
    EXPECT_EQ(scan->next_position, next_position);
    EXPECT_EQ(scan->reason, cut == length ? StopReason::kCleanEof : StopReason::kTornTail);

    auto zero_filled = ScanSegment(torn + zeros, 100);
    ASSERT_TRUE(zero_filled.ok()) << zero_filled.error().ToString();
    EXPECT_EQ(zero_filled->good_length, length);
    EXPECT_EQ(zero_filled->next_position, next_position);
    EXPECT_NE(zero_filled->reason, StopReason::kCleanEof);
    EXPECT_EQ(zero_filled->frame_after_stop, std::nullopt);
  }
}

// Any single damaged byte stops the scan at the start of the unit that holds
// it, or is damage that no torn write makes and fails the scan. The scan
// stops at the damaged frame, and finds the next frame after it, if any.
TEST(ScanSegmentTest, EveryDamagedByteStopsAtItsUnit) {
  platform::TempDir dir;
  const Written written = WriteMixedSegment(dir.path());
  const std::vector<uint64_t> starts = FrameStarts(written.bytes);
  for (size_t at = 0; at < written.bytes.size(); ++at) {
    SCOPED_TRACE(at);
    std::string damaged = written.bytes;
    damaged[at] ^= 0x5a;
    const auto [length, next_position] = UnitBefore(written, at);
    const auto next_frame = std::upper_bound(starts.begin(), starts.end(), at);
    auto scan = ScanSegment(damaged, 100);
    if (scan.ok()) {
      EXPECT_EQ(scan->good_length, length);
      EXPECT_EQ(scan->next_position, next_position);
      EXPECT_NE(scan->reason, StopReason::kCleanEof);
      EXPECT_EQ(scan->stop_offset, *std::prev(next_frame));
      EXPECT_EQ(scan->frame_after_stop,
                next_frame == starts.end() ? std::nullopt : std::optional(*next_frame));
    } else {
      const error::Kind kind = scan.error().kind();
      EXPECT_TRUE(kind == error::Kind::kInvalidFormat || kind == error::Kind::kResourceLimit)
          << scan.error().ToString();
    }
  }
}

// Opening cuts a torn file back to its last unit, at cuts around each unit's
// end (the scan above covers every cut).
TEST_F(SegmentTest, OpenCutsATornTail) {
  const Written written = WriteMixedSegment(dir_.path());
  const std::string path = PathOf(100);
  std::vector<uint64_t> cuts;
  for (const auto& [length, next_position] : written.boundaries) {
    for (uint64_t cut : {length - 1, length, length + 1, length + 32}) {
      if (cut <= written.bytes.size()) cuts.push_back(cut);  // length - 1 wraps at 0
    }
  }
  for (uint64_t cut : cuts) {
    SCOPED_TRACE(cut);
    const auto [length, next_position] = UnitBefore(written, cut);
    WriteFile(path, std::string_view(written.bytes).substr(0, cut));

    auto [segment, warning] = OpenCapturing(path);
    ASSERT_TRUE(segment.ok()) << segment.error().ToString();
    EXPECT_EQ(segment->byte_length(), length);
    EXPECT_EQ(segment->next_position(), next_position);
    EXPECT_EQ(*platform::FileSizeOf(path), length);
    EXPECT_EQ(warning,
              cut == length ? "" : Warning(path, length, StopReason::kTornTail, cut - length));
  }
}

// Opening cuts a torn tail, the incomplete last write that a crash leaves,
// with nothing valid after it, and so the zeros that a file system may leave
// in place of lost blocks. Damage that a valid frame follows fails the open
// and leaves the file as it was, whatever was synced after it.
TEST_F(SegmentTest, OpenCutsOnlyATornTail) {
  const Written written = WriteMixedSegment(dir_.path());
  const std::string& whole = written.bytes;
  const std::string path = PathOf(100);
  // Frames 0-3 are the first batch, 4 a system record, 5-7 a batch of one,
  // 8-12 the last batch of three events, at positions 103 to 105.
  const std::vector<uint64_t> starts = FrameStarts(whole);
  ASSERT_EQ(starts.size(), 13u);
  const uint64_t last_batch = starts[8];
  auto flipped = [&](uint64_t at) {
    std::string bytes = whole;
    bytes[at] ^= 4;
    return bytes;
  };
  auto cut = [&](uint64_t at) { return whole.substr(0, at); };
  auto refused = [&](uint64_t damaged, uint64_t valid_after) {
    return fmt::format(
        "corrupt record at offset {0}: segment {1} is damaged at byte {0} ({2}), but a valid "
        "frame follows at byte {3}: not a torn tail, nothing was cut",
        damaged, path, StopReasonText(StopReason::kCrcMismatch), valid_after);
  };
  const std::string zeros(4'096, '\0');
  const std::string next = Event(106, 9, 0);
  std::string garbage(1'000, '\0');
  std::mt19937 random(7);
  for (char& c : garbage) c = static_cast<char>(random());
  // A torn frame whose payload holds most of a frame at the position due:
  // its magic and header check, but with the zeros after it, not its CRC.
  const std::string inner = Event(103, 4, 0);
  const std::string outer =
      Frame(format::kEventFrame, 103, EventEnvelope(3, 0), inner.substr(0, inner.size() - 4));

  const struct {
    std::string name;
    std::string bytes;
    std::string error;  // empty when the open cuts the tail
    uint64_t stop = 0;  // where it cuts: the damaged or torn frame
    StopReason reason = StopReason::kTornTail;
  } cases[] = {
      {"flipped bit in the first frame", flipped(40), refused(0, starts[1])},
      {"flipped bit in a system record", flipped(starts[4] + 40), refused(starts[4], starts[5])},
      {"flipped bit in the last event", flipped(starts[11] + 40), refused(starts[11], starts[12])},
      {"zeros before a valid frame", whole + zeros + next, "invalid format: bad v2 frame magic"},
      {"flipped bit in the last frame", flipped(starts[12] + 40), "", starts[12],
       StopReason::kCrcMismatch},
      {"torn inside a header", cut(starts[12] + 10), "", starts[12]},
      {"torn inside an event", cut(starts[10] + 50), "", starts[10]},
      {"batch torn between whole frames", cut(starts[11]), "", starts[11]},
      {"zeros after the last unit", whole + zeros, "", whole.size()},
      {"zeros after a torn header", whole + next.substr(0, 5) + zeros, "", whole.size()},
      {"zeros after a torn frame", cut(starts[10] + 50) + zeros, "", starts[10],
       StopReason::kCrcMismatch},
      {"garbage after a torn frame", cut(starts[10] + 50) + garbage, "", starts[10],
       StopReason::kCrcMismatch},
      {"a stale frame after a torn one", cut(starts[10] + 50) + zeros + whole.substr(0, starts[1]),
       "", starts[10], StopReason::kCrcMismatch},
      {"torn frame holding most of another",
       cut(last_batch) + outer.substr(0, outer.size() - 2) + zeros, "", last_batch,
       StopReason::kCrcMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(path, c.bytes);
    auto [segment, warning] = OpenCapturing(path);
    if (!c.error.empty()) {
      EXPECT_EQ(Outcome(segment), c.error);
      EXPECT_EQ(warning, "");
      EXPECT_EQ(ReadAll(path), c.bytes);
      continue;
    }
    const auto [length, next_position] = UnitBefore(written, c.stop);
    ASSERT_TRUE(segment.ok()) << segment.error().ToString();
    EXPECT_EQ(warning, Warning(path, length, c.reason, c.bytes.size() - length));
    EXPECT_EQ(segment->byte_length(), length);
    EXPECT_EQ(segment->next_position(), next_position);
    EXPECT_EQ(ReadAll(path), whole.substr(0, length));
  }
}

TEST_F(SegmentTest, OpenErrors) {
  EXPECT_EQ(Outcome(Segment::Open(platform::JoinPath(dir_.path(), "abc.seg"))),
            fmt::format("invalid segment file name: {}/abc.seg", dir_.path()));
  EXPECT_EQ(Outcome(Segment::Open(PathOf(3))), "io: No such file or directory (os error 2)");

  WriteFile(PathOf(0), "torn");
  {
    ScopedFault fault(Op::kTruncate, 1, Fault::Error(EIO));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Outcome(Segment::Open(PathOf(0))), "io: Input/output error (os error 5)");
    ::testing::internal::GetCapturedStderr();
  }
  {
    ScopedFault fault(Op::kSync, 1, Fault::Error(EIO));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Outcome(Segment::Open(PathOf(0))), "io: Input/output error (os error 5)");
    ::testing::internal::GetCapturedStderr();
  }
}

// A failed write is cut back, so the next append lands at the byte length
// and a reopen finds every acknowledged batch, byte for byte as a run
// without the fault writes them.
TEST_F(SegmentTest, FailedWritesAreCutBack) {
  const struct {
    std::string name;
    std::vector<std::pair<uint64_t, Fault>> faults;  // on the nth write from the append
    std::string error;
  } cases[] = {
      {"failed write", {{1, Fault::Error(EIO)}}, "io: Input/output error (os error 5)"},
      {"torn write", {{1, Fault::Short(100)}, {2, Fault::Error(ENOSPC)}},
       "io: No space left on device (os error 28)"},
      {"nothing written", {{1, Fault::Short(0)}}, "io: failed to write whole buffer"},
  };
  platform::TempDir clean_dir;
  {
    Segment clean = *Segment::Create(clean_dir.path(), 0);
    ASSERT_TRUE(clean.AppendBatch(Batch(1, 2)).ok());
    ASSERT_TRUE(clean.AppendBatch(Batch(3, 3)).ok());
  }
  const std::string expected = ReadAll(platform::JoinPath(clean_dir.path(), SegmentFileName(0)));

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::TempDir dir;
    const std::string path = platform::JoinPath(dir.path(), SegmentFileName(0));
    {
      Segment segment = *Segment::Create(dir.path(), 0);
      ASSERT_TRUE(segment.AppendBatch(Batch(1, 2)).ok());
      const uint64_t length = segment.byte_length();
      {
        std::vector<std::unique_ptr<ScopedFault>> faults;
        for (const auto& [nth, fault] : c.faults) {
          faults.push_back(std::make_unique<ScopedFault>(Op::kWrite, nth, fault));
        }
        EXPECT_EQ(Outcome(segment.AppendBatch(Batch(2, 3))), c.error);
      }
      EXPECT_FALSE(segment.poisoned());
      EXPECT_EQ(segment.byte_length(), length);
      EXPECT_EQ(segment.next_position(), 2u);
      EXPECT_EQ(*platform::FileSizeOf(path), length);
      EXPECT_EQ(*segment.AppendBatch(Batch(3, 3)), Range(2, 4));
    }
    auto [reopened, warning] = OpenCapturing(path);
    EXPECT_EQ(warning, "");
    ASSERT_TRUE(reopened.ok());
    EXPECT_EQ(reopened->next_position(), 5u);
    EXPECT_EQ(ReadAll(path), expected);
  }
}

TEST_F(SegmentTest, WritesAreRefusedWhenAFailedWriteCannotBeCutBack) {
  Segment segment = *Segment::Create(dir_.path(), 0);
  ASSERT_TRUE(segment.AppendBatch(Batch(1, 2)).ok());
  const uint64_t length = segment.byte_length();
  {
    ScopedFault torn(Op::kWrite, 1, Fault::Short(100));
    ScopedFault failed(Op::kWrite, 2, Fault::Error(ENOSPC));
    ScopedFault stuck(Op::kTruncate, 1, Fault::Error(EIO));
    EXPECT_EQ(Outcome(segment.AppendBatch(Batch(2, 3))),
              "io: No space left on device (os error 28)");
  }
  EXPECT_TRUE(segment.poisoned());
  EXPECT_EQ(Outcome(segment.AppendBatch(Batch(3, 1))), "io: Input/output error (os error 5)");
  EXPECT_EQ(Outcome(segment.AppendSystem(SystemEnvelope(), "{}")),
            "io: Input/output error (os error 5)");
  EXPECT_EQ(*platform::FileSizeOf(segment.path()), length + 100);
  const std::string path = segment.path();
  segment = *Segment::Create(dir_.path(), 1000);  // closes the poisoned file

  // Reopening drops the leftover bytes and keeps what was acknowledged.
  auto [reopened, warning] = OpenCapturing(path);
  EXPECT_EQ(warning,
            Warning(path, length, StopReason::kTornTail, 100));
  ASSERT_TRUE(reopened.ok());
  EXPECT_FALSE(reopened->poisoned());
  EXPECT_EQ(reopened->next_position(), 2u);
  EXPECT_EQ(*reopened->AppendBatch(Batch(3, 1)), Range(2, 2));
}

// The control envelope is kept from batch to batch and updated in place, so
// successive batches whose first events differ in every field and in their
// metadata keys must each get exactly their own.
TEST_F(SegmentTest, ControlFramesFollowEachBatchsFirstEvent) {
  const format::Metadata metadata[] = {
      {{std::string(format::kStreamNameKey), "orders"}},
      {{std::string(format::kStreamNameKey), "refunds"}},
      {{std::string(format::kStreamNameKey), "refunds"}, {"tenant", "acme"}},
      {},
      // An event may carry a control key itself; the control frames overwrite it.
      {{std::string(format::kBatchCountKey), "forged"}, {"a", "1"}},
      {{std::string(format::kStreamNameKey), "orders"}},
  };
  Segment segment = *Segment::Create(dir_.path(), 0);
  for (uint8_t i = 0; i < std::size(metadata); ++i) {
    SCOPED_TRACE(static_cast<int>(i));
    std::vector<BatchRecord> batch = Batch(i + 1, 2);
    format::RecordEnvelopeV2& first = batch[0].envelope;
    first.database_id = format::DatabaseId(format::IdBytes{i, 1});
    first.branch_id = format::BranchId(format::IdBytes{i, 2});
    first.stream_id = format::StreamId(format::IdBytes{i, 3});
    first.stream_revision = format::StreamRevision{100u + i};
    first.timestamp_unix_nanos = -1 - i;
    first.schema_version = 7u + i;
    first.payload_format = 0x80000000u + i;
    first.metadata = metadata[i];
    const uint64_t before = segment.byte_length();
    ASSERT_TRUE(segment.AppendBatch(batch).ok());

    const std::string bytes = ReadAll(segment.path()).substr(before);
    const std::vector<format::OwnedStoredRecord> frames = Frames(bytes);
    ASSERT_EQ(frames.size(), 4u);
    const std::string_view events = std::string_view(bytes).substr(
        frames[0].frame_len, frames[1].frame_len + frames[2].frame_len);
    format::RecordEnvelopeV2 control = first;
    control.event_type = *format::EventType::New("corvantine.batch-control");
    control.batch_index = 2;
    control.metadata.insert_or_assign(std::string(format::kBatchCountKey),
                                      ControlPayload(2, 0).substr(0, 4));
    control.metadata.insert_or_assign(std::string(format::kBatchDigestKey),
                                      ControlPayload(0, util::crc32c::Value(events)).substr(4));
    EXPECT_EQ(frames[0].envelope, control);
    EXPECT_EQ(frames[3].envelope, control);
  }
}

// The sidecar a segment keeps as it appends, and the one its open builds
// from the scan, must equal what BuildSidecar makes of the file: with
// several streams, system records, seek points, a torn tail cut by the open
// and appends after it.
TEST_F(SegmentTest, KeptSidecarEqualsAScanOfTheFile) {
  const std::string path = PathOf(100);
  auto expect_equal_to_scan = [&](const Segment& segment) {
    Result<index::Sidecar> kept = segment.CurrentSidecar();
    Result<index::Sidecar> scanned = index::BuildSidecar(path, 100);
    ASSERT_TRUE(kept.ok()) << kept.error().ToString();
    ASSERT_TRUE(scanned.ok()) << scanned.error().ToString();
    EXPECT_EQ(*kept, *scanned);
  };
  const std::string payload(3'000, 'x');
  auto append_units = [&](Segment& segment, uint8_t first_tag, uint8_t last_tag) {
    for (uint8_t tag = first_tag; tag <= last_tag; ++tag) {
      if (tag % 7 == 0) {
        ASSERT_TRUE(segment.AppendSystem(SystemEnvelope(), payload).ok());
        continue;
      }
      std::vector<BatchRecord> batch = Batch(tag, 1 + tag % 4);
      for (BatchRecord& record : batch) {
        record.envelope.stream_id = format::StreamId(format::IdBytes{0x40, uint8_t(tag % 5)});
        record.envelope.timestamp_unix_nanos = (tag % 9) * 1'000 - 4'000;
        record.payload = payload;
      }
      ASSERT_TRUE(segment.AppendBatch(batch).ok());
      if (tag % 10 == 0) expect_equal_to_scan(segment);
    }
  };
  {
    Segment segment = *Segment::Create(dir_.path(), 100);
    expect_equal_to_scan(segment);
    append_units(segment, 1, 60);
    const index::Sidecar sidecar = *segment.CurrentSidecar();
    EXPECT_GT(sidecar.seek_points.size(), 3u);
    EXPECT_EQ(sidecar.postings.size(), 5u);
    EXPECT_EQ(sidecar.system_record_count, 8u);
  }
  // A torn batch at the tail: the open cuts it and leaves it out.
  const std::string whole = ReadAll(path);
  WriteFile(path, std::string_view(whole).substr(0, whole.size() - 10));
  auto [reopened, warning] = OpenCapturing(path);
  ASSERT_TRUE(reopened.ok()) << reopened.error().ToString();
  EXPECT_NE(warning, "");
  expect_equal_to_scan(*reopened);
  append_units(*reopened, 61, 80);
  expect_equal_to_scan(*reopened);
}

// Standalone events, which this writer never makes, go into the sidecar that
// the open's scan builds too.
TEST_F(SegmentTest, OpenedSidecarHasStandaloneEvents) {
  const std::string path = PathOf(0);
  WriteFile(path, Event(0, 1, 0) + Event(1, 2, 0) +
                      Frame(format::kSystemRecordFrame, 2, SystemEnvelope(), "{}") +
                      Event(2, 3, 0));
  auto [segment, warning] = OpenCapturing(path);
  ASSERT_TRUE(segment.ok()) << segment.error().ToString();
  const Result<index::Sidecar> kept = segment->CurrentSidecar();
  ASSERT_TRUE(kept.ok()) << kept.error().ToString();
  EXPECT_EQ(kept->end, 3u);
  EXPECT_EQ(*kept, *index::BuildSidecar(path, 0));
}

}  // namespace
}  // namespace corvantine::log::segment
