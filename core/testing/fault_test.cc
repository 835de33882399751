#include "testing/fault.h"

#include <fcntl.h>

#include <cerrno>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/test_util.h"

namespace corvantine::platform {
namespace {

using testing::CallCounter;
using testing::Fault;
using testing::ScopedFault;

constexpr Op kAllOps[] = {Op::kOpen,      Op::kRead,     Op::kWrite,   Op::kSync,
                          Op::kDataSync,  Op::kTruncate, Op::kRename,  Op::kRemove,
                          Op::kCreateDir, Op::kListDir,  Op::kSyncDir, Op::kClose,
                          Op::kMap};

// Makes every kind of call at least once, as a storage module would: write a
// document crash-safely, read it back, then remove its directory.
Result<> Exercise(const std::string& root) {
  const std::string dir = JoinPath(root, "d");
  const std::string temporary = JoinPath(dir, "doc.tmp");
  CVN_TRY(CreateDirs(dir));
  CVN_ASSIGN_OR_RETURN(File file, CreateExclusive(temporary));
  CVN_TRY(file.WriteAt(0, "payload"));
  CVN_TRY(file.Truncate(4));
  char buf[4];
  CVN_TRY(file.ReadExactAt(0, sizeof buf, buf));
  CVN_TRY(file.DataSync());
  CVN_TRY(file.Sync());
  CVN_TRY(file.Close());
  CVN_TRY(MapForRead(temporary));
  CVN_TRY(Rename(temporary, JoinPath(dir, "doc")));
  CVN_TRY(SyncDir(dir));
  return RemoveAll(dir);
}

uint64_t CountCalls(Op op) {
  TempDir dir;
  CallCounter counter(op);
  EXPECT_EQ(Outcome(Exercise(dir.path())), "ok");
  return counter.count();
}

TEST(Fault, EveryCallOfEveryOpCanFailAndTheErrorSurfaces) {
  for (Op op : kAllOps) {
    const uint64_t calls = CountCalls(op);
    EXPECT_GE(calls, 1u) << "op " << int(op) << " not exercised";
    for (uint64_t nth = 1; nth <= calls; ++nth) {
      TempDir dir;
      ScopedFault fault(op, nth, Fault::Error(EIO));
      EXPECT_EQ(Outcome(Exercise(dir.path())), "io: Input/output error (os error 5)")
          << "op " << int(op) << " call " << nth;
      EXPECT_EQ(fault.hits(), 1u);
    }
  }
}

TEST(Fault, InterruptedCallsAreRetriedExceptClose) {
  for (Op op : kAllOps) {
    if (op == Op::kClose) continue;
    const uint64_t calls = CountCalls(op);
    TempDir dir;
    CallCounter counter(op);
    ScopedFault fault(op, 1, Fault::Error(EINTR));
    EXPECT_EQ(Outcome(Exercise(dir.path())), "ok") << "op " << int(op);
    EXPECT_EQ(counter.count(), calls + 1) << "op " << int(op);
  }
  TempDir dir;
  ScopedFault fault(Op::kClose, 1, Fault::Error(EINTR));
  EXPECT_EQ(Outcome(Exercise(dir.path())), "io: Interrupted system call (os error 4)");
}

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override { file_ = std::move(*CreateExclusive(JoinPath(dir_.path(), "f"))); }
  std::string Content() const { return *ReadFile(file_.path()); }

