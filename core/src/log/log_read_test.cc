// Reads through a real log: planned reads, sidecars and the active segment,
// against a brute-force scan of what was written.
#include "log/reader.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "log/log.h"
#include "log/record.h"
#include "log/segment.h"
#include "log/test_util.h"
#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/coding.h"

namespace corvantine::log::reader {
namespace {

using namespace platform::testing;
using namespace log::testing;
using format::RecordEnvelopeV2;
using index::BuildSidecar;

class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  uint64_t Below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(engine_); }
  int64_t Between(int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(engine_);
  }
  bool OneIn(uint64_t n) { return Below(n) == 0; }

 private:
  std::mt19937_64 engine_;
};

constexpr uint64_t kStreams = 8;
constexpr uint8_t kBranches = 3;

ResolvedFilter RandomFilter(Random& random, uint64_t head) {
  ResolvedFilter filter;
  filter.system_only = random.OneIn(8);
  filter.verify_batch_digest = random.OneIn(2);
  filter.from = random.OneIn(4) ? 0 : random.Below(head + 3);
  // An event at or beyond `to` ends a system-record read too, but only in a
  // segment the read does not skip: such reads always run to the end.
  if (!filter.system_only && !random.OneIn(3)) filter.to = filter.from + random.Below(head + 3);
  if (random.OneIn(3)) {
    std::vector<format::StreamId> streams;
    for (uint64_t i = random.Below(4); i > 0; --i) {
      streams.push_back(StreamNumber(random.Below(kStreams + 2)));
    }
    filter.partition = PartitionFilter::Streams(streams);
  } else if (random.OneIn(2)) {
    const auto count = static_cast<uint32_t>(1 + random.Below(4));
    filter.partition = PartitionFilter::Modulo(count, static_cast<uint32_t>(random.Below(count)));
  }
  if (random.OneIn(4)) {
    filter.branch_scopes.emplace();
    for (uint8_t branch = 0; branch < kBranches; ++branch) {
      if (random.OneIn(2)) {
        filter.branch_scopes->push_back({BranchNumber(branch), random.Below(head + 2)});
      }
    }
  }
  if (random.OneIn(4)) {
    const int64_t lo = random.Between(-100, 3'000);
    filter.time_range = {{lo, lo + random.Between(0, 1'500)}};
  }
  if (random.OneIn(5)) filter.max_records = random.Below(20);
  return filter;
}

// Whether the filter selects a frame, decided without the reader's code.
bool Selects(const ResolvedFilter& filter, const Written& frame) {
  const RecordEnvelopeV2& envelope = frame.envelope;
  const PartitionFilter& partition = filter.partition;
  const std::vector<format::StreamId>& set = partition.streams();
  const uint64_t stream =
      util::DecodeFixed64(reinterpret_cast<const char*>(envelope.stream_id.bytes().data()));
  if ((partition.kind() == PartitionFilter::Kind::kStreams &&
       std::find(set.begin(), set.end(), envelope.stream_id) == set.end()) ||
      (partition.kind() == PartitionFilter::Kind::kModulo &&
       stream % partition.count() != partition.index())) {
    return false;
  }
  if (filter.branch_scopes &&
      std::none_of(filter.branch_scopes->begin(), filter.branch_scopes->end(),
                   [&](const BranchScope& scope) {
                     return scope.branch == envelope.branch_id && frame.position < scope.limit;
                   })) {
    return false;
  }
  return !filter.time_range || (filter.time_range->first <= envelope.timestamp_unix_nanos &&
                                envelope.timestamp_unix_nanos < filter.time_range->second);
}

std::vector<const Written*> BruteForce(const std::vector<Written>& frames,
                                       const ResolvedFilter& filter) {
  std::vector<const Written*> selected;
  for (const Written& frame : frames) {
    if (filter.max_records && selected.size() >= *filter.max_records) break;
    const uint8_t wanted = filter.system_only ? format::kSystemRecordFrame : format::kEventFrame;
    if (!filter.system_only && frame.kind == format::kEventFrame && frame.position >= filter.to) {
      break;
    }
    if (frame.kind == wanted && (filter.system_only || frame.position >= filter.from) &&
        Selects(filter, frame)) {
      selected.push_back(&frame);
    }
  }
  return selected;
}

class LogBackedReadTest : public ::testing::Test {
 protected:
  void Open(uint64_t max_segment_bytes) {
    Result<std::unique_ptr<Log>> opened = Log::OpenInternal(dir_.path(), max_segment_bytes, 0);
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    log_ = std::move(*opened);
  }

  Result<> AppendBatch(const std::vector<Event>& events) {
    const format::BatchId batch_id(NextIdBytes());
    std::vector<Written> frames;
    for (size_t i = 0; i < events.size(); ++i) {
      RecordEnvelopeV2 envelope = EnvelopeOf(events[i]);
      envelope.batch_id = batch_id;
      envelope.batch_index = static_cast<uint32_t>(i);
      std::string payload = PayloadOf(envelope, events[i].payload_bytes);
      frames.push_back({format::kEventFrame, 0, 0, std::move(envelope), std::move(payload)});
    }
    std::vector<segment::BatchRecord> records;
    for (const Written& frame : frames) records.push_back({frame.envelope, frame.payload});
    CVN_ASSIGN_OR_RETURN(auto positions, log_->AppendBatch(records));
    for (size_t i = 0; i < frames.size(); ++i) {
      frames[i].position = positions.first + i;
      written_.push_back(std::move(frames[i]));
    }
    return {};
  }

  Result<> AppendSystem(const Event& event) {
    RecordEnvelopeV2 envelope = EnvelopeOf(event);
    std::string payload = PayloadOf(envelope, event.payload_bytes);
    const uint64_t position = log_->head();
    CVN_TRY(log_->AppendSystem(envelope, payload));
    written_.push_back({format::kSystemRecordFrame, position, 0, envelope, std::move(payload)});
    return {};
  }

  // Leaves each closed segment's sidecar file sound, missing, stale or
  // damaged, and sometimes forgets the cached ones.
  void ShuffleSidecars(Random& random, const std::vector<index::Sidecar>& sound) {
    if (random.OneIn(2)) log_->sidecar_cache().clear();
    for (size_t i = 0; i < sound.size(); ++i) {
      const std::string path = log_->closed_segments()[i].path;
      index::Sidecar stale = sound[i];
      ++stale.end;
      std::string damaged = sound[i].Encode();
      damaged[random.Below(damaged.size())] ^= 0x10;
      switch (random.Below(4)) {
        case 0:
          ASSERT_TRUE(index::Persist(path, sound[i]).ok());
          break;
        case 1:
          (void)platform::RemoveFile(index::SidecarPath(path));
          break;
        case 2:
          ASSERT_TRUE(index::Persist(path, stale).ok());
          break;
        case 3:
          WriteFile(index::SidecarPath(path), damaged);
          break;
      }
    }
  }

  platform::TempDir dir_;
  std::unique_ptr<Log> log_;
  std::vector<Written> written_;
};

TEST_F(LogBackedReadTest, PlannedReadsMatchABruteForceScan) {
  Open(128 * 1024);
  Random random(0x5eed'cafe);
  for (int unit = 0; unit < 400; ++unit) {
    auto event = [&] {
      const size_t bytes = random.OneIn(10) ? 3'000 + random.Below(12'000) : random.Below(300);
      const uint64_t stream = (unit / 60 * 3 + random.Below(3)) % kStreams;  // a few per segment
      return Event{stream, static_cast<uint8_t>(random.Below(kBranches)),
                   unit * 10 + random.Between(0, 200), bytes};
    };
    if (random.OneIn(7)) {
      ASSERT_TRUE(AppendSystem(event()).ok());
    } else {
      std::vector<Event> batch;
      for (uint64_t i = 0, n = 1 + random.Below(5); i < n; ++i) batch.push_back(event());
      ASSERT_TRUE(AppendBatch(batch).ok());
    }
  }
  ASSERT_GE(log_->closed_segments().size(), 6u);
  std::vector<index::Sidecar> sound;
  for (const SegmentMeta& meta : log_->closed_segments()) {
    Result<index::Sidecar> sidecar = BuildSidecar(meta.path, meta.base);
    ASSERT_TRUE(sidecar.ok()) << sidecar.error().ToString();
    sound.push_back(*sidecar);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int query = 0; query < 300 && std::chrono::steady_clock::now() < deadline; ++query) {
    ShuffleSidecars(random, sound);
    const ResolvedFilter filter = RandomFilter(random, log_->head());
    const std::vector<const Written*> expected = BruteForce(written_, filter);
    SCOPED_TRACE(::testing::Message() << "query " << query << ": from " << filter.from << " to "
                                      << filter.to << " system " << filter.system_only);
    LogReader reader = log_->PlanReader(filter);
    for (const Written* want : expected) {
      Result<std::optional<format::StoredRecord>> next = reader.Next();
      ASSERT_TRUE(next.ok()) << next.error().ToString();
      ASSERT_TRUE(*next);
      ASSERT_EQ((*next)->position, want->position);
      ASSERT_EQ((*next)->kind, want->kind);
      ASSERT_EQ((*next)->envelope, want->envelope);
      ASSERT_EQ((*next)->payload, want->payload);
      if (!filter.system_only) {
        ASSERT_EQ(reader.scanned_position(), want->position + 1);
      }
    }
    Result<std::optional<format::StoredRecord>> end = reader.Next();
    ASSERT_TRUE(end.ok() && !*end) << Outcome(end);
    if (!filter.max_records || expected.size() < *filter.max_records) {
      EXPECT_EQ(reader.scanned_position(),
                std::max(filter.from, std::min(log_->head(), filter.to)));
    }
  }

  const std::vector<const Written*> expected = BruteForce(written_, {.system_only = true});
  StoredLogIter iter = log_->SystemRecords();
  for (const Written* want : expected) {
    std::optional<Result<format::OwnedStoredRecord>> next = iter.Next();
    ASSERT_TRUE(next && next->ok());
    EXPECT_EQ((*next)->envelope, want->envelope);
  }
  EXPECT_FALSE(iter.Next());
}

// Rolled segments are indexed from what their appends recorded, and a
// segment reopened in the middle of its life from what the open's scan
// found: both must equal a scan of the retired file.
TEST_F(LogBackedReadTest, SidecarsOfRolledSegmentsMatchAScan) {
  Random random(0x51dec0);
  auto append_units = [&](int units) {
    for (int unit = 0; unit < units; ++unit) {
      const Event event{random.Below(kStreams), 0, random.Between(-50, 5'000),
                        random.OneIn(8) ? 20'000 : random.Below(2'000)};
      if (random.OneIn(6)) {
        ASSERT_TRUE(AppendSystem(event).ok());
      } else {
        ASSERT_TRUE(AppendBatch(std::vector<Event>(1 + random.Below(6), event)).ok());
      }
    }
  };
  Open(200 * 1024);
  append_units(150);
  ASSERT_GT(log_->active_segment().byte_length(), 0u);
  log_.reset();
  Open(200 * 1024);  // the active segment is now one that the open scanned
  append_units(300);
  ASSERT_GE(log_->closed_segments().size(), 4u);
  for (size_t i = 0; i < log_->closed_segments().size(); ++i) {
    const SegmentMeta& meta = log_->closed_segments()[i];
    SCOPED_TRACE(meta.path);
    Result<index::Sidecar> scanned = BuildSidecar(meta.path, meta.base);
    ASSERT_TRUE(scanned.ok()) << scanned.error().ToString();
    EXPECT_GT(scanned->seek_points.size(), 1u);
    // Written at the roll; only segments retired since the reopen are cached.
    EXPECT_EQ(index::Load(meta.path, meta.base, scanned->end), *scanned);
    if (log_->sidecar_cache().count(meta.base) == 1) {
      EXPECT_EQ(*log_->sidecar_cache().at(meta.base), *scanned);
    }
  }
  EXPECT_GE(log_->sidecar_cache().size(), 2u);
}

// A view hands out what Next does, without copying anything.
TEST_F(LogBackedReadTest, NextViewHandsOutWhatNextDoes) {
  Open(64 * 1024);
  Random random(0x71e3);
  for (int unit = 0; unit < 200; ++unit) {
    const Event event{random.Below(kStreams), static_cast<uint8_t>(random.Below(kBranches)),
                      random.Between(0, 3'000), random.Below(3'000)};
    if (random.OneIn(5)) {
      ASSERT_TRUE(AppendSystem(event).ok());
    } else {
      ASSERT_TRUE(AppendBatch(std::vector<Event>(1 + random.Below(4), event)).ok());
    }
  }
  for (int query = 0; query < 40; ++query) {
    const ResolvedFilter filter = RandomFilter(random, log_->head());
    LogReader records = log_->PlanReader(filter);
    LogReader views = log_->PlanReader(filter);
    for (;;) {
      Result<std::optional<format::StoredRecord>> record = records.Next();
      Result<const format::FrameView*> view = views.NextView();
      ASSERT_TRUE(record.ok() && view.ok());
      ASSERT_EQ(record->has_value(), *view != nullptr);
      if (!*record) break;
      EXPECT_EQ(format::MakeRecord(**view), **record);
    }
    EXPECT_EQ(views.scanned_position(), records.scanned_position());
  }
}

TEST_F(LogBackedReadTest, ActiveSegmentRolledAwayDuringAPlan) {
  Open(4 * 1024);
  ASSERT_TRUE(AppendBatch(Events(3)).ok());
  LogReader unopened = log_->PlanReader(Verifying());
  LogReader started = log_->PlanReader(Verifying());
  ASSERT_TRUE(started.Next().ok());

  while (log_->closed_segments().empty()) ASSERT_TRUE(AppendBatch(Events(2, 500)).ok());
  const uint64_t rolled_at = log_->active_segment().base();
  ASSERT_TRUE(AppendBatch(Events(1)).ok());

  std::vector<uint64_t> expected(rolled_at);
  std::iota(expected.begin(), expected.end(), 0);
  for (LogReader* reader : {&unopened, &started}) {
    ReadOutcome read = ReadAll(*reader);
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(Positions(read.records),
              std::vector<uint64_t>(expected.begin() + (reader == &started), expected.end()));
    EXPECT_EQ(reader->scanned_position(), rolled_at);
  }
}

TEST_F(LogBackedReadTest, ReadFromInsideTheActiveSegmentStartsAtItsSeekPoint) {
  Open(Log::kDefaultMaxSegmentBytes);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(AppendBatch(Events(1, 70'000)).ok());
  const std::optional<index::SeekPoint> third = log_->active_segment().SeekPointBefore(3);
  ASSERT_TRUE(third);
  ASSERT_EQ(third->position, 3u);

  // Damage the first batches behind the log's back: only a read that starts
  // there meets them.
  Result<platform::File> file = platform::OpenForReadWrite(log_->active_segment().path());
  ASSERT_TRUE(file.ok()) << file.error().ToString();
  ASSERT_TRUE(file->WriteAt(0, std::string(third->offset, 'x')).ok());
  LogReader late = log_->PlanReader({.from = 3});
  const ReadOutcome read = ReadAll(late);
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(Positions(read.records), (std::vector<uint64_t>{3, 4}));
  LogReader early = log_->PlanReader({.from = 1});
  EXPECT_EQ(ReadAll(early).error, "invalid format: bad v2 frame magic");
}

TEST_F(LogBackedReadTest, BytesOfAFailedWriteAreNeverRead) {
  Open(Log::kDefaultMaxSegmentBytes);
  ASSERT_TRUE(AppendBatch(Events(2)).ok());
  {
    // The open frame and two whole events land; the file cannot be cut back.
    ScopedFault torn(Op::kWrite, 1, Fault::Short(25'000));
    ScopedFault full(Op::kWrite, 2, Fault::Error(ENOSPC));
    ScopedFault stuck(Op::kTruncate, 1, Fault::Error(EIO));
    ASSERT_FALSE(AppendBatch(Events(3, 10'000)).ok());
  }
  const segment::Segment& active = log_->active_segment();
  ASSERT_GT(*platform::FileSizeOf(active.path()), active.byte_length() + 20'000);
  LogReader reader = log_->PlanReader(ResolvedFilter{});
  ReadOutcome read = ReadAll(reader);
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(Positions(read.records), (std::vector<uint64_t>{0, 1}));
}

TEST_F(LogBackedReadTest, SystemRecordsOfSegmentsLeftBelowTheFloorAreNotRead) {
  Open(1'024);
  ASSERT_TRUE(AppendSystem({.stream = 1}).ok());
  ASSERT_TRUE(AppendBatch(Events(3, 600)).ok());
  ASSERT_TRUE(AppendSystem({.stream = 2}).ok());  // rolls first
  ASSERT_TRUE(AppendBatch(Events(3, 600)).ok());
  ASSERT_TRUE(AppendSystem({.stream = 3}).ok());  // rolls first
  ASSERT_EQ(log_->closed_segments().size(), 2u);

  ASSERT_TRUE(log_->ActivateRetention(3, 99).ok());
  {
    ScopedFault stuck(Op::kRemove, 1, Fault::Error(EBUSY).Persistent());
    log_->ReclaimBelowRetentionFloor();
  }
  ASSERT_EQ(log_->closed_segments().front().base, 0u);  // a failed clean-up left it

  std::vector<format::StreamId> streams;
  StoredLogIter iter = log_->SystemRecords();
  while (std::optional<Result<format::OwnedStoredRecord>> next = iter.Next()) {
    ASSERT_TRUE(next->ok()) << next->error().ToString();
    streams.push_back((*next)->envelope.stream_id);
  }
  EXPECT_EQ(streams, (std::vector<format::StreamId>{StreamNumber(2), StreamNumber(3)}));
}

}  // namespace
}  // namespace corvantine::log::reader
