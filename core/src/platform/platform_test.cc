#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::platform {
namespace {

constexpr const char* kNoEntry = "io: No such file or directory (os error 2)";
constexpr const char* kNotDir = "io: Not a directory (os error 20)";

class PlatformTest : public ::testing::Test {
 protected:
  std::string Path(std::string_view name) const { return JoinPath(dir_.path(), name); }

  void Write(std::string_view name, std::string_view content) {
    File file = std::move(*CreateOrTruncate(Path(name)));
    ASSERT_EQ(Outcome(file.WriteAt(0, content)), "ok");
  }

  TempDir dir_;
};

TEST_F(PlatformTest, FileReadsBackWhatWasWrittenAtAnyOffset) {
  Result<File> file = CreateExclusive(Path("f"));
  ASSERT_EQ(Outcome(file), "ok");
  ASSERT_EQ(Outcome(file->WriteAt(0, "hello")), "ok");
  ASSERT_EQ(Outcome(file->WriteAt(8, "world")), "ok");  // leaves a hole of zeros
  EXPECT_EQ(Outcome(file->Sync()), "ok");
  EXPECT_EQ(Outcome(file->DataSync()), "ok");
  EXPECT_EQ(*file->Size(), 13u);

  char buf[32];
  ASSERT_EQ(Outcome(file->ReadExactAt(0, 13, buf)), "ok");
  EXPECT_EQ(std::string_view(buf, 13), std::string_view("hello\0\0\0world", 13));
  EXPECT_EQ(*file->ReadAt(10, sizeof buf, buf), 3u) << "a read across the end stops there";
  EXPECT_EQ(std::string_view(buf, 3), "rld");
  EXPECT_EQ(*file->ReadAt(100, 4, buf), 0u);
  EXPECT_EQ(Outcome(file->ReadExactAt(10, 4, buf)), "io: failed to fill whole buffer");

  ASSERT_EQ(Outcome(file->Truncate(5)), "ok");
  EXPECT_EQ(Outcome(file->Close()), "ok");
  EXPECT_EQ(Outcome(file->Close()), "ok") << "closing a closed file";
  EXPECT_EQ(*ReadFile(Path("f")), "hello");
  EXPECT_EQ(*FileSizeOf(Path("f")), 5u);
}

TEST_F(PlatformTest, OpenFlagsModesAndFailures) {
  Write("f", "content");
  struct Case {
    Result<File> file;
    bool can_read, can_write;
  };
  Case cases[] = {{OpenForRead(Path("f")), true, false},
                  {OpenForReadWrite(Path("f")), true, true},
                  {CreateExclusive(Path("new")), true, true},
                  {CreateOrTruncate(Path("f")), false, true}};
  for (Case& c : cases) {
    ASSERT_EQ(Outcome(c.file), "ok");
    EXPECT_TRUE(::fcntl(c.file->fd(), F_GETFD) & FD_CLOEXEC) << c.file->path();
    char byte;
    EXPECT_EQ(Outcome(c.file->ReadAt(0, 1, &byte)),
              c.can_read ? "ok" : "io: Bad file descriptor (os error 9)");
    EXPECT_EQ(c.file->WriteAt(0, "C").ok(), c.can_write) << c.file->path();
  }
  EXPECT_EQ(*ReadFile(Path("f")), "C") << "emptied by CreateOrTruncate";
  const mode_t umask = ::umask(0);
  ::umask(umask);
  struct stat st;
  ASSERT_EQ(::stat(Path("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~umask);

  EXPECT_EQ(Outcome(CreateExclusive(Path("f"))), "io: File exists (os error 17)");
  EXPECT_EQ(Outcome(OpenForRead(Path("missing"))), kNoEntry);
  EXPECT_EQ(Outcome(OpenForReadWrite(Path("missing"))), kNoEntry);
  EXPECT_EQ(Outcome(CreateOrTruncate(Path("no/f"))), kNoEntry);
}

TEST_F(PlatformTest, FileOwnsItsDescriptor) {
  Write("f", "x");
  File first = std::move(*OpenForRead(Path("f")));
  const int fd = first.fd();
  {
    File second = std::move(first);
    EXPECT_FALSE(first.is_open());
    File third;
    third = std::move(second);
    EXPECT_EQ(third.fd(), fd);
    EXPECT_EQ(third.path(), Path("f"));
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "closed with its last owner";
}

TEST_F(PlatformTest, AMappedFileReadsBackAfterItsPagesAreReleased) {
  const std::string content(3 * 4096 + 5, 'c');
  Write("f", content);
  Write("empty", "");
  Result<MappedFile> file = MapForRead(Path("f"));
  ASSERT_EQ(Outcome(file), "ok");
  for (const size_t offset : {size_t{10}, size_t{4096 * 2 + 1}, content.size() + 1}) {
    file->ReleaseBefore(offset);
    EXPECT_EQ(file->bytes(), content) << "released before " << offset;
  }
  EXPECT_EQ(MapForRead(Path("empty"))->bytes(), "");
  EXPECT_EQ(Outcome(MapForRead(Path("missing"))), kNoEntry);
  testing::ScopedFault failing(Op::kOpen, 1, testing::Fault::Error(EIO));
  EXPECT_EQ(Outcome(MapForRead(Path("f"))), "io: Input/output error (os error 5)");
}

TEST_F(PlatformTest, DirectoryOperations) {
  ASSERT_EQ(Outcome(CreateDirs(Path("a/b/c"))), "ok");
  EXPECT_TRUE(IsDirectory(Path("a/b/c")));
  EXPECT_EQ(Outcome(CreateDirs(Path("a/b/c"))), "ok") << "an existing directory";
  EXPECT_EQ(Outcome(CreateDirs(Path("a/b/d/"))), "ok");
  Write("a/b/file", "xyz");
  Write("a/b/c/deep", "");
  EXPECT_EQ(*ListDir(Path("a/b")), (std::vector<std::string>{"c", "d", "file"}));
  EXPECT_EQ(Outcome(ListDir(Path("none"))), kNoEntry);
  EXPECT_EQ(Outcome(CreateDirs(Path("a/b/file"))), "io: File exists (os error 17)");
  EXPECT_EQ(Outcome(CreateDirs(Path("a/b/file/x"))), kNotDir);
  EXPECT_EQ(Outcome(SyncDir(Path("a/b"))), "ok");
  EXPECT_EQ(Outcome(SyncDir(Path("a/b/file"))), kNotDir);

  Write("a/other", "new");
  ASSERT_EQ(Outcome(Rename(Path("a/other"), Path("a/b/file"))), "ok");
  EXPECT_FALSE(PathExists(Path("a/other")));
  EXPECT_EQ(*ReadFile(Path("a/b/file")), "new") << "the target was replaced";
  ASSERT_EQ(Outcome(RemoveFile(Path("a/b/file"))), "ok");
  EXPECT_EQ(Outcome(RemoveFile(Path("a/b/file"))), kNoEntry);

  Write("kept", "");
  ASSERT_EQ(::symlink(dir_.path().c_str(), Path("a/b/c/link").c_str()), 0);
  ASSERT_EQ(Outcome(RemoveAll(Path("a"))), "ok");
  EXPECT_EQ(*ListDir(dir_.path()), std::vector<std::string>{"kept"}) << "the link not followed";
  EXPECT_EQ(Outcome(RemoveAll(Path("a"))), "ok") << "a missing path";
}

TEST(JoinPath, AddsOneSeparator) {
  EXPECT_EQ(JoinPath("/d", "f"), "/d/f");
  EXPECT_EQ(JoinPath("/d/", "f"), "/d/f");
  EXPECT_EQ(JoinPath("", "f"), "f");
}

TEST(TempDir, IsFreshAndRemovedWithItsContents) {
  std::string path;
  {
    TempDir a, b;
    path = a.path();
    EXPECT_NE(a.path(), b.path());
    EXPECT_TRUE(ListDir(path)->empty());
    ASSERT_EQ(Outcome(CreateDirs(JoinPath(path, "x/y"))), "ok");
  }
  EXPECT_FALSE(PathExists(path));
  TempDir parent;
  TempDir child(parent.path());
  EXPECT_EQ(child.path().rfind(parent.path() + "/corvantine-", 0), 0u) << child.path();
}

TEST_F(PlatformTest, ANewDirectoryWhoseParentCannotBeFlushedIsRemovedAgain) {
  {
    testing::ScopedFault fault(Op::kSyncDir, 2, testing::Fault::Error(EIO));  // flushing "a"
    EXPECT_EQ(Outcome(CreateDirs(Path("a/b"))), "io: Input/output error (os error 5)");
  }
  EXPECT_TRUE(IsDirectory(Path("a")));
  EXPECT_FALSE(PathExists(Path("a/b"))) << "a retry must flush it anew";
  testing::CallCounter flushes(Op::kSyncDir);
  EXPECT_EQ(Outcome(CreateDirs(Path("a/b"))), "ok");
  EXPECT_EQ(flushes.count(), 1u);
}

TEST(System, ClocksAndProcessId) {
  const uint64_t nanos = NowUnixNanos();
  EXPECT_GT(nanos, 1'600'000'000'000'000'000u);  // after September 2020
  EXPECT_LT(NowUnixMillis() - nanos / 1'000'000, 10'000u);
  const uint64_t before = MonotonicNanos();
  EXPECT_GE(MonotonicNanos(), before);
  EXPECT_EQ(ProcessId(), static_cast<uint32_t>(::getpid()));
}

}  // namespace
}  // namespace corvantine::platform
