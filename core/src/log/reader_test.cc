#include "log/reader.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <numeric>

#include <gtest/gtest.h>

#include "log/log.h"
#include "log/record.h"
#include "log/segment.h"
#include "log/test_util.h"
#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::log::reader {
namespace {

using namespace platform::testing;
using namespace log::testing;
using format::RecordEnvelopeV2;
using index::BuildSidecar;

constexpr uint64_t kMaxPosition = std::numeric_limits<uint64_t>::max();


// The bytes of one segment, built frame by frame. Batch, System and
// Standalone write what the log writes; the frames "At" a position, Frame
// and Raw write anything.
class SegmentImage {
 public:
  explicit SegmentImage(uint64_t base) : base_(base), next_(base) {}

  // One batch whose control frames carry a digest and a count off by the
  // given errors.
  void Batch(const std::vector<Event>& events, uint32_t digest_error = 0,
             uint32_t count_error = 0) {
    const format::BatchId batch_id(NextIdBytes());
    std::vector<Written> frames;
    std::string event_bytes;
    for (size_t i = 0; i < events.size(); ++i) {
      RecordEnvelopeV2 envelope = EnvelopeOf(events[i]);
      envelope.batch_id = batch_id;
      envelope.batch_index = static_cast<uint32_t>(i);
      std::string payload = PayloadOf(envelope, events[i].payload_bytes);
      EXPECT_TRUE(record::EncodeKind(format::kEventFrame, next_ + i, envelope, payload,
                                     &event_bytes).ok());
      frames.push_back({format::kEventFrame, next_ + i, 0, envelope, payload});
    }
    const auto count = static_cast<uint32_t>(events.size());
    const std::string control_payload =
        ControlPayload(count + count_error, util::crc32c::Value(event_bytes) + digest_error);
    RecordEnvelopeV2 control = frames.front().envelope;
    control.event_type = *format::EventType::New(std::string(segment::kBatchControlEventType));
    control.batch_index = count;
    Frame(format::kBatchOpenFrame, next_, control, control_payload);
    for (Written& frame : frames) Frame(frame.kind, frame.position, frame.envelope, frame.payload);
    Frame(format::kBatchCommitFrame, next_, control, control_payload);
    next_ += count;
  }

  void System(const Event& event) {
    RecordEnvelopeV2 envelope = EnvelopeOf(event);
    Frame(format::kSystemRecordFrame, next_, envelope, PayloadOf(envelope, event.payload_bytes));
  }

  // An event outside any batch.
  void Standalone(const Event& event) {
    RecordEnvelopeV2 envelope = EnvelopeOf(event);
    Frame(format::kEventFrame, next_++, envelope, PayloadOf(envelope, event.payload_bytes));
  }

  // Single frames of the all-zero batch id unless told otherwise.
  void OpenAt(uint64_t position, uint32_t count = 1) {
    Frame(format::kBatchOpenFrame, position, EnvelopeOf({}), ControlPayload(count, 0));
  }
  void EventAt(uint64_t position, uint32_t index = 0, format::BatchId batch = {}) {
    RecordEnvelopeV2 envelope = EnvelopeOf({});
    envelope.batch_index = index;
    envelope.batch_id = batch;
    Frame(format::kEventFrame, position, envelope, "");
  }
  void CommitAt(uint64_t position, format::BatchId batch = {}) {
    RecordEnvelopeV2 envelope = EnvelopeOf({});
    envelope.batch_id = batch;
    Frame(format::kBatchCommitFrame, position, envelope, ControlPayload(1, 0));
  }
  void SystemAt(uint64_t position) {
    Frame(format::kSystemRecordFrame, position, EnvelopeOf({}), "");
  }

  void Frame(uint8_t kind, uint64_t position, const RecordEnvelopeV2& envelope,
             std::string payload) {
    const uint64_t offset = bytes_.size();
    EXPECT_TRUE(record::EncodeKind(kind, position, envelope, payload, &bytes_).ok());
    written_.push_back({kind, position, offset, envelope, std::move(payload)});
  }
  void Raw(std::string_view bytes) { bytes_ += bytes; }

