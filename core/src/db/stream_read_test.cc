// Reads of one stream name through the position index, against the same
// reads by a scan of the log, over a random history of appends on many
// streams and branches, forks, reopens with and without a checkpoint, and
// retention.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/test_util.h"
#include "format/metadata.h"

namespace corvantine::db {
namespace {

using namespace testing;

constexpr int kNames = 10;
// Small segments with payloads of up to a few KiB: many segments, several
// seek points in some of them.
constexpr uint64_t kSegmentBytes = 256 * 1024;

// What a read hands out of one stream name, and where it stopped examining
// the log: the two things a page of a reader is made of.
struct StreamRead {
  std::vector<uint64_t> positions;
  uint64_t scanned = 0;
  std::string error;

  friend bool operator==(const StreamRead&, const StreamRead&) = default;
};

void PrintTo(const StreamRead& read, std::ostream* out) {
  *out << read.positions.size() << " records, scanned " << read.scanned << ", error '" << read.error
       << "'";
}

bool Named(const format::OwnedStoredRecord& record, const std::string& name) {
  auto found = record.envelope.metadata.find(format::kStreamNameKey);
  return found != record.envelope.metadata.end() && found->second == name;
}

// Pulls records until `count` are taken or the read ends: every record an
// indexed read hands out, those of `name` from a scan.
void Take(log::reader::LogReader& reader, const std::string& name, bool indexed, size_t count,
          StreamRead& read) {
  while (read.positions.size() < count && read.error.empty()) {
    Result<std::optional<format::OwnedStoredRecord>> next = reader.NextOwned();
    if (!next.ok()) read.error = next.error().ToString();
    if (!next.ok() || !*next) break;
    if (indexed || Named(**next, name)) read.positions.push_back((*next)->position);
  }
  read.scanned = reader.scanned_position();
}

class StreamReadTest : public ::testing::Test {
 protected:
  void SetUp() override { Reopen(/*keep_checkpoint=*/true); }

  void Reopen(bool keep_checkpoint) {
    db_.reset();
    if (!keep_checkpoint) (void)platform::RemoveFile(CheckpointPath(dir_.path()));
    db_ = OpenDb(dir_.path(), {}, segment_bytes_);
    ASSERT_NE(db_, nullptr);
  }

  std::string RandomName() { return "s" + std::to_string(Pick(kNames)); }
  uint64_t Pick(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }

  void AppendRandomBatch() {
    AppendBatch(Pick(8) == 0 ? 1 + Pick(60) : 1 + Pick(4), 3000);
  }

  void AppendBatch(uint64_t events, uint64_t max_payload) {
    std::vector<const branch::BranchInfo*> active;
    for (const auto& [id, info] : db_->branch_catalog().branches()) {
      if (info.status == branch::BranchStatus::kActive) active.push_back(&info);
    }
    RequestDraft draft;
    draft.stream = RandomName();
    draft.branch = active[Pick(active.size())]->id;
    for (uint64_t i = 0; i < events; ++i) {
      draft.events.push_back(Event(std::string(Pick(max_payload), 'x')));
    }
    ASSERT_TRUE(db_->AppendBatchWithId(Request(std::move(draft)), std::nullopt).ok());
    boundaries_.push_back(LogOf(*db_).head());
  }

  void ForkAtRandomBoundary() {
    const auto& branches = db_->branch_catalog().branches();
    auto parent = std::next(branches.begin(), static_cast<long>(Pick(branches.size())));
    // From the later half of the history, so that retention has room below.
    const size_t half = boundaries_.size() / 2;
    const uint64_t position = boundaries_[half + Pick(boundaries_.size() - half)];
    // Positions below the floor, or beyond the parent's view, are refused;
    // the history goes on either way.
    (void)db_->ForkBranch(parent->first, position, "b" + std::to_string(forks_++), {});
  }

  // Moves the floor up to a random boundary, below every fork: a branch
  // forked below the floor would need a bootstrap.
  void RetainFromRandomBoundary() {
    ASSERT_TRUE(db_->Commit().ok());
    uint64_t requested = boundaries_[Pick(boundaries_.size())];
    for (const auto& [id, info] : db_->branch_catalog().branches()) {
      if (info.fork_position) requested = std::min(requested, *info.fork_position);
    }
    Result<RetentionPlan> plan = db_->PlanRetention(requested);
    if (!plan.ok()) return;
    ASSERT_TRUE(db_->PublishRetentionAnchor(AnchorOf(*db_, plan->effective_floor)).ok());
    plan = db_->PlanRetention(requested);
    ASSERT_TRUE(plan.ok());
    if (!plan->blockers.empty()) return;
    ASSERT_TRUE(db_->ApplyRetentionPrevalidated(plan->effective_floor, plan->durable_head).ok());
  }

