// Cuts the power at every point of a workload that appends with every
// durability, rolls segments, commits, checkpoints the catalog, forks
// branches and reopens the database; then opens what each cut would leave on
// disk. Every batch the database had called durable by then is there, at the
// same positions with the same contents; whatever else is there is whole
// batches the workload wrote; the catalogs agree with the log.
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "db/db.h"
#include "db/test_util.h"
#include "log/lock.h"
#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/power_loss.h"
#include "testing/test_util.h"

namespace corvantine::db {
namespace {

using namespace testing;
using platform::JoinPath;

constexpr uint64_t kSegmentBytes = 4096;  // small, so the workload rolls often
// Besides sync appends, explicit commits and forks, a threshold commits.
const CommitPolicy kPolicy{
    .commit_every_bytes = {}, .commit_every_count = 16, .commit_every_millis = {}};
constexpr uint32_t kSeed = 20240611;
constexpr int kSteps = 120;
constexpr uint64_t kMixedImageEvery = 5;  // changes between two seeded-mix images

// What the workload was told, each with the number of file-system changes
// made by then: a power cut after that change must keep it.
struct Appended {
  RequestDraft draft;
  stream::AppendReceipt receipt;
  uint64_t change = 0;
};
struct Forked {
  branch::BranchInfo info;
  uint64_t change = 0;
};
struct DurableHead {
  uint64_t head = 0;
  uint64_t change = 0;
};

struct Acks {
  std::vector<Appended> appended;
  std::vector<Forked> forked;
  std::vector<DurableHead> durable_heads;
};

// Appends, commits, forks and reopens, chosen by a seeded generator, and
// keeps what each call acknowledged.
class Workload {
 public:
  Workload(std::string directory, const PowerLossRecorder& recorder)
      : directory_(std::move(directory)), recorder_(recorder), rng_(kSeed) {}

  void Run() {
    Reopen();
    for (int step = 0; step < kSteps; ++step) Step(step);
  }
  const Acks& acks() const { return acks_; }

 private:
  void Step(int step) {
    const uint32_t choice = rng_() % 40;
    if (choice == 0 && step > 0) return Reopen();
    if (choice < 3) return Commit();
    if (choice < 6) return Fork(step);
    if (choice < 9 && !acks_.appended.empty()) return RetryWithSync();
    Append(step);
  }

  void Reopen() {
    db_.reset();
    db_ = OpenDb(directory_, kPolicy, kSegmentBytes);
    ASSERT_NE(db_, nullptr);
    NoteDurableHead();
  }

  void Commit() {
    ASSERT_TRUE(db_->Commit().ok());
    NoteDurableHead();
  }

  // At a batch boundary of the whole log: the head, or where a batch began.
  void Fork(int step) {
    const format::BranchId parent = branches_[rng_() % branches_.size()];
    const size_t pick = rng_() % (acks_.appended.size() + 1);
    const uint64_t position = pick == acks_.appended.size()
                                  ? LogOf(*db_).head()
                                  : acks_.appended[pick].receipt.first_position;
    Result<branch::BranchInfo> forked =
        db_->ForkBranch(parent, position, fmt::format("b{}", step), {});
    ASSERT_TRUE(forked.ok()) << forked.error().ToString();
    branches_.push_back(forked->id);
    acks_.forked.push_back({*forked, recorder_.changes()});
    NoteDurableHead();
  }

  void Append(int step) {
    RequestDraft draft;
    draft.stream = fmt::format("s{}", rng_() % 3);
    draft.branch = branches_[rng_() % branches_.size()];
    draft.key = fmt::format("k{}", step);
    draft.durability = static_cast<stream::RequestDurability>(rng_() % 3);
    const uint32_t events = 1 + rng_() % 4;
    for (uint32_t i = 0; i < events; ++i) {
      draft.events.push_back(Event(fmt::format("e{}.{}", step, i)));
    }
    Result<stream::AppendReceipt> receipt = db_->AppendBatchWithId(Request(draft), std::nullopt);
    ASSERT_TRUE(receipt.ok()) << receipt.error().ToString();
    acks_.appended.push_back({std::move(draft), *receipt, recorder_.changes()});
    NoteDurableHead();
  }

  // A retry asking for sync returns the stored receipt, committed.
  void RetryWithSync() {
    const Appended& earlier = acks_.appended[rng_() % acks_.appended.size()];
    RequestDraft draft = earlier.draft;
    draft.durability = stream::RequestDurability::kSync;
    Result<stream::AppendReceipt> receipt = db_->AppendBatchWithId(Request(draft), std::nullopt);
    ASSERT_TRUE(receipt.ok()) << receipt.error().ToString();
    stream::AppendReceipt expected = earlier.receipt;
    expected.durability = stream::ReceiptDurability::kSynced;
    ASSERT_EQ(*receipt, expected);
    NoteDurableHead();
  }

