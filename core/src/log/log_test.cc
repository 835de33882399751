#include "log/log.h"

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::log {
namespace {

using namespace platform::testing;

format::RecordEnvelopeV2 Envelope(uint32_t batch_index) {
  format::RecordEnvelopeV2 envelope;
  envelope.stream_id = format::StreamId(format::IdBytes{9});
  envelope.event_type = *format::EventType::New("order.placed");
  envelope.batch_index = batch_index;
  return envelope;
}

format::RecordEnvelopeV2 SystemEnvelope() {
  format::RecordEnvelopeV2 envelope;
  envelope.event_type = *format::EventType::New("corvantine.branch.created");
  return envelope;
}

std::vector<std::string> ListLogDir(const std::string& data_dir) {
  return *platform::ListDir(platform::JoinPath(data_dir, kLogDirName));
}

std::string LogFile(const std::string& data_dir, std::string_view name) {
  return platform::JoinPath(platform::JoinPath(data_dir, kLogDirName), name);
}

// A log in a temporary directory, with the payloads of every event it has
// acknowledged, in position order.
class LogTest : public ::testing::Test {
 protected:
  void Open(uint64_t max_segment_bytes = Log::kDefaultMaxSegmentBytes) {
    log_.reset();
    Result<std::unique_ptr<Log>> opened = Log::OpenInternal(dir(), max_segment_bytes, 0);
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    log_ = std::move(*opened);
  }

  Result<std::pair<uint64_t, uint64_t>> Append(uint32_t count) {
    std::vector<std::string> payloads;
    std::vector<segment::BatchRecord> records;
    for (uint32_t i = 0; i < count; ++i) {
      payloads.push_back(fmt::format("event {}", acknowledged_.size() + i));
    }
    for (uint32_t i = 0; i < count; ++i) records.push_back({Envelope(i), payloads[i]});
    Result<std::pair<uint64_t, uint64_t>> appended = log_->AppendBatch(records);
    if (appended.ok()) acknowledged_.insert(acknowledged_.end(), payloads.begin(), payloads.end());
    return appended;
  }

  Result<> AppendSystem() { return log_->AppendSystem(SystemEnvelope(), "system"); }

  // Reads every event back through a planned read and compares it with what
  // was acknowledged: dense positions from 0, the same payloads.
  void ExpectAcknowledgedEvents() {
    reader::LogReader reader = log_->PlanReader({});
    std::vector<std::string> payloads;
    for (;;) {
      Result<std::optional<format::OwnedStoredRecord>> next = reader.NextOwned();
      ASSERT_TRUE(next.ok()) << next.error().ToString();
      if (!*next) break;
      EXPECT_EQ((*next)->position, payloads.size());
      payloads.push_back((*next)->payload);
    }
    EXPECT_EQ(payloads, acknowledged_);
    EXPECT_EQ(log_->head(), acknowledged_.size());
  }

  // The segment files in "log" are the closed ones and the active one, and
  // "manifest.json" names the active one.
  void ExpectConsistentOnDisk() {
    std::vector<std::string> expected;
    for (const SegmentMeta& meta : log_->closed_segments()) {
      expected.push_back(segment::SegmentFileName(meta.base));
    }
    expected.push_back(segment::SegmentFileName(log_->active_segment().base()));
    std::vector<std::string> segments;
    for (const std::string& name : ListLogDir(dir())) {
      if (name.ends_with(".seg")) segments.push_back(name);
    }
    EXPECT_EQ(segments, expected);
    EXPECT_EQ(manifest::Manifest::Read(dir())->active_segment_base,
              log_->active_segment().base());
  }

  // Starts over in an empty directory.
  void Reset() {
    log_.reset();
    acknowledged_.clear();
    ASSERT_TRUE(platform::RemoveAll(dir()).ok());
  }

  std::string dir() const { return dir_.path(); }
  std::string LogPath(std::string_view name) const { return LogFile(dir(), name); }

  platform::TempDir dir_;
  std::unique_ptr<Log> log_;
  std::vector<std::string> acknowledged_;
};

TEST_F(LogTest, OpenOfEmptyDirectoryBootstraps) {
  const std::string data_dir = platform::JoinPath(dir(), "nested/db");
  Result<std::unique_ptr<Log>> log = Log::OpenInternal(data_dir, 1000, 0);
  ASSERT_TRUE(log.ok()) << log.error().ToString();
  EXPECT_EQ((*log)->head(), 0u);
  EXPECT_EQ(ListLogDir(data_dir), std::vector<std::string>{"00000000000000000000.seg"});
  EXPECT_EQ(*platform::FileSizeOf((*log)->active_segment().path()), 0u);
  EXPECT_TRUE(platform::PathExists(platform::JoinPath(data_dir, lock::kLockFileName)));

  manifest::Manifest expected;
  expected.database_id = (*log)->database_id();
  EXPECT_EQ(*manifest::Manifest::Read(data_dir), expected);
  EXPECT_NE(expected.database_id, format::DatabaseId());

  log->reset();
  EXPECT_FALSE(platform::PathExists(platform::JoinPath(data_dir, lock::kLockFileName)));
}

void Touch(const std::string& data_dir, std::string_view name, std::string_view bytes = "") {
  ASSERT_TRUE(platform::CreateDirs(platform::JoinPath(data_dir, kLogDirName)).ok());
  WriteFile(LogFile(data_dir, name), bytes);
}

void WriteManifest(const std::string& data_dir, uint64_t active_base,
                   const std::function<void(manifest::Manifest&)>& edit = {}) {
  manifest::Manifest manifest;
  manifest.active_segment_base = manifest.next_offset = active_base;
  if (edit) edit(manifest);
  ASSERT_TRUE(manifest.Write(data_dir).ok());
}

// Segment `base` holding one batch of `count` events.
void WriteSegmentOfEvents(const std::string& data_dir, uint32_t count, uint64_t base = 0) {
  const std::string log_dir = platform::JoinPath(data_dir, kLogDirName);
  ASSERT_TRUE(platform::CreateDirs(log_dir).ok());
  segment::Segment segment = *segment::Segment::Create(log_dir, base);
  std::vector<segment::BatchRecord> records;
  for (uint32_t i = 0; i < count; ++i) records.push_back({Envelope(i), "x"});
  ASSERT_TRUE(segment.AppendBatch(records).ok());
}

const std::string kSeg0 = "00000000000000000000.seg";
const std::string kSeg5 = "00000000000000000005.seg";
const std::string kSeg7 = "00000000000000000007.seg";
const std::string kSeg9 = "00000000000000000009.seg";

struct OpenCase {
  const char* name;
  std::function<void(const std::string& data_dir)> setup;
  std::string outcome;  // "{dir}" stands for the data directory
  uint64_t head;        // when it opens
  std::vector<std::string> log_dir_after;
  std::string warnings;
};

TEST_F(LogTest, OpenDecisionTable) {
  const std::string none;
  const OpenCase cases[] = {
      {"one segment, no manifest", [](auto& d) { Touch(d, kSeg5); }, "ok", 5, {kSeg5}, none},
      {"two segments, no manifest",
       [](auto& d) {
         Touch(d, kSeg0);
         Touch(d, kSeg5);
       },
       "manifest error: multiple segments on disk but no manifest — unexpected state", 0, {},
       none},
      {"empty orphan beyond the active segment",
       [](auto& d) {
         Touch(d, kSeg0);
         Touch(d, kSeg9);
         WriteManifest(d, 0);
       },
       "ok", 0, {kSeg0}, none},
      {"non-empty orphan beyond the active segment",
       [](auto& d) {
         Touch(d, kSeg0);
         Touch(d, kSeg9, "abc");
         WriteManifest(d, 0);
       },
       "manifest error: orphaned segment \"{dir}/log/00000000000000000009.seg\" beyond the "
       "active one is non-empty (3 bytes) — refusing to delete",
       0, {}, none},
      {"missing active segment",
       [](auto& d) {
         Touch(d, kSeg0);
         WriteManifest(d, 7);
       },
       "manifest error: manifest points at missing active segment base 7", 0, {}, none},
      {"floor beyond head",
       [](auto& d) {
         WriteSegmentOfEvents(d, 5);
         WriteManifest(d, 0, [](auto& m) { m.retention_floor = 10; });
       },
       "manifest error: retention floor 10 is beyond head 5", 0, {}, none},
      // The manifest has no checksum: a floor that is no segment base (a
      // flipped digit) would silently hide the events below it.
      {"floor inside a segment",
       [](auto& d) {
         WriteSegmentOfEvents(d, 5);
         WriteManifest(d, 0, [](auto& m) { m.retention_floor = 1; });
       },
       "manifest error: retention_floor 1 is not the base of a segment on disk", 0, {}, none},
      {"floor at the head inside a segment",
       [](auto& d) {
         WriteSegmentOfEvents(d, 5);
         WriteManifest(d, 0, [](auto& m) { m.retention_floor = 5; });
       },
       "manifest error: retention_floor 5 is not the base of a segment on disk", 0, {}, none},
      {"floor at the head, the active segment's base",
       [](auto& d) {
         WriteSegmentOfEvents(d, 5);
         Touch(d, kSeg5);
         WriteManifest(d, 5, [](auto& m) { m.retention_floor = 5; });
       },
       "ok", 5, {kSeg0, kSeg5}, none},
      {"floor at a closed segment's base, an unreclaimed one below it",
       [](auto& d) {
         WriteSegmentOfEvents(d, 5);
         WriteSegmentOfEvents(d, 2, 5);
         Touch(d, kSeg7);
         WriteManifest(d, 7, [](auto& m) { m.retention_floor = 5; });
       },
       "ok", 7, {kSeg0, kSeg5, kSeg7}, none},
      {"floor 0 below the only segment",
       [](auto& d) {
         Touch(d, kSeg5);
         WriteManifest(d, 5);
       },
       "ok", 5, {kSeg5}, none},
      {"storage format 1",
       [](auto& d) {
         Touch(d, kSeg0);
         WriteManifest(d, 0, [](auto& m) { m.storage_format_version = 1; });
       },
       "unsupported storage format version 1: this build writes version 2; migrate the source "
       "directory offline",
       0, {}, none},
      {"payload format 2",
       [](auto& d) {
         Touch(d, kSeg0);
         WriteManifest(d, 0, [](auto& m) { m.payload_format_version = 2; });
       },
       "unsupported payload format version 2: this build supports 1. The data dir was written "
       "by a newer CorvantineDB; upgrade to read it.",
       0, {}, none},
      {"two names for one base",
       [](auto& d) {
         Touch(d, kSeg7);
         Touch(d, "7.seg");
         WriteManifest(d, 7);
       },
       "manifest error: duplicate segment base 7 ({dir}/log/00000000000000000007.seg and "
       "{dir}/log/7.seg)",
       0, {}, none},
      {"files that are not segments",
       [](auto& d) {
         for (const char* name : {".seg", "00000000000000000000.sidx", "abc.seg", "notes.txt"}) {
           Touch(d, name, "junk");
         }
         Touch(d, kSeg0);
         WriteManifest(d, 0);
       },
       "ok", 0, {".seg", kSeg0, "00000000000000000000.sidx", "abc.seg", "notes.txt"},
       "corvantine: ignoring non-segment file in log dir: {dir}/log/abc.seg\n"},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform::TempDir temp;
    const std::string& d = temp.path();
    c.setup(d);
    ::testing::internal::CaptureStderr();
    Result<std::unique_ptr<Log>> log = Log::OpenInternal(d, 1000, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              fmt::format(fmt::runtime(c.warnings), fmt::arg("dir", d)));
    EXPECT_EQ(Outcome(log), fmt::format(fmt::runtime(c.outcome), fmt::arg("dir", d)));
    // A failed open releases the lock.
    EXPECT_EQ(platform::PathExists(platform::JoinPath(d, lock::kLockFileName)), log.ok());
    if (!log.ok()) continue;
    EXPECT_EQ((*log)->head(), c.head);
    EXPECT_EQ(ListLogDir(d), c.log_dir_after);
    EXPECT_EQ(manifest::Manifest::Read(d)->active_segment_base, (*log)->active_segment().base());
  }
}

// The caller hears of the lock only while it holds it, so that it may read
// the directory's other files meanwhile.
TEST_F(LogTest, MigrationMarkerIsTestedBeforeTheLock) {
  WriteFile(platform::JoinPath(dir(), kMigrationMarkerName), "{}");
  const std::string migration_error = fmt::format(
      "migration is incomplete for {}; resume it with the migration command", dir());
  int locked = 0;
  const auto count_locked = [&] { ++locked; };
  EXPECT_EQ(Outcome(Log::OpenInternal(dir(), 1000, 0, count_locked)), migration_error);
  EXPECT_FALSE(platform::PathExists(platform::JoinPath(dir(), lock::kLockFileName)));

  Result<std::unique_ptr<Log>> holder =
      Log::OpenInternal(dir(), 1000, Log::kSkipMigrationCheck, [&] {
        ++locked;
        EXPECT_TRUE(platform::PathExists(platform::JoinPath(dir(), lock::kLockFileName)));
      });
  ASSERT_TRUE(holder.ok()) << holder.error().ToString();
  EXPECT_EQ(locked, 1);
  EXPECT_EQ(Outcome(Log::OpenInternal(dir(), 1000, 0)), migration_error);
  EXPECT_EQ(Outcome(Log::OpenInternal(dir(), 1000, Log::kSkipMigrationCheck, count_locked)),
            fmt::format("data dir is locked by another process: {}/LOCK exists; another process "
                        "may hold this data dir. If no process is using it, delete the LOCK "
                        "file and retry.",
                        dir()));
  EXPECT_EQ(locked, 1);
}

// A lost manifest is made again with the id its records carry (the zero id
// of these test envelopes), or a new one when the first frame is torn.
TEST_F(LogTest, FirstManifestKeepsTheIdOfTheRecords) {
  for (const bool torn : {false, true}) {
    SCOPED_TRACE(torn);
    Reset();
    WriteSegmentOfEvents(dir(), 2);
    if (torn) {
      ASSERT_TRUE(platform::OpenForReadWrite(LogPath(kSeg0))->Truncate(40).ok());
    }
    ::testing::internal::CaptureStderr();  // the warning of the cut
    Open();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log_->database_id() == format::DatabaseId(), !torn);
    EXPECT_EQ(log_->head(), torn ? 0u : 2u);
    EXPECT_EQ(log_->OldestEnvelope().value().has_value(), !torn);
  }
}

TEST_F(LogTest, RollsAtSizeTargetAndIndexesRetiredSegment) {
  Open(100);
  ASSERT_EQ(Outcome(Append(2)), "ok");  // far beyond 100 bytes
  EXPECT_EQ(log_->active_segment().base(), 0u);
  EXPECT_EQ(*Append(1), std::make_pair(uint64_t{2}, uint64_t{2}));  // rolls first

  EXPECT_EQ(log_->active_segment().path(), LogPath("00000000000000000002.seg"));
  const manifest::Manifest on_disk = *manifest::Manifest::Read(dir());
  EXPECT_EQ(on_disk.active_segment_base, 2u);
  EXPECT_EQ(on_disk.next_offset, 2u);
  EXPECT_EQ(on_disk, log_->manifest());
  ASSERT_EQ(log_->closed_segments().size(), 1u);
  const SegmentMeta retired = log_->closed_segments()[0];
  EXPECT_EQ(retired.path, LogPath(kSeg0));
  EXPECT_EQ(retired.base, 0u);

  const index::Sidecar built = *index::BuildSidecar(retired.path, 0);
  EXPECT_EQ(built.end, 2u);
  EXPECT_EQ(index::Load(retired.path, 0, 2), built);
  ASSERT_EQ(log_->sidecar_cache().count(0), 1u);
  EXPECT_EQ(*log_->sidecar_cache().at(0), built);

  // A system record right after a roll lands in the new segment at the head.
  ASSERT_TRUE(log_->Roll().ok());
  ASSERT_EQ(Outcome(AppendSystem()), "ok");
  EXPECT_EQ(log_->active_segment().base(), 3u);
  EXPECT_EQ(log_->head(), 3u);
  ExpectAcknowledgedEvents();
  ExpectConsistentOnDisk();
}

TEST_F(LogTest, SegmentOfSystemRecordsOnlyNeverRolls) {
  Open(100);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Outcome(AppendSystem()), "ok");
  EXPECT_EQ(Outcome(log_->RollIfDue()), "ok");
  EXPECT_EQ(log_->active_segment().base(), 0u);
  // A forced roll would take the active segment's own name.
  EXPECT_EQ(Outcome(log_->Roll()), "io: File exists (os error 17)");
  EXPECT_FALSE(log_->fence());
  ASSERT_EQ(Outcome(Append(1)), "ok");
  EXPECT_EQ(log_->active_segment().base(), 0u);

  ASSERT_EQ(Outcome(AppendSystem()), "ok");  // rolls: the segment now holds an event
  EXPECT_EQ(log_->active_segment().base(), 1u);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Outcome(AppendSystem()), "ok");
  EXPECT_EQ(log_->active_segment().base(), 1u);

  Open(100);
  ASSERT_EQ(Outcome(AppendSystem()), "ok");
  ASSERT_EQ(Outcome(Append(1)), "ok");
  ASSERT_EQ(Outcome(Append(1)), "ok");  // rolls to 2
  EXPECT_EQ(log_->active_segment().base(), 2u);
  ExpectAcknowledgedEvents();
  ExpectConsistentOnDisk();
}

