#include "util/hash.h"

#include <string>

#include <gtest/gtest.h>

namespace corvantine::util {
namespace {

TEST(DualHashTest, KnownAnswers) {
  EXPECT_EQ(DualHash(""), (DualHashDigest{0x25, 0x23, 0x22, 0x84, 0xe4, 0x9c, 0xf2, 0xcb,
                                          0xe4, 0x9c, 0xf2, 0xcb, 0x25, 0x23, 0x22, 0x84}));
  EXPECT_EQ(DualHash("abc"), (DualHashDigest{0x4b, 0x57, 0x41, 0x05, 0x19, 0xa2, 0x1f, 0xe7,
                                             0xbc, 0xf8, 0x45, 0x7e, 0x67, 0x38, 0x89, 0x4e}));
}

TEST(DualHashTest, IncrementalEqualsOneShot) {
  std::string input;
  for (int i = 0; i < 300; ++i) input.push_back(static_cast<char>(i * 7));
  for (size_t split = 0; split <= input.size(); split += 17) {
    DualHasher hasher;
    hasher.Update(std::string_view(input).substr(0, split));
    const DualHashDigest partial = hasher.Finish();
    hasher.Update(input.data() + split, input.size() - split);
    EXPECT_EQ(hasher.Finish(), DualHash(input)) << split;
    EXPECT_EQ(partial, DualHash(input.substr(0, split))) << split;
  }
}

}  // namespace
}  // namespace corvantine::util