  void NoteDurableHead() {
    acks_.durable_heads.push_back({db_->durable_head(), recorder_.changes()});
  }

  std::string directory_;
  const PowerLossRecorder& recorder_;
  std::mt19937 rng_;
  std::unique_ptr<Corvantine> db_;
  std::vector<format::BranchId> branches_{format::BranchId()};
  Acks acks_;
};

// What a cut after `change` must keep: every batch that was synced or lies
// below a durable head reported by then, and every fork.
struct Required {
  uint64_t durable_head = 0;
  std::vector<const Appended*> batches;
  std::vector<const Forked*> forks;
};

Required RequiredAfter(const Acks& acks, uint64_t change) {
  Required required;
  for (const DurableHead& head : acks.durable_heads) {
    if (head.change <= change) required.durable_head = std::max(required.durable_head, head.head);
  }
  for (const Appended& batch : acks.appended) {
    const bool durable = batch.receipt.durability == stream::ReceiptDurability::kSynced ||
                         batch.receipt.last_position < required.durable_head;
    if (batch.change <= change && durable) required.batches.push_back(&batch);
  }
  for (const Forked& fork : acks.forked) {
    if (fork.change <= change) required.forks.push_back(&fork);
  }
  return required;
}

// Every event the workload wrote, by position, and the batch that wrote it.
std::map<uint64_t, const Appended*> WrittenEvents(const Acks& acks) {
  std::map<uint64_t, const Appended*> written;
  for (const Appended& batch : acks.appended) {
    for (uint64_t p = batch.receipt.first_position; p <= batch.receipt.last_position; ++p) {
      written[p] = &batch;
    }
  }
  return written;
}

// The events of the log are dense from 0, each one the workload wrote, and
// every required one is among them.
void ExpectEventsWritten(const Corvantine& db, const Acks& acks, const Required& required) {
  const std::map<uint64_t, const Appended*> written = WrittenEvents(acks);
  log::reader::ResolvedFilter verifying;
  verifying.verify_batch_digest = true;
  std::vector<format::OwnedStoredRecord> records = Drain(LogOf(db).PlanReader(verifying));
  for (size_t i = 0; i < records.size(); ++i) {
    const format::OwnedStoredRecord& record = records[i];
    ASSERT_EQ(record.position, i);
    ASSERT_TRUE(written.count(i)) << "an event nobody wrote at " << i;
    const Appended& batch = *written.at(i);
    const uint64_t index = i - batch.receipt.first_position;
    EXPECT_EQ(record.payload, batch.draft.events[index].payload) << "at " << i;
    EXPECT_EQ(record.envelope.batch_id, batch.receipt.batch_id) << "at " << i;
    EXPECT_EQ(record.envelope.branch_id, batch.draft.branch) << "at " << i;
    EXPECT_EQ(record.envelope.stream_revision.value,
              batch.receipt.current_revision.value + 1 + index - batch.draft.events.size())
        << "at " << i;
  }
  EXPECT_GE(records.size(), required.durable_head);
  for (const Appended* batch : required.batches) {
    EXPECT_GT(records.size(), batch->receipt.last_position) << "lost batch " << *batch->draft.key;
  }
}

// A retry of each required batch finds its receipt instead of appending.
void ExpectRetriesFindReceipts(Corvantine& db, const Required& required) {
  for (const Appended* batch : required.batches) {
    RequestDraft draft = batch->draft;
    draft.durability = stream::RequestDurability::kBuffered;
    Result<stream::AppendReceipt> retried = db.AppendBatchWithId(Request(draft), std::nullopt);
    ASSERT_TRUE(retried.ok()) << retried.error().ToString();
    stream::AppendReceipt expected = batch->receipt;
    expected.durability = retried->durability;  // the log does not record it
    EXPECT_EQ(*retried, expected) << "retry of " << *draft.key;
  }
}

void ExpectForksKept(const Corvantine& db, const Required& required) {
  for (const Forked* fork : required.forks) {
    const branch::BranchInfo* found = db.branch_catalog().Find(fork->info.id);
    ASSERT_NE(found, nullptr) << "lost branch " << fork->info.name;
    EXPECT_EQ(*found, fork->info);
  }
}

// Opens the database an image holds and checks it against what was
// acknowledged up to `change`.
void ExpectSurvivors(const std::string& image, uint64_t change, const Acks& acks) {
  SCOPED_TRACE(fmt::format("power cut after change {} ({})", change, image));
  const std::string directory = JoinPath(image, "db");
  // The process that held the lock is gone; its lock file may have survived.
  (void)platform::RemoveAll(JoinPath(directory, log::lock::kLockFileName));
  ::testing::internal::CaptureStderr();  // tail repairs warn
  std::unique_ptr<Corvantine> db = OpenDb(directory, kPolicy, kSegmentBytes);
  const std::string warnings = ::testing::internal::GetCapturedStderr();
  ASSERT_NE(db, nullptr) << warnings;
  const Required required = RequiredAfter(acks, change);
  ASSERT_NO_FATAL_FAILURE(ExpectEventsWritten(*db, acks, required));
  EXPECT_TRUE(SameIgnoringDurability(db->stream_catalog(), RebuiltCatalog(LogOf(*db))));
  ASSERT_NO_FATAL_FAILURE(ExpectForksKept(*db, required));
  ASSERT_NO_FATAL_FAILURE(ExpectRetriesFindReceipts(*db, required));
}

// An image and the last change it stands for.
struct Image {
  std::string directory;
  uint64_t change = 0;
};

// Takes the images of a run: one of what was flushed for each durable
// generation, standing for the last change before the next generation, and
// a seeded mix every few changes.
class Camera {
 public:
  Camera(std::string directory, PowerLossRecorder& recorder)
      : directory_(std::move(directory)), recorder_(recorder) {}