  TempDir dir_;
  File file_;
};

TEST_F(FaultTest, ShortWrites) {
  {
    CallCounter writes(Op::kWrite);
    ScopedFault one_byte_each(Op::kWrite, 1, Fault::Short(1).Persistent());
    EXPECT_EQ(Outcome(file_.WriteAt(0, "hello")), "ok");
    EXPECT_EQ(writes.count(), 5u) << "the loop finished the write";
    EXPECT_EQ(Content(), "hello");
  }
  {
    ScopedFault torn(Op::kWrite, 1, Fault::Short(3));
    ScopedFault disk_full(Op::kWrite, 2, Fault::Error(ENOSPC));
    EXPECT_EQ(Outcome(file_.WriteAt(0, "payload")), "io: No space left on device (os error 28)");
    EXPECT_EQ(Content(), "paylo") << "the torn prefix over the old content";
  }
  ScopedFault nothing_written(Op::kWrite, 1, Fault::Short(0));
  EXPECT_EQ(Outcome(file_.WriteAt(0, "hello")), "io: failed to write whole buffer");
}

TEST_F(FaultTest, ShortReads) {
  ASSERT_EQ(Outcome(file_.WriteAt(0, "abcdef")), "ok");
  char buf[6];
  {
    CallCounter reads(Op::kRead);
    ScopedFault two_bytes_each(Op::kRead, 1, Fault::Short(2).Persistent());
    ASSERT_EQ(Outcome(file_.ReadExactAt(0, 6, buf)), "ok");
    EXPECT_EQ(std::string_view(buf, 6), "abcdef");
    EXPECT_EQ(reads.count(), 3u);
  }
  ScopedFault end_of_file(Op::kRead, 1, Fault::Short(0).Persistent());
  EXPECT_EQ(*file_.ReadAt(0, 6, buf), 0u);
  EXPECT_EQ(Outcome(file_.ReadExactAt(0, 6, buf)), "io: failed to fill whole buffer");
}

TEST_F(FaultTest, PathFilterSelectsTheCallsCountedAndHit) {
  const std::string manifest = JoinPath(dir_.path(), "manifest.json");
  ASSERT_EQ(Outcome(CreateOrTruncate(manifest + ".tmp")), "ok");
  CallCounter manifest_renames(Op::kRename, "manifest");
  ScopedFault fault(Op::kRename, 1, Fault::Error(EACCES), "manifest");
  EXPECT_EQ(Outcome(Rename(file_.path(), file_.path() + ".moved")), "ok");
  EXPECT_EQ(Outcome(Rename(manifest + ".tmp", manifest)), "io: Permission denied (os error 13)");
  EXPECT_EQ(manifest_renames.count(), 1u);
}

TEST_F(FaultTest, FailedCloseStillReleasesTheDescriptor) {
  const int fd = file_.fd();
  ScopedFault fault(Op::kClose, 1, Fault::Error(EIO));
  EXPECT_EQ(Outcome(file_.Close()), "io: Input/output error (os error 5)");
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST_F(FaultTest, ArmingRules) {
  {
    ScopedFault persistent(Op::kSync, 2, Fault::Error(EIO).Persistent());
    ScopedFault later(Op::kSync, 2, Fault::Error(ENOSPC));
    EXPECT_EQ(Outcome(file_.Sync()), "ok");
    EXPECT_EQ(Outcome(file_.Sync()), "io: Input/output error (os error 5)") << "first armed wins";
    EXPECT_EQ(Outcome(file_.Sync()), "io: Input/output error (os error 5)");
    EXPECT_EQ(persistent.hits(), 2u);
    EXPECT_EQ(later.hits(), 1u);
  }
  EXPECT_EQ(Outcome(file_.Sync()), "ok") << "disarmed";
  EXPECT_EQ(internal::installed_hook.load(), nullptr) << "the hook is removed";
}

TEST(FaultThreads, CountsAndHitsAreExactUnderConcurrency) {
  constexpr int kThreads = 8;
  constexpr int kWrites = 500;  // per thread
  TempDir dir;
  CallCounter all_writes(Op::kWrite);
  ScopedFault one_failure(Op::kWrite, kThreads * kWrites / 2, Fault::Error(EIO));
  std::vector<int> failures(kThreads);
  std::vector<uint64_t> own_counts(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = "thread-" + std::to_string(t);
      // Armed and disarmed while the other threads are calling.
      CallCounter own_writes(Op::kWrite, name);
      File file = std::move(*CreateExclusive(JoinPath(dir.path(), name)));
      for (int i = 0; i < kWrites; ++i) failures[t] += !file.WriteAt(i, "x").ok();
      own_counts[t] = own_writes.count();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::accumulate(failures.begin(), failures.end(), 0), 1);
  EXPECT_EQ(own_counts, std::vector<uint64_t>(kThreads, kWrites));
  EXPECT_EQ(one_failure.hits(), 1u);
  EXPECT_EQ(all_writes.count(), uint64_t{kThreads * kWrites});
}

}  // namespace
}  // namespace corvantine::platform
