#include "log/index.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::log::index {
namespace {

using namespace platform::testing;

format::StreamId Stream(uint8_t first_byte) {
  util::Bytes16 bytes{};
  bytes[0] = first_byte;
  return format::StreamId(bytes);
}

Sidecar Populated() {
  Sidecar sidecar;
  sidecar.base = 100;
  sidecar.end = 160;
  sidecar.min_timestamp = -5;
  sidecar.max_timestamp = 1'700'000'000'000'000'000;
  sidecar.system_record_count = 3;
  sidecar.seek_points = {{100, 0}, {120, 70'000}, {140, 140'000}};
  sidecar.postings = {{Stream(1), 100, 150, 40}, {Stream(2), 101, 159, 20}};
  return sidecar;
}

// Rewrites the trailing checksum so a mutated file fails later checks only.
std::string Reseal(std::string bytes) {
  const size_t body = bytes.size() - 4;
  util::EncodeFixed32(bytes.data() + body, util::crc32c::Value(bytes.data(), body));
  return bytes;
}

// Pairs of hexadecimal digits; blanks are skipped.
std::string FromHex(std::string_view hex) {
  std::string digits;
  std::copy_if(hex.begin(), hex.end(), std::back_inserter(digits), [](char c) { return c != ' '; });
  std::string bytes;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string DecodeError(std::string_view bytes) {
  return platform::Outcome(Sidecar::Decode(bytes));
}

TEST(SidecarCodecTest, EmptySidecarHasGoldenBytes) {
  Sidecar empty;
  empty.base = 7;
  empty.end = 7;
  empty.seek_points = {{7, 0}};
  // Magic, version, reserved, base, end, min and max timestamp, system
  // record count, S, P, the seek point, CRC-32C.
  const std::string expected = FromHex(
      "43564e58 0100 0000 0700000000000000 0700000000000000 ffffffffffffff7f "
      "0000000000000080 0000000000000000 01000000 00000000 0700000000000000 "
      "0000000000000000 08e11266");
  EXPECT_EQ(empty.Encode(), expected);
  ASSERT_EQ(expected.size(), 76u);
  Result<Sidecar> decoded = Sidecar::Decode(expected);
  ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
  EXPECT_EQ(*decoded, empty);
  EXPECT_FALSE(decoded->HasEvents());
}

TEST(SidecarCodecTest, PopulatedSidecarRoundTrips) {
  const std::string bytes = Populated().Encode();
  EXPECT_EQ(bytes.size(), 60u + 16 * 3 + 40 * 2);
  Result<Sidecar> decoded = Sidecar::Decode(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
  EXPECT_EQ(*decoded, Populated());
}

TEST(SidecarCodecTest, EveryFlippedByteIsRefused) {
  const std::string bytes = Populated().Encode();
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string damaged = bytes;
    damaged[i] ^= 0x20;
    EXPECT_EQ(DecodeError(damaged), "invalid format: sidecar: crc mismatch") << "byte " << i;
  }
}

TEST(SidecarCodecTest, DecodeFailuresNameTheirReason) {
  const std::string good = Populated().Encode();
  auto mutate = [&](std::function<void(std::string&)> change) {
    std::string bytes = good;
    change(bytes);
    return Reseal(bytes);
  };
  Sidecar duplicate = Populated();
  duplicate.postings[1].stream_id = duplicate.postings[0].stream_id;
  Sidecar descending_ids = Populated();
  std::swap(descending_ids.postings[0], descending_ids.postings[1]);
  Sidecar decreasing_seeks = Populated();
  decreasing_seeks.seek_points[2].position = 119;
  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"59 bytes", good.substr(0, 59), "too short"},
      {"empty", "", "too short"},
      {"flipped checksum",
       [&] {
         std::string b = good;
         b.back() ^= 1;
         return b;
       }(),
       "crc mismatch"},
      {"magic", mutate([](std::string& b) { b[3] = 'Y'; }), "bad magic"},
      {"version 2", mutate([](std::string& b) { b[4] = 2; }), "unsupported version"},
      {"seek count too high", mutate([](std::string& b) { b[48] = 4; }), "length mismatch"},
      {"posting count too low", mutate([](std::string& b) { b[52] = 1; }), "length mismatch"},
      {"extra byte", Reseal(good + "x"), "length mismatch"},
      {"huge counts", mutate([](std::string& b) { util::EncodeFixed32(b.data() + 48, ~0u); }),
       "length mismatch"},
      {"duplicate posting", duplicate.Encode(), "unsorted entries"},
      {"descending postings", descending_ids.Encode(), "unsorted entries"},
      {"decreasing seek points", decreasing_seeks.Encode(), "unsorted entries"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeError(c.bytes), std::string("invalid format: sidecar: ") + c.reason) << c.name;
  }
}