  uint64_t base() const { return base_; }
  uint64_t next_position() const { return next_; }
  const std::string& bytes() const { return bytes_; }
  std::string& mutable_bytes() { return bytes_; }
  const std::vector<Written>& written() const { return written_; }

 private:
  uint64_t base_;
  uint64_t next_;
  std::string bytes_;
  std::vector<Written> written_;
};

// The first `n` bytes of an event frame at `position`.
std::string PartOfAFrame(uint64_t position, size_t n) {
  SegmentImage image(position);
  image.Standalone({});
  return image.bytes().substr(0, n);
}

// A log directory as a reader sees it, without a Log: closed segments and an
// active one, whose state a test moves at will.
class FakeLog {
 public:
  explicit FakeLog(std::string dir) : dir_(std::move(dir)) {}

  // Writes one file per image; the last one becomes the active segment.
  void Write(const std::vector<SegmentImage>& images) {
    bases.clear();
    for (const SegmentImage& image : images) {
      WriteFile(SegmentPath(image.base()), image.bytes());
      bases.push_back(image.base());
    }
    head = images.back().next_position();
    active_length = images.back().bytes().size();
  }

  std::string SegmentPath(uint64_t base) const {
    return platform::JoinPath(dir_, segment::SegmentFileName(base));
  }

  LogReader Plan(const ResolvedFilter& filter) const;

  std::vector<uint64_t> bases;  // ascending; the last one is active
  uint64_t head = 0;
  uint64_t active_length = 0;
  mutable std::map<uint64_t, std::shared_ptr<const index::Sidecar>> cache;

 private:
  std::string dir_;
};

class FakeLogView : public LogView {
 public:
  explicit FakeLogView(const FakeLog* log) : log_(log) {}

  uint64_t head() const override { return log_->head; }
  uint64_t active_base() const override { return log_->bases.back(); }
  uint64_t active_length() const override { return log_->active_length; }
  uint64_t NextSegmentBase(uint64_t base) const override {
    return *std::upper_bound(log_->bases.begin(), log_->bases.end(), base);
  }
  std::string SegmentPath(uint64_t base) const override { return log_->SegmentPath(base); }
  std::shared_ptr<const index::Sidecar> CachedSidecar(uint64_t base) const override {
    auto it = log_->cache.find(base);
    return it == log_->cache.end() ? nullptr : it->second;
  }
  void CacheSidecar(uint64_t base, std::shared_ptr<const index::Sidecar> sidecar) const override {
    log_->cache[base] = std::move(sidecar);
  }
  // Reads enter the fake's active segment at its start.
  std::optional<index::SeekPoint> ActiveSeekPointBefore(uint64_t) const override {
    return std::nullopt;
  }

 private:
  const FakeLog* log_;
};

LogReader FakeLog::Plan(const ResolvedFilter& filter) const {
  std::vector<PlannedSegment> segments;
  for (size_t i = 0; i + 1 < bases.size(); ++i) {
    segments.push_back({SegmentPath(bases[i]), bases[i], bases[i + 1]});
  }
  segments.push_back({std::nullopt, bases.back(), head});
  return LogReader(std::make_unique<FakeLogView>(this), PlanSegments(segments, filter, 0), filter);
}

// ---------------------------------------------------------------------------
// BuildSidecar

class BuildSidecarTest : public ::testing::Test {
 protected:
  Result<index::Sidecar> Build(const SegmentImage& image) {
    const std::string path =
        platform::JoinPath(dir_.path(), segment::SegmentFileName(image.base()));
    WriteFile(path, image.bytes());
    return BuildSidecar(path, image.base());
  }
  index::Sidecar Built(const SegmentImage& image) {
    Result<index::Sidecar> sidecar = Build(image);
    EXPECT_TRUE(sidecar.ok()) << sidecar.error().ToString();
    return sidecar.ok() ? *sidecar : index::Sidecar{};
  }

