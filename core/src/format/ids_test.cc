#include "format/ids.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <compare>
#include <cstdlib>
#include <utility>
#include <unordered_set>

#include <gtest/gtest.h>

#include "format/revision.h"
#include "util/coding.h"

namespace corvantine::format {
namespace {

IdBytes Counting() {
  IdBytes bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

uint64_t CounterPart(const IdBytes& bytes) {
  return util::DecodeFixed64(reinterpret_cast<const char*>(bytes.data()) + 8);
}

TEST(IdText, HexAndJsonForms) {
  const BranchId id(Counting());
  EXPECT_EQ(id.ToHex(), "000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(id.ToJsonArray(), "[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15]");
  EXPECT_EQ(BranchId().ToJsonArray(), "[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]");
  IdBytes high;
  high.fill(0xff);
  EXPECT_EQ(EventId(high).ToHex(), std::string(32, 'f'));
  EXPECT_EQ(EventId(high).ToJsonArray().substr(0, 9), "[255,255,");
}

TEST(IdText, ParsesHexOfEitherCase) {
  EXPECT_EQ(StreamId::FromHex("000102030405060708090a0b0c0d0e0f"), StreamId(Counting()));
  EXPECT_EQ(StreamId::FromHex("000102030405060708090A0B0C0D0E0F"), StreamId(Counting()));
  for (const char* bad : {"", "000102030405060708090a0b0c0d0e0", "000102030405060708090a0b0c0d0e0f0",
                          "000102030405060708090a0b0c0d0e0g", "0x0102030405060708090a0b0c0d0e0f"}) {
    EXPECT_FALSE(StreamId::FromHex(bad).has_value()) << bad;
  }
}

TEST(IdValue, ComparesAndHashesByBytes) {
  IdBytes low{}, high{};
  low[0] = 0x01;
  low[15] = 0xff;
  high[0] = 0x80;  // unsigned comparison: 0x80 sorts after 0x01
  EXPECT_LT(EventId(low), EventId(high));
  EXPECT_EQ(EventId(low), EventId(low));
  std::unordered_set<EventId> set{EventId(low), EventId(high), EventId(low)};
  EXPECT_EQ(set.size(), 2u);
}

// The comparison works eight bytes at a time; it must order exactly as the
// byte strings do, whichever byte is the first to differ.
TEST(IdValue, OrdersAsTheByteStrings) {
  for (size_t at = 0; at < 16; ++at) {
    for (const auto& [a, b] : {std::pair<uint8_t, uint8_t>{0x01, 0x80}, {0x7f, 0x80}, {0, 0xff}}) {
      IdBytes low = Counting();
      IdBytes high = Counting();
      low[at] = a;
      high[at] = b;
      // Bytes after the first difference must not matter.
      for (size_t i = at + 1; i < 16; ++i) {
        low[i] = 0xff;
        high[i] = 0x00;
      }
      EXPECT_EQ(StreamId(low) <=> StreamId(high), std::strong_ordering::less) << at;
      EXPECT_EQ(StreamId(high) <=> StreamId(low), std::strong_ordering::greater) << at;
      EXPECT_EQ(StreamId(low) <=> StreamId(low), std::strong_ordering::equal) << at;
    }
  }
}

TEST(IdGeneration, ComposesClockThenCounterXorProcessId) {
  const IdBytes bytes = ComposeIdBytes(0x0102030405060708, 1, 0xabcd);
  const IdBytes expected = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                            0x01, 0x00, 0x00, 0x00, 0xcd, 0xab, 0x00, 0x00};
  EXPECT_EQ(bytes, expected);
}

TEST(IdGeneration, CounterAdvancesByOneAndCarriesProcessId) {
  const uint64_t pid_part = static_cast<uint64_t>(static_cast<uint32_t>(getpid())) << 32;
  const IdBytes first = GenerateIdBytes();
  const IdBytes second = GenerateIdBytes();
  EXPECT_EQ((CounterPart(second) ^ pid_part), (CounterPart(first) ^ pid_part) + 1);
  EXPECT_EQ(NextIdCounter(), (CounterPart(second) ^ pid_part) + 1);
}

TEST(IdGenerationDeathTest, FirstCounterValueInAProcessIsOne) {
  // A fresh process: the threadsafe style re-runs this test alone.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(NextIdCounter() == 1 ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST(IdGeneration, ForkedChildCarriesItsOwnProcessId) {
  GenerateIdBytes();  // the parent's process id is known from here on
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const IdBytes id = GenerateIdBytes();
    _exit(write(pipe_fds[1], id.data(), id.size()) == static_cast<ssize_t>(id.size()) ? 0 : 1);
  }
  IdBytes id{};
  ASSERT_EQ(read(pipe_fds[0], id.data(), id.size()), static_cast<ssize_t>(id.size()));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  EXPECT_EQ(CounterPart(id) >> 32, static_cast<uint64_t>(static_cast<uint32_t>(child)))
      << "the counter stays far below 2^32 in a test process";
}

TEST(IdGeneration, ClockBeforeEpochGivesZeroNanos) {
  using std::chrono::system_clock;
  EXPECT_EQ(UnixNanos(system_clock::time_point(-std::chrono::seconds(5))), 0u);
  EXPECT_EQ(UnixNanos(system_clock::time_point(std::chrono::seconds(2) +
                                               std::chrono::nanoseconds(7))),
            2'000'000'007u);
}

TEST(StreamRevisionText, DebugString) {
  EXPECT_EQ(StreamRevision{7}.DebugString(), "StreamRevision(7)");
  EXPECT_EQ(StreamRevision{18446744073709551615u}.DebugString(),
            "StreamRevision(18446744073709551615)");
}

}  // namespace
}  // namespace corvantine::format