  void AfterChange(uint64_t change) {
    if (flushed_.empty() || recorder_.durable_generation() != generation_) {
      generation_ = recorder_.durable_generation();
      flushed_.push_back({Take("flushed", change, Survival::FlushedOnly()), change});
    }
    flushed_.back().change = change;
    if (change % kMixedImageEvery == 0) {
      mixed_.push_back({Take("mixed", change, Survival::Mixed(kSeed + change)), change});
    }
  }

  const std::vector<Image>& flushed() const { return flushed_; }
  const std::vector<Image>& mixed() const { return mixed_; }

 private:
  std::string Take(std::string_view kind, uint64_t change, Survival survival) {
    std::string image = JoinPath(directory_, fmt::format("{}-{}", kind, change));
    recorder_.WriteImage(image, survival);
    return image;
  }

  std::string directory_;
  PowerLossRecorder& recorder_;
  uint64_t generation_ = 0;
  std::vector<Image> flushed_;
  std::vector<Image> mixed_;
};

// What survives is the recorder's to say: the disk need not make the
// flushes, which keeps the suite fast.
struct SkippedFlushes {
  ScopedFault files{Op::kSync, 1, Fault::SkipFlush().Persistent()};
  ScopedFault data{Op::kDataSync, 1, Fault::SkipFlush().Persistent()};
  ScopedFault dirs{Op::kSyncDir, 1, Fault::SkipFlush().Persistent()};
};

size_t SegmentFiles(const std::string& directory) {
  const std::vector<std::string> names = platform::ListDir(JoinPath(directory, "log")).value();
  return std::count_if(names.begin(), names.end(),
                       [](const std::string& name) { return name.ends_with(".seg"); });
}

TEST(PowerLossTest, EveryCutKeepsWhatWasAcknowledgedDurableAndOpens) {
  SkippedFlushes skipped;
  TempDir root;
  TempDir images;
  const std::string directory = JoinPath(root.path(), "db");
  Acks acks;
  uint64_t changes = 0;
  std::vector<Image> flushed;
  std::vector<Image> mixed;
  {
    PowerLossRecorder recorder(root.path());
    Camera camera(images.path(), recorder);
    recorder.SetObserver([&](uint64_t change) { camera.AfterChange(change); });
    {
      Workload workload(directory, recorder);
      ASSERT_NO_FATAL_FAILURE(workload.Run());
      acks = workload.acks();
    }  // and closes the database
    changes = recorder.changes();
    flushed = camera.flushed();
    mixed = camera.mixed();
  }
  // The workload did what the cuts are to interrupt.
  const size_t segments = SegmentFiles(directory);
  EXPECT_GT(segments, 5u);
  EXPECT_GT(acks.forked.size(), 3u);
  std::cout << fmt::format(
      "{} changes, cut after each: {} flushed-only images, {} mixed ones; {} batches, {} forks, "
      "{} segments\n",
      changes, flushed.size(), mixed.size(), acks.appended.size(), acks.forked.size(), segments);
  for (const std::vector<Image>* kind : {&flushed, &mixed}) {
    for (const Image& image : *kind) {
      ASSERT_NO_FATAL_FAILURE(ExpectSurvivors(image.directory, image.change, acks));
    }
  }
}

}  // namespace
}  // namespace corvantine::db