  platform::TempDir dir_;
};

TEST_F(BuildSidecarTest, EmptyAndSystemOnlySegmentsHaveNoEvents) {
  SegmentImage empty(40);
  SegmentImage system_only(40);
  for (int i = 0; i < 3; ++i) system_only.System({.stream = 1, .timestamp = 5});
  index::Sidecar expected;
  expected.base = expected.end = 40;
  expected.seek_points = {{40, 0}};
  EXPECT_EQ(Built(empty), expected);
  expected.system_record_count = 3;
  EXPECT_EQ(Built(system_only), expected);
}

TEST_F(BuildSidecarTest, PostingsAndTimeSpan) {
  SegmentImage image(10);
  image.Batch({{.stream = 7, .timestamp = 50}, {.stream = 2, .timestamp = -3}});
  image.System({.stream = 9, .timestamp = -1000});  // counts, but has no posting or time
  image.Standalone({.stream = 7, .timestamp = 20});
  image.Batch({{.stream = 2, .timestamp = 90}});
  const index::Sidecar sidecar = Built(image);
  EXPECT_EQ(sidecar.end, 14u);
  EXPECT_EQ(sidecar.min_timestamp, -3);
  EXPECT_EQ(sidecar.max_timestamp, 90);
  EXPECT_EQ(sidecar.system_record_count, 1u);
  const std::vector<index::PostingEntry> postings = {{StreamNumber(2), 11, 13, 2},
                                                     {StreamNumber(7), 10, 12, 2}};
  EXPECT_EQ(sidecar.postings, postings);
}

TEST_F(BuildSidecarTest, SeekPointsFallOnlyOnFramesOutsideBatches) {
  SegmentImage image(10);
  for (int i = 0; i < 4; ++i) image.Standalone({.payload_bytes = 70'000});
  image.Batch(Events(1'000, 180));  // about 200 KiB
  image.Standalone({});
  const std::vector<Written>& w = image.written();
  ASSERT_GT(w[1'005].offset - w[4].offset, 200u * 1024);
  const std::vector<index::SeekPoint> expected = {
      {10, 0}, {11, w[1].offset}, {12, w[2].offset}, {13, w[3].offset},
      {14, w[4].offset},  // the batch's open frame
      {1'014, w[1'006].offset},
  };
  EXPECT_EQ(Built(image).seek_points, expected);
}

TEST_F(BuildSidecarTest, FailuresNameTheDamage) {
  using S = SegmentImage&;
  const struct {
    std::function<void(S)> write;
    std::string error;
  } cases[] = {
      {[](S s) { s.Batch(Events(2)); s.Raw("0123456789"); },
       "corrupt record at offset 102: segment has trailing bytes"},
      {[](S s) { s.Batch(Events(2)); s.Raw(PartOfAFrame(102, 40)); },
       "corrupt record at offset 102: segment ends mid-frame"},
      {[](S s) { s.Batch(Events(1)); s.OpenAt(101, 3); s.EventAt(101); s.EventAt(102, 1); },
       "corrupt record at offset 101: segment ends inside an uncommitted batch"},
      {[](S s) { s.CommitAt(100); }, "corrupt record at offset 100: batch commit without begin"},
      {[](S s) { s.OpenAt(100, 2); s.EventAt(100); s.OpenAt(101); },
       "corrupt record at offset 101: position 101 breaks expected sequence 100"},
      {[](S s) { s.OpenAt(100, 2); s.SystemAt(100); },
       "corrupt record at offset 100: position 100 breaks expected sequence 100"},
      {[](S s) { s.EventAt(101); },
       "corrupt record at offset 101: position 101 breaks expected sequence 100"},
      {[](S s) { s.OpenAt(100, 2); s.EventAt(100); s.EventAt(100); },
       "corrupt record at offset 100: position 100 breaks expected sequence 101"},
      {[](S s) { s.OpenAt(100); s.CommitAt(100); },  // no events
       "corrupt record at offset 100: position 100 breaks expected sequence 100"},
      {[](S s) { s.OpenAt(100); s.EventAt(100); s.CommitAt(101); },
       "corrupt record at offset 101: position 101 breaks expected sequence 100"},
      {[](S s) { s.Raw(std::string(40, '\0')); }, "invalid format: bad v2 frame magic"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SegmentImage image(100);
    cases[i].write(image);
    EXPECT_EQ(Outcome(Build(image)), cases[i].error) << "case " << i;
  }

  SegmentImage flipped(100);
  flipped.Batch(Events(1));
  flipped.mutable_bytes()[flipped.written()[1].offset + 40] ^= 1;
  EXPECT_TRUE(Outcome(Build(flipped)).starts_with("corrupt record at offset 100: v2 crc mismatch"));
  EXPECT_EQ(Outcome(BuildSidecar(dir_.path() + "/missing.seg", 0)),
            "io: No such file or directory (os error 2)");
}

// ---------------------------------------------------------------------------
// Reading

class LogReaderTest : public ::testing::Test {
 protected:
  void Write(const std::vector<SegmentImage>& images) { log_.Write(images); }
  ReadOutcome Read(const ResolvedFilter& filter) {
    LogReader reader = log_.Plan(filter);
    return ReadAll(reader);
  }

  platform::TempDir dir_;
  FakeLog log_{dir_.path()};
};

TEST_F(LogReaderTest, EveryFailureHasItsText) {
  using S = SegmentImage&;
  // Each case writes the closed segment at base 0, planned to end at 10; an
  // empty active segment follows.
  const struct {
    bool verify;
    std::function<void(S)> write;
    std::string error;
  } cases[] = {
      {false, [](S s) { s.EventAt(1); },
       "corrupt record at offset 1: position 1 breaks expected sequence 0"},
      {false, [](S s) { s.Batch(Events(2)); s.OpenAt(2); s.EventAt(3); },
       "corrupt record at offset 3: position 3 breaks expected sequence 2"},
      {false, [](S s) { s.OpenAt(0, 2); s.EventAt(0); s.EventAt(1, /*index=*/2); },
       "corrupt record at offset 1: position 1 breaks expected sequence 1"},
      {false, [](S s) { s.OpenAt(0); s.EventAt(0, 0, OtherBatch()); },
       "corrupt record at offset 0: position 0 breaks expected sequence 0"},
      {false, [](S s) { s.Batch(Events(3)); s.OpenAt(3, 2); s.EventAt(3); s.OpenAt(4); },
       "corrupt record at offset 4: position 4 breaks expected sequence 3"},
      {false, [](S s) { s.OpenAt(0, 2); s.SystemAt(0); },
       "corrupt record at offset 0: position 0 breaks expected sequence 0"},
      {false, [](S s) { s.CommitAt(0); }, "corrupt record at offset 0: batch commit without begin"},
      {false, [](S s) { s.OpenAt(0); s.EventAt(0); s.CommitAt(0, OtherBatch()); },
       "corrupt record at offset 0: batch commit does not match its begin"},
      {false, [](S s) { s.OpenAt(0); s.EventAt(0); s.CommitAt(1); },
       "corrupt record at offset 1: batch commit does not match its begin"},
      {true, [](S s) { s.Batch(Events(2), /*digest_error=*/1); },
       "corrupt record at offset 0: batch digest verification failed"},
      {true, [](S s) { s.Batch(Events(2), 0, /*count_error=*/1); },
       "corrupt record at offset 0: batch digest verification failed"},
      {false, [](S s) { s.OpenAt(0); s.CommitAt(0); },
       "corrupt record at offset 0: batch committed zero events"},
      {true, [](S s) { s.Frame(format::kBatchOpenFrame, 0, EnvelopeOf({}), "1234567"); },
       "invalid format: batch control payload must be eight bytes"},
      {true, [](S s) { s.OpenAt(0, /*count=*/0); },
       "invalid format: batch control count must be nonzero"},
      {false, [](S s) { s.Batch(Events(4)); },
       "corrupt record at offset 4: closed segment ended at position 4 before its recorded end 10"},
      {false, [](S s) { s.Batch(Events(10)); s.Raw("0123456789"); },
       "corrupt record at offset 10: closed segment has 10 trailing byte(s)"},
      {false, [](S s) { s.Batch(Events(9)); s.Raw(PartOfAFrame(9, 100)); },
       "corrupt record at offset 9: closed segment ends mid-frame"},
      {false, [](S s) { s.Raw(std::string(32, 'x')); }, "invalid format: bad v2 frame magic"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SegmentImage closed(0);
    cases[i].write(closed);
    Write({closed, SegmentImage(10)});
    log_.cache.clear();
    (void)platform::RemoveFile(index::SidecarPath(log_.SegmentPath(0)));
    const ResolvedFilter filter{.verify_batch_digest = cases[i].verify};
    EXPECT_EQ(Read(filter).error, cases[i].error) << "case " << i;
    EXPECT_EQ(log_.cache.count(0), 0u) << "case " << i;  // no sidecar describes damage
  }
}

TEST_F(LogReaderTest, DigestFailureComesAfterTheBatchHasBeenHandedOut) {
  SegmentImage active(0);
  active.Batch(Events(3));
  active.Batch(Events(2), /*digest_error=*/7);
  Write({active});

  LogReader reader = log_.Plan(Verifying());
  for (uint64_t position = 0; position < 5; ++position) {
    Result<std::optional<format::StoredRecord>> next = reader.Next();
    ASSERT_TRUE(next.ok() && *next) << position;
    EXPECT_EQ((*next)->position, position);
  }
  EXPECT_EQ(Outcome(reader.Next()), "corrupt record at offset 3: batch digest verification failed");
  EXPECT_EQ(Read(ResolvedFilter{}).records.size(), 5u);  // unverified, it reads cleanly
}

TEST_F(LogReaderTest, MaxRecordsAndEmptyPlansSetTheScannedPosition) {
  SegmentImage active(0);
  active.Batch(Events(10));
  Write({active});
  LogReader limited = log_.Plan(ResolvedFilter{.max_records = 3, .from = 2});
  EXPECT_EQ(Positions(ReadAll(limited).records), (std::vector<uint64_t>{2, 3, 4}));
  EXPECT_EQ(limited.scanned_position(), 5u);

  const struct {
    uint64_t from, to, scanned;
  } empty_plans[] = {{2, 2, 2}, {3, 1, 3}, {10, kMaxPosition, 10}, {19, kMaxPosition, 19}};
  for (const auto& c : empty_plans) {
    LogReader reader = log_.Plan(ResolvedFilter{.from = c.from, .to = c.to});
    EXPECT_TRUE(ReadAll(reader).records.empty());
    EXPECT_EQ(reader.scanned_position(), c.scanned) << c.from << ".." << c.to;
  }
}

TEST_F(LogReaderTest, ActiveSegmentEndsAtItsLengthOrAtATornTail) {
  SegmentImage active(0);
  active.Batch(Events(3));
  const size_t complete = active.bytes().size();
  SegmentImage more(3);
  more.Batch(Events(2));
  const struct {
    std::string tail;
    bool counted;  // whether the active length covers the tail
  } cases[] = {
      {more.bytes(), false},  // a failed write's whole batch
      {std::string(100, 'x'), false},
      {more.bytes().substr(0, 20), true},
      {more.bytes().substr(0, more.written()[1].offset + 40), true},
  };
  for (const auto& c : cases) {
    SegmentImage torn = active;
    torn.Raw(c.tail);
    Write({torn});
    log_.active_length = c.counted ? torn.bytes().size() : complete;
    ReadOutcome read = Read(Verifying());
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(Positions(read.records), (std::vector<uint64_t>{0, 1, 2}));
  }
}

TEST_F(LogReaderTest, ReaderSeesAppendsUpToTheActiveLength) {
  SegmentImage active(0);
  active.Batch(Events(2));
  Write({active});
  LogReader reader = log_.Plan(ResolvedFilter{});
  ASSERT_TRUE(reader.Next().ok());

  active.Batch(Events(2));  // an append lands between two calls
  WriteFile(log_.SegmentPath(0), active.bytes());
  log_.head = active.next_position();
  log_.active_length = active.bytes().size();
  ReadOutcome rest = ReadAll(reader);
  EXPECT_EQ(rest.error, "");
  EXPECT_EQ(Positions(rest.records), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(reader.scanned_position(), 4u);
}

TEST_F(LogReaderTest, ActiveSegmentRolledAwayBeforeOpeningIsReadAsClosed) {
  SegmentImage first(0);
  first.Batch(Events(3));
  Write({first});
  LogReader reader = log_.Plan(Verifying());

  first.Batch(Events(2));  // appended after planning, then the log rolls
  SegmentImage second(5);
  second.Batch(Events(1));
  Write({first, second});
  ReadOutcome read = ReadAll(reader);
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(Positions(read.records), (std::vector<uint64_t>{0, 1, 2, 3, 4}));
  // The plan covered the log up to the roll, not up to the head.
  EXPECT_EQ(reader.scanned_position(), 5u);
  ASSERT_TRUE(log_.cache.count(0));
  EXPECT_EQ(log_.cache[0]->end, 5u);
}

TEST_F(LogReaderTest, SkipsClosedSegmentsWithoutOpeningThem) {
  SegmentImage a(0), b(4), c(8), active(12);
  a.Batch({{.stream = 1, .timestamp = 100}, {.stream = 5, .timestamp = 150}});
  a.Batch({{.stream = 1, .timestamp = 120}, {.stream = 1, .timestamp = 130}});
  b.Batch({{.stream = 2, .timestamp = 200}, {.stream = 6, .timestamp = 250}});
  b.System({});
  b.Batch({{.stream = 2, .timestamp = 220}, {.stream = 2, .timestamp = 230}});
  c.Batch(std::vector<Event>(4, {.stream = 3, .timestamp = 300}));
  active.System({});
  Write({a, b, c, active});
  auto opened = [&](const ResolvedFilter& filter) {
    std::vector<std::unique_ptr<CallCounter>> opens;
    for (uint64_t base : {0, 4, 8}) {
      opens.push_back(std::make_unique<CallCounter>(Op::kOpen, segment::SegmentFileName(base)));
    }
    EXPECT_EQ(Read(filter).error, "");
    std::vector<uint64_t> bases;
    for (size_t i = 0; i < opens.size(); ++i) {
      if (opens[i]->count() > 0) bases.push_back(4 * i);
    }
    return bases;
  };
  ASSERT_EQ(opened(ResolvedFilter{}), (std::vector<uint64_t>{0, 4, 8}));  // indexes all three
  ASSERT_EQ(log_.cache.size(), 3u);

  const ResolvedFilter streams{.partition = PartitionFilter::Streams({StreamNumber(2)})};
  const struct {
    ResolvedFilter filter;
    std::vector<uint64_t> opened;
  } cases[] = {
      {streams, {4}},
      {{.partition = PartitionFilter::Streams({})}, {}},
      {{.partition = PartitionFilter::Modulo(4, 1)}, {0}},  // streams 1 and 5
      {{.time_range = {{0, 200}}}, {0}},
      {{.time_range = {{230, 1'000}}}, {4, 8}},
      {{.time_range = {{150, 1'000}}}, {0, 4, 8}},  // from the first one's last event
      {{.system_only = true}, {4}},
  };
  for (const auto& c : cases) EXPECT_EQ(opened(c.filter), c.opened);
  // A fresh log finds the sidecar files the reads left behind.
  log_.cache.clear();
  EXPECT_EQ(opened(streams), (std::vector<uint64_t>{4}));
}

TEST_F(LogReaderTest, ReadStartsAtTheSeekPointBeforeFrom) {
  SegmentImage closed(0);
  for (int i = 0; i < 5; ++i) closed.Standalone({.payload_bytes = 70'000});
  Write({closed, SegmentImage(5)});
  ASSERT_EQ(Read(ResolvedFilter{}).records.size(), 5u);  // builds the sidecar

  // Damage the first frames: only a read that starts there meets them.
  std::string damaged = closed.bytes();
  std::fill(damaged.begin(), damaged.begin() + closed.written()[2].offset, 'x');
  WriteFile(log_.SegmentPath(0), damaged);
  ReadOutcome read = Read(ResolvedFilter{.from = 3});
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(Positions(read.records), (std::vector<uint64_t>{3, 4}));
  EXPECT_EQ(Read(ResolvedFilter{.from = 1}).error, "invalid format: bad v2 frame magic");
}

TEST_F(LogReaderTest, UnpersistableSidecarCostsAWarning) {
  SegmentImage closed(0);
  closed.Batch(Events(2));
  Write({closed, SegmentImage(2)});
  ScopedFault refused(Op::kRename, 1, Fault::Error(EACCES).Persistent(), ".sidx");
  ::testing::internal::CaptureStderr();
  ReadOutcome read = Read(ResolvedFilter{});
  const std::string warnings = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(read.records.size(), 2u);
  EXPECT_EQ(warnings, "corvantine: could not persist sidecar for " + log_.SegmentPath(0) +
                          ": Permission denied (os error 13)\n");
  EXPECT_TRUE(log_.cache.count(0));
}

TEST_F(LogReaderTest, IoErrorsAreReturnedAndAFailedOpenOrMapIsRetried) {
  SegmentImage closed(0), active(2);
  closed.Batch(Events(2));
  active.Batch(Events(1));
  Write({closed, active});
  ASSERT_EQ(Read(ResolvedFilter{}).records.size(), 3u);  // sidecar in the cache

  LogReader reader = log_.Plan(ResolvedFilter{});
  {
    ScopedFault fault(Op::kOpen, 1, Fault::Error(EMFILE), segment::SegmentFileName(0));
    EXPECT_EQ(Outcome(reader.Next()), "io: Too many open files (os error 24)");
  }
  ReadOutcome rest = ReadAll(reader);
  EXPECT_EQ(rest.error, "");
  EXPECT_EQ(Positions(rest.records), (std::vector<uint64_t>{0, 1, 2}));
  LogReader unmapped = log_.Plan(ResolvedFilter{.positions = {{{0, 3}}}});
  {
    ScopedFault fault(Op::kMap, 1, Fault::Error(ENOMEM), segment::SegmentFileName(0));
    EXPECT_EQ(Outcome(unmapped.Next()), "io: Cannot allocate memory (os error 12)");
  }
  EXPECT_EQ(Positions(ReadAll(unmapped).records), (std::vector<uint64_t>{0, 1, 2}));

  ScopedFault fault(Op::kRead, 1, Fault::Error(EIO), segment::SegmentFileName(2));
  EXPECT_EQ(Read(ResolvedFilter{}).error, "io: Input/output error (os error 5)");
}

TEST_F(LogReaderTest, StoredLogIterStopsAfterAnError) {
  SegmentImage active(0);
  active.Batch(Events(1));
  active.Raw(std::string(32, 'x'));
  Write({active});
  StoredLogIter iter(log_.Plan(ResolvedFilter{}));
  std::optional<Result<format::OwnedStoredRecord>> first = iter.Next();
  ASSERT_TRUE(first && first->ok());
  EXPECT_EQ((*first)->payload, active.written()[1].payload);
  std::optional<Result<format::OwnedStoredRecord>> second = iter.Next();
  ASSERT_TRUE(second && !second->ok());
  EXPECT_EQ(second->error().ToString(), "invalid format: bad v2 frame magic");
  EXPECT_FALSE(iter.Next());
}

}  // namespace
}  // namespace corvantine::log::reader
