#include "util/json_writer.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "util/json.h"

namespace corvantine::util::json {
namespace {

TEST(JsonWriter, FloatsTakeTheShortestRoundTripForm) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {0.1, "0.1"},
      {-1.5, "-1.5"},
      {12.34, "12.34"},
      {0.001234, "0.001234"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {1e-7, "1e-7"},
      {1.5e-7, "1.5e-7"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {1.5e16, "1.5e16"},
      {123456789012345680.0, "1.2345678901234568e17"},
      {1234567890123456.7, "1234567890123456.8"},
      {1.5e300, "1.5e300"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::nan(""), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendDouble(c.value, &out);
    EXPECT_EQ(out, c.text);
  }
}

TEST(JsonWriter, StringsEscapeOnlyQuotesBackslashesAndControls) {
  struct Case {
    std::string value;
    const char* text;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"\x7f\xC3\xA9\xF0\x9F\x98\x80", "\"\x7f\xC3\xA9\xF0\x9F\x98\x80\""},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendString(c.value, &out);
    EXPECT_EQ(out, c.text);
  }
}

// A document written field by field keeps the declared order.
void WriteSample(Writer& writer) {
  writer.BeginObject();
  writer.Key("format_version");
  writer.Uint(3);
  writer.Key("id");
  writer.BeginArray();
  writer.Uint(0);
  writer.Uint(255);
  writer.EndArray();
  writer.Key("anchor");
  writer.Null();
  writer.Key("empty");
  writer.BeginArray();
  writer.EndArray();
  writer.Key("nested");
  writer.BeginObject();
  writer.Key("neg");
  writer.Int(-7);
  writer.Key("none");
  writer.BeginObject();
  writer.EndObject();
  writer.EndObject();
  writer.Key("name");
  writer.String("a\"b");
  writer.Key("flag");
  writer.Bool(true);
  writer.Key("ratio");
  writer.Double(2.0);
  writer.EndObject();
}

TEST(JsonWriter, CompactKeepsDeclaredOrder) {
  std::string out;
  Writer writer(&out);
  WriteSample(writer);
  EXPECT_EQ(out,
            "{\"format_version\":3,\"id\":[0,255],\"anchor\":null,\"empty\":[],"
            "\"nested\":{\"neg\":-7,\"none\":{}},\"name\":\"a\\\"b\",\"flag\":true,"
            "\"ratio\":2.0}");
}

TEST(JsonWriter, PrettyIndentsByTwoBlanks) {
  std::string out;
  Writer writer(&out, Writer::Style::kPretty);
  WriteSample(writer);
  EXPECT_EQ(out,
            "{\n"
            "  \"format_version\": 3,\n"
            "  \"id\": [\n"
            "    0,\n"
            "    255\n"
            "  ],\n"
            "  \"anchor\": null,\n"
            "  \"empty\": [],\n"
            "  \"nested\": {\n"
            "    \"neg\": -7,\n"
            "    \"none\": {}\n"
            "  },\n"
            "  \"name\": \"a\\\"b\",\n"
            "  \"flag\": true,\n"
            "  \"ratio\": 2.0\n"
            "}");
}

TEST(JsonWriter, ValuesPrintTheirObjectsInKeyOrder) {
  const nlohmann::json value = {{"b", {1, -1, 1.5}}, {"a", nullptr}, {"\xC3\xA9", "x"}};
  std::string compact;
  WriteCompact(value, &compact);
  EXPECT_EQ(compact, "{\"a\":null,\"b\":[1,-1,1.5],\"\xC3\xA9\":\"x\"}");
  std::string pretty;
  WritePretty(nlohmann::json::array({nlohmann::json::object(), 1}), &pretty);
  EXPECT_EQ(pretty, "[\n  {},\n  1\n]");
  std::string scalar;
  WritePretty(5, &scalar);
  EXPECT_EQ(scalar, "5");
}

}  // namespace
}  // namespace corvantine::util::json