TEST(SidecarCodecTest, EqualSeekPositionsAndReservedBitsAreAccepted) {
  Sidecar equal_seeks = Populated();
  equal_seeks.seek_points = {{100, 0}, {120, 70'000}, {120, 140'000}};
  EXPECT_EQ(DecodeError(equal_seeks.Encode()), "ok");

  std::string reserved = Populated().Encode();
  reserved[6] = 0x12;
  reserved[7] = 0x34;
  Result<Sidecar> decoded = Sidecar::Decode(Reseal(reserved));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, Populated());
}

TEST(SidecarLookupTest, SeekPointBefore) {
  Sidecar sidecar;
  sidecar.seek_points = {{10, 0}, {20, 100}, {20, 200}, {35, 300}};
  const struct {
    uint64_t target;
    std::optional<SeekPoint> expected;
  } cases[] = {
      {0, std::nullopt},        {9, std::nullopt},           {10, SeekPoint{10, 0}},
      {19, SeekPoint{10, 0}},   {20, SeekPoint{20, 200}},    {34, SeekPoint{20, 200}},
      {35, SeekPoint{35, 300}}, {~0ull, SeekPoint{35, 300}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sidecar.SeekPointBefore(c.target), c.expected) << "target " << c.target;
  }
  EXPECT_EQ(Sidecar{}.SeekPointBefore(5), std::nullopt);
}

TEST(SidecarLookupTest, HasPosting) {
  const Sidecar sidecar = Populated();
  EXPECT_TRUE(sidecar.HasPosting(Stream(1)));
  EXPECT_TRUE(sidecar.HasPosting(Stream(2)));
  EXPECT_FALSE(sidecar.HasPosting(Stream(0)));
  EXPECT_FALSE(sidecar.HasPosting(Stream(3)));
  EXPECT_FALSE(Sidecar{}.HasPosting(Stream(1)));
}

TEST(SidecarPathTest, ReplacesTheExtension) {
  EXPECT_EQ(SidecarPath("/db/log/00000000000000000042.seg"), "/db/log/00000000000000000042.sidx");
  EXPECT_EQ(SidecarPath("42.seg"), "42.sidx");
  EXPECT_EQ(SidecarPath("/db.d/log/42"), "/db.d/log/42.sidx");
}

class SidecarFileTest : public ::testing::Test {
 protected:
  void WriteSidecarFile(const std::string& bytes) { WriteFile(SidecarPath(segment_), bytes); }

  platform::TempDir dir_;
  const std::string segment_ = dir_.path() + "/00000000000000000100.seg";
};

TEST_F(SidecarFileTest, PersistThenLoadChecksBaseAndEnd) {
  EXPECT_EQ(Load(segment_, 100, 160), std::nullopt);  // no file yet
  ASSERT_TRUE(Persist(segment_, Populated()).ok());
  EXPECT_EQ(Load(segment_, 100, 160), Populated());
  EXPECT_EQ(Load(segment_, 100, 161), std::nullopt);  // planned with another end
  EXPECT_EQ(Load(segment_, 99, 160), std::nullopt);
  EXPECT_FALSE(platform::PathExists(SidecarPath(segment_) + ".tmp"));
}

TEST_F(SidecarFileTest, DamagedFilesLoadAsNothing) {
  std::string damaged = Populated().Encode();
  damaged[20] ^= 1;
  WriteSidecarFile(damaged);
  EXPECT_EQ(Load(segment_, 100, 160), std::nullopt);
  WriteSidecarFile(Populated().Encode().substr(0, 59));
  EXPECT_EQ(Load(segment_, 100, 160), std::nullopt);
}

TEST_F(SidecarFileTest, PersistRetriesARefusedRenameOnce) {
  WriteSidecarFile("stale");
  {
    ScopedFault refused(Op::kRename, 1, Fault::Error(EEXIST));
    ASSERT_TRUE(Persist(segment_, Populated()).ok());
    EXPECT_EQ(refused.hits(), 1u);
  }
  EXPECT_EQ(Load(segment_, 100, 160), Populated());

  ScopedFault first(Op::kRename, 1, Fault::Error(EACCES));
  ScopedFault second(Op::kRename, 2, Fault::Error(EIO));
  Result<> failed = Persist(segment_, Populated());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().As<error::Io>()->error.os_code, EACCES);  // the first rename's error
}

TEST_F(SidecarFileTest, FailedWriteLeavesTheTemporaryFile) {
  ScopedFault full(Op::kWrite, 1, Fault::Error(ENOSPC));
  Result<> failed = Persist(segment_, Populated());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().As<error::Io>()->error.os_code, ENOSPC);
  EXPECT_TRUE(platform::PathExists(SidecarPath(segment_) + ".tmp"));
  EXPECT_FALSE(platform::PathExists(SidecarPath(segment_)));
}

}  // namespace
}  // namespace corvantine::log::index