// Fails, in turn, every call of each kind that a roll makes. Whatever fails,
// the log and the disk agree afterwards, and a reopen reads every
// acknowledged event. A failed flush of the segment fences the log, and so
// does a manifest write that fails for good, since the file may then name
// either segment.
TEST_F(LogTest, RollSurvivesEveryInjectedFault) {
  struct Kind {
    Op op;
    Fault fault;
  };
  const Kind kinds[] = {
      {Op::kSync, Fault::Error(EIO)},
      {Op::kOpen, Fault::Error(EMFILE)},
      {Op::kSyncDir, Fault::Error(EIO)},
      {Op::kWrite, Fault::Error(ENOSPC)},
      {Op::kWrite, Fault::Short(0)},
      {Op::kRename, Fault::Error(EACCES)},
      {Op::kRead, Fault::Error(EIO)},
      {Op::kClose, Fault::Error(EIO)},
      {Op::kSyncDir, Fault::Error(EIO).Persistent()},
      {Op::kRename, Fault::Error(EIO).Persistent()},
  };
  // Three events and a system record, so a roll moves to base 3.
  auto prepare = [this] {
    Reset();
    Open();
    ASSERT_EQ(Outcome(Append(3)), "ok");
    ASSERT_EQ(Outcome(AppendSystem()), "ok");
  };
  for (const Kind& kind : kinds) {
    prepare();
    uint64_t calls;
    {
      CallCounter counter(kind.op);
      ::testing::internal::CaptureStderr();
      ASSERT_EQ(Outcome(log_->Roll()), "ok");
      ::testing::internal::GetCapturedStderr();
      calls = counter.count();
    }
    for (uint64_t nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(fmt::format("op {} call {} of {}", static_cast<int>(kind.op), nth, calls));
      prepare();
      Result<> rolled;
      {
        ScopedFault fault(kind.op, nth, kind.fault);
        ::testing::internal::CaptureStderr();
        rolled = log_->Roll();
        ::testing::internal::GetCapturedStderr();
        EXPECT_GE(fault.hits(), 1u);
      }
      const bool segment_flush_failed = kind.op == Op::kSync && nth == 1;
      const bool log_dir_flush_failed = kind.op == Op::kSyncDir && nth == 1;
      const bool manifest_failed_for_good =
          !rolled.ok() && kind.fault.persistent && !log_dir_flush_failed;
      EXPECT_EQ(log_->fence().has_value(), segment_flush_failed || manifest_failed_for_good);
      if (!log_->fence()) {
        EXPECT_EQ(log_->active_segment().base(), rolled.ok() ? 3u : 0u);
        ExpectConsistentOnDisk();
        ASSERT_EQ(Outcome(Append(1)), "ok");
      }
      Open();
      ExpectAcknowledgedEvents();
      ExpectConsistentOnDisk();
      ASSERT_EQ(Outcome(log_->Roll()), "ok");
      ASSERT_EQ(Outcome(Append(1)), "ok");
      ExpectAcknowledgedEvents();
    }
  }
}

