#include "util/utf8.h"

#include <string>

#include <gtest/gtest.h>

namespace corvantine::util {
namespace {

struct Case {
  const char* name;
  std::string bytes;
  bool valid;
};

TEST(Utf8Test, AcceptsAndRejects) {
  const Case cases[] = {
      {"empty", "", true},
      {"ascii", "hello, world", true},
      {"nul byte", std::string("a\0b", 3), true},
      {"two-byte minimum U+0080", "\xC2\x80", true},
      {"two-byte maximum U+07FF", "\xDF\xBF", true},
      {"three-byte minimum U+0800", "\xE0\xA0\x80", true},
      {"last before surrogates U+D7FF", "\xED\x9F\xBF", true},
      {"first after surrogates U+E000", "\xEE\x80\x80", true},
      {"U+FFFF", "\xEF\xBF\xBF", true},
      {"four-byte minimum U+10000", "\xF0\x90\x80\x80", true},
      {"maximum U+10FFFF", "\xF4\x8F\xBF\xBF", true},
      {"mixed text", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 done", true},

      {"overlong NUL", "\xC0\x80", false},
      {"overlong two-byte C1", "\xC1\xBF", false},
      {"overlong three-byte", "\xE0\x9F\xBF", false},
      {"overlong four-byte", "\xF0\x8F\xBF\xBF", false},
      {"first surrogate U+D800", "\xED\xA0\x80", false},
      {"last surrogate U+DFFF", "\xED\xBF\xBF", false},
      {"above maximum U+110000", "\xF4\x90\x80\x80", false},
      {"lead F5", "\xF5\x80\x80\x80", false},
      {"lead FF", "\xFF", false},
      {"stray continuation", "a\x80z", false},
      {"continuation after complete sequence", "\xC3\xA9\xA9", false},
      {"truncated two-byte", "\xC3", false},
      {"truncated three-byte", "\xE2\x82", false},
      {"truncated four-byte", "\xF0\x9F\x98", false},
      {"ascii in place of continuation", "\xE2\x82" "A", false},
      {"lead in place of continuation", "\xF0\x9F\xC3\xA9", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.name;
  }
}

// The ASCII fast path reads eight bytes at a time: a bad byte must be found
// at every position within and after such a run.
TEST(Utf8Test, FindsABadByteAtEveryPositionOfALongRun) {
  const std::string ascii(40, 'x');
  for (size_t i = 0; i < ascii.size(); ++i) {
    std::string text = ascii;
    text[i] = '\x80';
    EXPECT_FALSE(IsValidUtf8(text)) << i;
    text.replace(i, 1, "\xC3\xA9");
    EXPECT_TRUE(IsValidUtf8(text)) << i;
    EXPECT_FALSE(IsValidUtf8(text.substr(0, i + 1))) << i;
  }
}

// Each maximal ill-formed subsequence becomes one U+FFFD, as Python's
// bytes.decode("utf-8", "replace") gives it.
TEST(Utf8Test, ReplacesEachMaximalIllFormedSubsequence) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string bytes;
    std::string replaced;
  } cases[] = {
      {"", ""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"a\x80z", "a" + r + "z"},
      {"\xFF\xFE", r + r},
      {"\xF0\x9F\x98", r},                     // a truncated sequence is one subsequence
      {"\xE2\x82" "A", r + "A"},
      {"\xF0\x9F\xC3\xA9", r + "\xC3\xA9"},
      {"\xC3\xA9\xA9", "\xC3\xA9" + r},
      {"\xE0\x80\x80", r + r + r},             // overlong: the lead alone is ill-formed
      {"\xED\xA0\x80", r + r + r},             // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},     // above U+10FFFF
  };
  for (const auto& c : cases) {
    const std::string replaced = ReplaceInvalidUtf8(c.bytes);
    EXPECT_EQ(replaced, c.replaced) << c.bytes;
    EXPECT_TRUE(IsValidUtf8(replaced)) << c.bytes;
  }
}

}  // namespace
}  // namespace corvantine::util
