#include "log/lock.h"

#include <cerrno>
#include <optional>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/system.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::log::lock {
namespace {

using namespace platform::testing;

class DirLockTest : public ::testing::Test {
 protected:
  std::string LockPath() const { return platform::JoinPath(dir_.path(), "LOCK"); }
  std::string LockedText() const {
    return fmt::format(
        "data dir is locked by another process: {} exists; another process may hold this data "
        "dir. If no process is using it, delete the LOCK file and retry.",
        LockPath());
  }

  platform::TempDir dir_;
};

TEST_F(DirLockTest, HeldUntilDestroyed) {
  {
    auto lock = DirLock::Acquire(dir_.path());
    ASSERT_TRUE(lock.ok());
    EXPECT_EQ(lock->path(), LockPath());
    EXPECT_EQ(*platform::ReadFile(LockPath()), fmt::format("{}\n", platform::ProcessId()));

    auto second = DirLock::Acquire(dir_.path());
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().kind(), error::Kind::kLocked);
    EXPECT_EQ(second.error().ToString(), LockedText());
  }
  EXPECT_FALSE(platform::PathExists(LockPath()));
  EXPECT_EQ(Outcome(DirLock::Acquire(dir_.path())), "ok");
}

// Nobody checks whose process id the file holds: only deleting it helps.
TEST_F(DirLockTest, LeftOverFileLocksUntilDeleted) {
  platform::File stale = *platform::CreateExclusive(LockPath());
  ASSERT_TRUE(stale.WriteAt(0, "999999999\n").ok());
  EXPECT_EQ(Outcome(DirLock::Acquire(dir_.path())), LockedText());
  EXPECT_EQ(*platform::ReadFile(LockPath()), "999999999\n");
  ASSERT_TRUE(platform::RemoveFile(LockPath()).ok());
  EXPECT_EQ(Outcome(DirLock::Acquire(dir_.path())), "ok");
}

TEST_F(DirLockTest, MovesHandOverTheRemoval) {
  platform::TempDir other_dir;
  const std::string other_lock = platform::JoinPath(other_dir.path(), "LOCK");
  std::optional<DirLock> holder;
  {
    DirLock lock = *DirLock::Acquire(dir_.path());
    holder.emplace(std::move(lock));
  }
  EXPECT_TRUE(platform::PathExists(LockPath()));

  *holder = *DirLock::Acquire(other_dir.path());  // releases the first lock
  EXPECT_FALSE(platform::PathExists(LockPath()));
  EXPECT_TRUE(platform::PathExists(other_lock));
  holder.reset();
  EXPECT_FALSE(platform::PathExists(other_lock));
}

TEST_F(DirLockTest, FileSystemFailures) {
  EXPECT_EQ(Outcome(DirLock::Acquire(platform::JoinPath(dir_.path(), "missing"))),
            "io: No such file or directory (os error 2)");
  {
    ScopedFault fault(Op::kOpen, 1, Fault::Error(EACCES));
    EXPECT_EQ(Outcome(DirLock::Acquire(dir_.path())), "io: Permission denied (os error 13)");
  }
  {
    // The process id is a courtesy: the lock holds without it.
    ScopedFault fault(Op::kWrite, 1, Fault::Error(ENOSPC));
    auto lock = DirLock::Acquire(dir_.path());
    EXPECT_EQ(Outcome(lock), "ok");
    EXPECT_EQ(fault.hits(), 1u);
    EXPECT_EQ(*platform::FileSizeOf(LockPath()), 0u);
  }
  {
    std::optional<DirLock> lock(*DirLock::Acquire(dir_.path()));
    ScopedFault fault(Op::kRemove, 1, Fault::Error(EIO));
    lock.reset();  // a failed removal is ignored
    EXPECT_EQ(fault.hits(), 1u);
  }
  EXPECT_TRUE(platform::PathExists(LockPath()));
}

}  // namespace
}  // namespace corvantine::log::lock