TEST_F(LogTest, FailedFlushFencesEveryLaterWrite) {
  const std::function<Result<>(Log&)> failing[] = {
      [](Log& log) { return log.SyncActive(); },
      [](Log& log) { return log.Roll(); },
  };
  for (const auto& fail : failing) {
    Reset();
    Open();
    ASSERT_EQ(Outcome(Append(2)), "ok");
    {
      ScopedFault fault(Op::kSync, 1, Fault::Error(EIO));
      EXPECT_EQ(Outcome(fail(*log_)), "io: Input/output error (os error 5)");
    }
    // The fault is gone; the fence stays.
    EXPECT_EQ(Outcome(Append(1)), "io: Input/output error (os error 5)");
    EXPECT_EQ(Outcome(AppendSystem()), "io: Input/output error (os error 5)");
    EXPECT_EQ(Outcome(log_->Roll()), "io: Input/output error (os error 5)");
    EXPECT_EQ(Outcome(log_->RollIfDue()), "io: Input/output error (os error 5)");
    EXPECT_EQ(Outcome(log_->SyncActive()), "io: Input/output error (os error 5)");
    EXPECT_EQ(log_->head(), 2u);
    EXPECT_EQ(log_->active_segment().base(), 0u);

    Open();
    EXPECT_FALSE(log_->fence());
    ASSERT_EQ(Outcome(Append(1)), "ok");
    ASSERT_EQ(Outcome(log_->SyncActive()), "ok");
    ExpectAcknowledgedEvents();
  }
}

