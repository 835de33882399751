#include "util/json.h"

#include <string>

#include <gtest/gtest.h>

namespace corvantine::util::json {
namespace {

using nlohmann::json;

std::string Compact(const json& value) {
  std::string out;
  WriteCompact(value, &out);
  return out;
}

// Validate and Parse must agree: the same message, or both succeed.
TEST(JsonParse, SyntaxErrorsMatchTheReferenceMessages) {
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n ", "EOF while parsing a value at line 2 column 1"},
      {"[1,2", "EOF while parsing a list at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"[1,2]x", "trailing characters at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\"}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[,]", "expected value at line 1 column 2"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"[\n  1,\n  x]", "expected value at line 3 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1e400]", "number out of range at line 1 column 7"},
      {"0.1e310", "number out of range at line 1 column 7"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 7"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                   "column 3"},
      {"[\"\xC3\"]", "invalid unicode code point at line 1 column 4"},
      {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 5"},
      // The same faults after runs of plain text long enough to be skipped
      // word by word.
      {"\"abcdefghijklmnop\tq\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 18"},
      {"\"abcdefghijklmnop\\x\"", "invalid escape at line 1 column 19"},
      {"\"abcdefghijklmnopqrstu", "EOF while parsing a string at line 1 column 22"},
      {"\"abcdefghijklmno\xC3\"", "invalid unicode code point at line 1 column 18"},
      {"\"\xC3" "abcdefghijklmnop\"", "invalid unicode code point at line 1 column 19"},
      {"\"\xC3\xA9" "abcdefghijklmn\xED\xA0\x80\"",
       "invalid unicode code point at line 1 column 21"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Result<> validated = Validate(c.text);
    ASSERT_FALSE(validated.ok());
    EXPECT_EQ(validated.error().message, c.message);
    const Result<json> parsed = Parse(c.text);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().message, c.message);
  }
}

TEST(JsonParse, NestingStopsAtTheRecursionLimit) {
  const auto nested = [](int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_TRUE(Validate(nested(128)).ok());
  EXPECT_TRUE(Parse(nested(128)).ok());
  EXPECT_EQ(Validate(nested(129)).error().message,
            "recursion limit exceeded at line 1 column 129");
  std::string objects;
  for (int i = 0; i < 129; ++i) objects += "{\"a\":";
  EXPECT_EQ(Parse(objects).error().message, "recursion limit exceeded at line 1 column 641");
}

TEST(JsonParse, NumbersKeepTheirKinds) {
  struct Case {
    const char* text;
    json::value_t type;
    const char* printed;
  };
  const Case cases[] = {
      {"0", json::value_t::number_unsigned, "0"},
      {"-0", json::value_t::number_unsigned, "0"},
      {"18446744073709551615", json::value_t::number_unsigned, "18446744073709551615"},
      {"18446744073709551616", json::value_t::number_float, "1.8446744073709552e19"},
      {"-9223372036854775808", json::value_t::number_integer, "-9223372036854775808"},
      {"-9223372036854775809", json::value_t::number_float, "-9.223372036854776e18"},
      {"1.0", json::value_t::number_float, "1.0"},
      {"-0.0", json::value_t::number_float, "-0.0"},
      {"1E2", json::value_t::number_float, "100.0"},
      {"1e-400", json::value_t::number_float, "0.0"},
      {"0.001e309", json::value_t::number_float, "1e306"},
      {"-5e-99999999999", json::value_t::number_float, "-0.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Result<json> parsed = Parse(c.text);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    EXPECT_EQ(parsed->type(), c.type);
    EXPECT_EQ(Compact(*parsed), c.printed);
  }
}

TEST(JsonParse, StringsAreDecodedAndTheLastDuplicateKeyWins) {
  const Result<json> parsed =
      Parse(" {\"b\": \"\\u00e9\\n\\uD83D\\uDE00\\/\", \"a\": [true, null], \"b\": \"x\"} ");
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  EXPECT_EQ(Compact(*parsed), "{\"a\":[true,null],\"b\":\"x\"}");
  EXPECT_EQ(Parse("\"\\u00e9\\n\\uD83D\\uDE00\\/\"")->get<std::string>(),
            "\xC3\xA9\n\xF0\x9F\x98\x80/");
  EXPECT_EQ(Parse("\"0123456789abcdef\\n\xC3\xA9 0123456789abcdef\\\"\"")->get<std::string>(),
            "0123456789abcdef\n\xC3\xA9 0123456789abcdef\"");
}

TEST(JsonParse, CompactTextReparsesToTheSameValue) {
  const char* texts[] = {
      "{\"z\":[1,-2,3.5,1e300,\"\\u0001\\\"\"],\"a\":{\"\":null,\"k\":false}}",
      "[0.1,1e16,5e-324,-0.0,18446744073709551615,-9223372036854775808]",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const Result<json> first = Parse(text);
    ASSERT_TRUE(first.ok());
    const std::string printed = Compact(*first);
    const Result<json> second = Parse(printed);
    ASSERT_TRUE(second.ok()) << printed;
    EXPECT_TRUE(KindEqual(*first, *second));
    EXPECT_EQ(Compact(*second), printed);
  }
}

TEST(JsonKindEqual, NumberKindsNeverMeet) {
  struct Case {
    json a;
    json b;
    bool equal;
  };
  const Case cases[] = {
      {json(1), json(1u), true},
      {json(int64_t{0}), json(uint64_t{0}), true},
      {json(1), json(1.0), false},
      {json(-1), json(-1.0), false},
      {json(-1), json(-1), true},
      {json(0.0), json(-0.0), true},
      {json(1.5), json(1.5), true},
      {json("1"), json(1), false},
      {json::array({1, 2}), json::array({1u, 2u}), true},
      {json::array({1, 2}), json::array({1, 2.0}), false},
      {json::array({1, 2}), json::array({1}), false},
      {json::object({{"a", 1}}), json::object({{"a", 1u}}), true},
      {json::object({{"a", 1}}), json::object({{"a", 1.0}}), false},
      {json::object({{"a", 1}}), json::object({{"b", 1}}), false},
      {json(nullptr), json::object(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a.dump() + " vs " + c.b.dump());
    EXPECT_EQ(KindEqual(c.a, c.b), c.equal);
    EXPECT_EQ(KindEqual(c.b, c.a), c.equal);
  }
}

}  // namespace
}  // namespace corvantine::util::json