  StreamRead ReadWhole(ReadRequest request, const std::string& name, bool indexed) {
    if (indexed) request.stream_name = name;
    Result<log::reader::LogReader> reader = db_->Read(std::move(request));
    if (!reader.ok()) return StreamRead{{}, 0, reader.error().ToString()};
    StreamRead read;
    Take(*reader, name, indexed, SIZE_MAX, read);
    return read;
  }

  // A random window [start, until), now and then starting below the floor.
  ReadRequest RandomWindow(const format::BranchId& branch) {
    const uint64_t head = LogOf(*db_).head();
    const uint64_t floor = LogOf(*db_).retention_floor();
    const uint64_t low = Pick(10) == 0 ? 0 : floor;
    uint64_t start = low + Pick(head - low + 1);
    uint64_t until = low + Pick(head - low + 1);
    if (start > until) std::swap(start, until);
    ReadRequest request;
    request.branch_id = branch;
    request.start = StartBound::Included(start);
    request.until = until;
    return request;
  }

  void ExpectIndexedReadsMatchScans() {
    for (const auto& [branch, info] : db_->branch_catalog().branches()) {
      for (int n = 0; n < kNames; ++n) {
        const std::string name = "s" + std::to_string(n);
        ReadRequest whole;
        whole.branch_id = branch;
        whole.start = StartBound::Included(LogOf(*db_).retention_floor());
        std::vector<ReadRequest> requests{whole, RandomWindow(branch), RandomWindow(branch)};
        for (const ReadRequest& request : requests) {
          ASSERT_EQ(ReadWhole(request, name, true), ReadWhole(request, name, false))
              << "branch " << info.name << ", stream " << name;
        }
      }
    }
  }

  // A reader kept between pages, as the engine keeps one, while appends
  // roll the segment it reads.
  void ExpectAKeptReaderMatchesAScanAcrossAppends() {
    const std::string name = RandomName();
    ReadRequest request;
    request.start = StartBound::Included(LogOf(*db_).retention_floor());
    request.until = LogOf(*db_).head();
    ReadRequest indexed_request = request;
    indexed_request.stream_name = name;
    log::reader::LogReader indexed = db_->Read(indexed_request).value();
    log::reader::LogReader scan = db_->Read(request).value();
    StreamRead by_index;
    StreamRead by_scan;
    const size_t first_page = Pick(20);
    Take(indexed, name, true, first_page, by_index);
    Take(scan, name, false, first_page, by_scan);
    for (int i = 0; i < 20; ++i) AppendRandomBatch();
    Take(indexed, name, true, SIZE_MAX, by_index);
    Take(scan, name, false, SIZE_MAX, by_scan);
    EXPECT_EQ(by_index, by_scan) << "stream " << name;
  }

  TempDir dir_;
  uint64_t segment_bytes_ = kSegmentBytes;
  std::unique_ptr<Corvantine> db_;
  std::mt19937_64 rng_{20261207};
  std::vector<uint64_t> boundaries_{0};
  int forks_ = 0;
};

TEST_F(StreamReadTest, ReadsThroughThePositionIndexEqualScansOfTheLog) {
  for (int step = 1; step <= 600; ++step) {
    const uint64_t dice = Pick(100);
    if (dice < 87) AppendRandomBatch();
    // Forks wait for some history, which retention may then cut below them.
    if (dice >= 87 && dice < 92 && step > 200) ForkAtRandomBoundary();
    if (dice >= 92 && dice < 95) Reopen(/*keep_checkpoint=*/Pick(2) == 0);
    if (dice >= 95 && dice < 97) RetainFromRandomBoundary();
    if (dice >= 97) ExpectAKeptReaderMatchesAScanAcrossAppends();
    if (step % 100 == 0) ExpectIndexedReadsMatchScans();
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(LogOf(*db_).retention_floor(), 0u) << "the history never exercised retention";
  EXPECT_GT(forks_, 5);
}

// Segments of many small single-event batches, over many seek points each:
// an indexed read enters each batch at its own start, found by walks of
// stretches as far as reads have needed, each closed segment's on a thread
// of its own when a read wants batches of several.
TEST_F(StreamReadTest, SingleEventBatchesAcrossClosedSegmentsReadAsScansDo) {
  segment_bytes_ = 1 << 20;
  Reopen(/*keep_checkpoint=*/true);
  for (int step = 1; step <= 6000; ++step) {
    AppendBatch(1, 300);
    if (step % 1500 == 0) Reopen(/*keep_checkpoint=*/step % 3000 == 0);
    if (step % 1000 == 500) RetainFromRandomBoundary();
    if (step % 2000 == 0) ExpectIndexedReadsMatchScans();
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(testing::LogOf(*db_).closed_segments().size(), 2u);
  EXPECT_GT(db_->retention_floor(), 0u) << "the history never exercised retention";
}

}  // namespace
}  // namespace corvantine::db