TEST_F(LogTest, FailedWriteThatCannotBeUndoneFencesTheLog) {
  Open();
  ASSERT_EQ(Outcome(Append(2)), "ok");
  {
    // A torn write (some bytes land), then the cut back fails as well.
    ScopedFault torn(Op::kWrite, 1, Fault::Short(10));
    ScopedFault full(Op::kWrite, 2, Fault::Error(ENOSPC));
    ScopedFault cut(Op::kTruncate, 1, Fault::Error(EIO));
    EXPECT_EQ(Outcome(Append(1)), "io: No space left on device (os error 28)");
  }
  ASSERT_TRUE(log_->fence());
  EXPECT_EQ(Outcome(Append(1)), "io: No space left on device (os error 28)");
  EXPECT_EQ(Outcome(log_->Roll()), "io: No space left on device (os error 28)");

  ::testing::internal::CaptureStderr();
  Open();  // cuts the torn bytes
  EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
  ExpectAcknowledgedEvents();

  {
    // When the cut back succeeds, the next append goes on at the same place.
    ScopedFault torn(Op::kWrite, 1, Fault::Short(10));
    ScopedFault full(Op::kWrite, 2, Fault::Error(ENOSPC));
    EXPECT_EQ(Outcome(Append(1)), "io: No space left on device (os error 28)");
  }
  EXPECT_FALSE(log_->fence());
  EXPECT_EQ(*Append(2), std::make_pair(uint64_t{2}, uint64_t{3}));
  ExpectAcknowledgedEvents();
}

}  // namespace
}  // namespace corvantine::log
