// A process killed between an append and its commit, and then every torn
// tail its last batch can leave: a reopened database never shows part of a
// batch, and retrying each request either returns the receipt it stored or
// appends the whole batch once.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "db/test_util.h"
#include "log/segment.h"
#include "platform/platform.h"
#include "testing/test_util.h"

namespace corvantine::db {
namespace {

using namespace testing;

struct Batch {
  const char* key;
  int events;
  stream::RequestDurability durability;
};

// Positions 0..2 committed, 3..4 and 5..6 buffered when the process dies.
constexpr Batch kBatches[] = {
    {"k0", 3, stream::RequestDurability::kSync},
    {"k1", 2, stream::RequestDurability::kBuffered},
    {"k2", 2, stream::RequestDurability::kBuffered},
};

stream::AppendRequest RequestFor(const Batch& batch) {
  RequestDraft draft;
  draft.key = batch.key;
  for (int i = 0; i < batch.events; ++i) {
    draft.events.push_back(Event(std::string(batch.key) + "-" + std::to_string(i)));
  }
  draft.durability = batch.durability;
  return Request(std::move(draft));
}

// The child's part: appends the batches, reports the segment length before
// the last one, and is killed before anything commits it.
[[noreturn]] void AppendAndDie(const std::string& dir, int report_fd) {
  auto db = Corvantine::OpenInternal(dir, {}, std::nullopt);
  if (!db.ok()) _exit(2);
  for (const Batch& batch : kBatches) {
    if (&batch == &kBatches[2]) {
      const uint64_t length = LogOf(**db).active_segment().byte_length();
      if (write(report_fd, &length, sizeof length) != sizeof length) _exit(3);
    }
    if (!(*db)->AppendBatchWithId(RequestFor(batch), std::nullopt).ok()) _exit(4);
  }
  raise(SIGKILL);
  _exit(5);
}

// Runs the child in `dir` and returns where its last batch starts in the
// segment file.
uint64_t CrashAfterAppending(const std::string& dir) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    AppendAndDie(dir, fds[1]);
  }
  close(fds[1]);
  uint64_t last_batch_start = 0;
  EXPECT_EQ(read(fds[0], &last_batch_start, sizeof last_batch_start),
            static_cast<ssize_t>(sizeof last_batch_start));
  close(fds[0]);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  // The dead owner's lock file stays until someone removes it.
  EXPECT_TRUE(platform::RemoveFile(platform::JoinPath(dir, "LOCK")).ok());
  return last_batch_start;
}

TEST(DbCrashTest, KilledBeforeCommitThenEveryTornTail) {
  TempDir dir;
  const uint64_t last_batch_start = CrashAfterAppending(dir.path());
  const std::string segment = platform::JoinPath(platform::JoinPath(dir.path(), log::kLogDirName),
                                                 log::segment::SegmentFileName(0));
  const std::string checkpoint = platform::JoinPath(dir.path(), kCoreCatalogFileName);
  const std::string segment_bytes = platform::ReadFile(segment).value();
  const std::string checkpoint_bytes = platform::ReadFile(checkpoint).value();
  ASSERT_LT(last_batch_start, segment_bytes.size());

  // The killed process's buffered batches reached the file: reopened, every
  // retry returns its stored receipt.
  std::vector<stream::AppendReceipt> stored;
  {
    auto db = OpenDb(dir.path());
    ASSERT_EQ(LogOf(*db).head(), 7u);
    for (const Batch& batch : kBatches) {
      auto receipt = db->AppendBatchWithId(RequestFor(batch), std::nullopt);
      ASSERT_TRUE(receipt.ok());
      stored.push_back(*receipt);
    }
    EXPECT_EQ(LogOf(*db).head(), 7u);
    EXPECT_EQ(stored[2].first_position, 5u);
    EXPECT_EQ(stored[2].previous_revision, 4u);
  }

  // Every cut; the checkpoint (at position 3) is left in place at every
  // other one, so the catalog grows from it or from nothing.
  for (uint64_t cut = last_batch_start; cut <= segment_bytes.size(); ++cut) {
    const bool whole = cut == segment_bytes.size();
    const bool with_checkpoint = cut % 2 == 0;
    const std::string what = "cut at " + std::to_string(cut);
    WriteFile(segment, std::string_view(segment_bytes).substr(0, cut));
    if (with_checkpoint) {
      WriteFile(checkpoint, checkpoint_bytes);
    } else {
      (void)platform::RemoveFile(checkpoint);
    }
    ::testing::internal::CaptureStderr();  // the repair's warning
    auto db = OpenDb(dir.path());
    ::testing::internal::GetCapturedStderr();
    ASSERT_NE(db, nullptr) << what;
    ASSERT_EQ(LogOf(*db).head(), whole ? 7u : 5u) << what;
    ASSERT_EQ(db->stream_catalog().Revision({}, "orders"), LogOf(*db).head() - 1) << what;

    for (size_t i = 0; i < 3; ++i) {
      auto receipt = db->AppendBatchWithId(RequestFor(kBatches[i]), std::nullopt);
      ASSERT_TRUE(receipt.ok()) << what;
      if (i < 2 || whole) {
        ASSERT_EQ(*receipt, stored[i]) << what;
      } else {  // the lost batch is appended again, whole
        ASSERT_EQ(receipt->first_position, 5u) << what;
        ASSERT_EQ(receipt->current_revision.value, 6u) << what;
      }
    }
    ASSERT_EQ(LogOf(*db).head(), 7u) << what;
    ReadRequest all;
    all.verify_batch_digest = true;
    ASSERT_EQ(Drain(db->Read(all).value()).size(), 7u) << what;
  }
}

}  // namespace
}  // namespace corvantine::db
