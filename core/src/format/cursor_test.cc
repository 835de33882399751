#include "format/cursor.h"

#include <gtest/gtest.h>

namespace corvantine::format {
namespace {

using namespace std::string_literals;

TEST(CursorTest, ShortBytesTestsTheLimitBeforeThePresence) {
  // Length 1025 over limit 1024, nothing follows: the limit error wins.
  EXPECT_EQ(Cursor("\x01\x04"s).ShortBytes(1024).error().ToString(),
            "resource limit exceeded: short byte string is 1025, maximum is 1024");
  // Length 3 within the limit, two bytes present.
  EXPECT_EQ(Cursor("\x03\x00\x61\x62"s).ShortBytes(1024).error().ToString(),
            "invalid format: truncated v2 envelope");
  EXPECT_EQ(Cursor("\x01"s).ShortBytes(1024).error().ToString(),
            "invalid format: truncated v2 envelope");
  EXPECT_EQ(*Cursor("\x00\x04"s + std::string(1024, 'k')).ShortBytes(1024), std::string(1024, 'k'));
}

}  // namespace
}  // namespace corvantine::format
