#include "log/cursor.h"

#include <algorithm>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::log::cursor {
namespace {

using namespace platform::testing;

// Writes 300 KiB of comma-separated numbers to `path` and returns them.
std::string WriteNumbers(const std::string& path) {
  std::string content;
  for (int i = 0; content.size() < 300 * 1024; ++i) content += std::to_string(i) + ",";
  WriteFile(path, content);
  return content;
}

TEST(SegmentCursorTest, ReadsInLargeStepsAndNeverPastItsLimit) {
  platform::TempDir dir;
  const std::string path = platform::JoinPath(dir.path(), "file");
  const std::string content = WriteNumbers(path);

  SegmentCursor cursor;
  std::string seen;
  CallCounter reads(Op::kRead, path);
  cursor.Open(*platform::OpenForRead(path), 10);
  for (;;) {
    ASSERT_TRUE(cursor.Fill(1'000).ok());
    const std::string_view available = cursor.available();
    if (available.empty()) break;
    const size_t n = std::min<size_t>(available.size(), 1'000);
    seen += available.substr(0, n);
    cursor.Consume(n);
  }
  EXPECT_EQ(seen, content.substr(10));
  EXPECT_LE(reads.count(), 4u);  // three steps of at least 128 KiB, then the end

  cursor.Open(*platform::OpenForRead(path), 0);
  ASSERT_TRUE(cursor.Fill(500, /*limit=*/100).ok());
  EXPECT_EQ(cursor.available(), content.substr(0, 100));
  cursor.Open(*platform::OpenForRead(path), 0);
  ASSERT_TRUE(cursor.Fill(200 * 1024).ok());  // more than one step at once
  EXPECT_GE(cursor.available().size(), 200u * 1024);
}

TEST(SegmentCursorTest, SeeksWithinItsBytesOrReadsAboutWhatThePreviousSeekUsed) {
  platform::TempDir dir;
  const std::string path = platform::JoinPath(dir.path(), "file");
  const std::string content = WriteNumbers(path);

  SegmentCursor cursor;
  CallCounter reads(Op::kRead, path);
  cursor.Open(*platform::OpenForRead(path), 0);
  ASSERT_TRUE(cursor.Fill(1).ok());
  cursor.Seek(1'000);  // among the bytes read
  EXPECT_EQ(cursor.available().substr(0, 10), content.substr(1'000, 10));
  EXPECT_EQ(reads.count(), 1u);
  cursor.Open(*platform::OpenForRead(path), 0);
  cursor.Seek(120 * 1024);  // the first since Open
  ASSERT_TRUE(cursor.Fill(1).ok());
  EXPECT_EQ(cursor.available().size(), 4096u);
  // {bytes consumed after the last seek, bytes the next seek reads first}
  const std::pair<size_t, size_t> cases[] = {{0, 1024}, {1024, 1024}, {1025, 4096}, {900, 1024}};
  uint64_t offset = 130 * 1024;  // beyond the bytes read so far
  for (const auto& [consumed, first_read] : cases) {
    ASSERT_TRUE(cursor.Fill(consumed).ok());
    cursor.Consume(consumed);
    offset += 10 * 1024;
    cursor.Seek(offset);
    ASSERT_TRUE(cursor.Fill(1).ok());
    EXPECT_EQ(cursor.available(), content.substr(offset, first_read)) << consumed;
  }
}

}  // namespace
}  // namespace corvantine::log::cursor
