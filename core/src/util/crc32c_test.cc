#include "util/crc32c.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvantine::util::crc32c {
namespace {

using ExtendFunction = uint32_t (*)(uint32_t, const void*, size_t);

std::string Bytes(std::initializer_list<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string Ascending(int n) {
  std::string bytes;
  for (int i = 0; i < n; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

std::string Descending(int n) {
  std::string bytes;
  for (int i = n - 1; i >= 0; --i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

struct Vector {
  const char* name;
  std::string data;
  uint32_t crc;
};

// RFC 3720, appendix B.4, and the customary check value.
const std::vector<Vector>& KnownVectors() {
  static const std::vector<Vector> vectors = {
      {"32 zero bytes", std::string(32, '\0'), 0x8A9136AA},
      {"32 0xFF bytes", std::string(32, '\xFF'), 0x62A8AB43},
      {"0..31 ascending", Ascending(32), 0x46DD794E},
      {"31..0 descending", Descending(32), 0x113FDB5C},
      {"iSCSI read command",
       Bytes({0x01, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
              0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,
              0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x18, 0x28, 0x00, 0x00, 0x00,
              0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
       0xD9963A56},
      {"check string", "123456789", 0xE3069283},
      {"empty", "", 0},
  };
  return vectors;
}

std::vector<ExtendFunction> Implementations() {
  std::vector<ExtendFunction> implementations = {&ExtendPortable, &Extend};
  if (HardwareAvailable()) implementations.push_back(&ExtendHardware);
  return implementations;
}

TEST(Crc32cTest, KnownVectors) {
  for (ExtendFunction extend : Implementations()) {
    for (const Vector& vector : KnownVectors()) {
      EXPECT_EQ(extend(0, vector.data.data(), vector.data.size()), vector.crc) << vector.name;
    }
  }
  EXPECT_EQ(Value("123456789"), 0xE3069283u);
}

TEST(Crc32cTest, ExtendContinuesTheCrcOfAPrefix) {
  const std::string data = Ascending(256) + "trailing text of an odd length";
  for (ExtendFunction extend : Implementations()) {
    const uint32_t whole = extend(0, data.data(), data.size());
    for (size_t split = 0; split <= data.size(); ++split) {
      const uint32_t prefix = extend(0, data.data(), split);
      EXPECT_EQ(extend(prefix, data.data() + split, data.size() - split), whole) << split;
    }
  }
}

TEST(Crc32cTest, HardwareMatchesPortableAtEveryLengthAndAlignment) {
  if (!HardwareAvailable()) GTEST_SKIP() << "no CRC-32C instruction on this processor";
  std::mt19937 random(20240601);
  std::string buffer(8 + 1024, '\0');
  for (char& byte : buffer) byte = static_cast<char>(random());
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t n = 0; n <= 1024; ++n) {
      const char* data = buffer.data() + offset;
      const uint32_t seed = random();
      ASSERT_EQ(ExtendHardware(seed, data, n), ExtendPortable(seed, data, n))
          << "offset " << offset << " length " << n;
    }
  }
}

TEST(Crc32cTest, HardwareMatchesPortableOnLongInputs) {
  if (!HardwareAvailable()) GTEST_SKIP() << "no CRC-32C instruction on this processor";
  std::mt19937 random(7);
  std::string buffer(1 << 20, '\0');
  for (char& byte : buffer) byte = static_cast<char>(random());
  for (size_t n : {size_t{4096}, size_t{4096 + 13}, size_t{65537}, buffer.size()}) {
    EXPECT_EQ(ExtendHardware(0, buffer.data(), n), ExtendPortable(0, buffer.data(), n)) << n;
  }
}

}  // namespace
}  // namespace corvantine::util::crc32c
