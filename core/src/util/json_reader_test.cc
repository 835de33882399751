#include "util/json_reader.h"

#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "util/json.h"

namespace corvantine::util::json {
namespace {

struct Checkpoint {
  std::string consumer_id;
  uint64_t position = 0;
};

Result<Checkpoint> ReadCheckpoint(std::string_view text) {
  Checkpoint c;
  const Field fields[] = {
      {"consumer_id", Presence::kRequired, Into(&c.consumer_id)},
      {"position", Presence::kRequired, Into(&c.position)},
  };
  CVN_TRY(ReadDocument(text, [&](Reader& r) { return r.ReadStruct("ConsumerCheckpoint", fields); }));
  return c;
}

std::string Outcome(const Result<Checkpoint>& c) {
  if (!c.ok()) return c.error().message;
  return c->consumer_id + "@" + std::to_string(c->position);
}

TEST(JsonStructReader, CheckpointAcceptsBothFormsAndReportsWhereTheTextIsWrong) {
  struct Case {
    std::string text;
    std::string outcome;
  };
  const Case cases[] = {
      {"{\"position\":5,\"consumer_id\":\"a\"}", "a@5"},
      {"[\"a\",5]", "a@5"},
      {" {\"consumer_id\" : \"\\u0041\",\n \"position\": 18446744073709551615 } ",
       "A@18446744073709551615"},
      // Unknown members are skipped with the looser rules: no range,
      // UTF-8 or nesting checks, and its own wording for a trailing comma.
      {"{\"consumer_id\":\"a\",\"skip\":{\"x\":[1e400,\"\xff\",[[{}]]]},\"position\":5}", "a@5"},
      {"{\"consumer_id\":\"a\",\"x\":" + std::string(300, '[') + std::string(300, ']') +
           ",\"position\":5}",
       "a@5"},
      {"{\"consumer_id\":\"a\",\"x\":[1,],\"position\":1}", "expected value at line 1 column 27"},
      {"{\"consumer_id\":\"a\",\"consumer_id\" :\"b\"}",
       "duplicate field `consumer_id` at line 1 column 33"},
      {"{}", "missing field `consumer_id` at line 1 column 2"},
      {"{\"consumer_id\":\"a\"}", "missing field `position` at line 1 column 19"},
      {"{\n  \"consumer_id\": \"a\"\n}", "missing field `position` at line 3 column 1"},
      {"[\"a\"]",
       "invalid length 1, expected struct ConsumerCheckpoint with 2 elements at line 1 column 5"},
      {"[\"a\",5,6]", "trailing characters at line 1 column 8"},
      {"5", "invalid type: integer `5`, expected struct ConsumerCheckpoint at line 1 column 1"},
      {"\"x\\n\"",
       "invalid type: string \"x\\n\", expected struct ConsumerCheckpoint at line 1 column 5"},
      {"null", "invalid type: null, expected struct ConsumerCheckpoint at line 1 column 4"},
      {"{\"consumer_id\":\"a\",\"position\":-1}",
       "invalid value: integer `-1`, expected u64 at line 1 column 32"},
      {"{\"consumer_id\":\"a\",\"position\":1.5}",
       "invalid type: floating point `1.5`, expected u64 at line 1 column 33"},
      {"{\"consumer_id\":\"a\",\"position\":1e20}",
       "invalid type: floating point `1e20`, expected u64 at line 1 column 34"},
      {"{\"consumer_id\":\"a\",\"position\":[1]}",
       "invalid type: sequence, expected u64 at line 1 column 30"},
      {"{\"consumer_id\":5,\"position\":1}",
       "invalid type: integer `5`, expected a string at line 1 column 16"},
      {"{\"consumer_id\":true}", "invalid type: boolean `true`, expected a string at line 1 column 19"},
      {"{\"consumer_id\":\"a\",}", "trailing comma at line 1 column 20"},
      {"{\"consumer_id\":\"a\" \"position\":1}", "expected `,` or `}` at line 1 column 20"},
      {"{\"consumer_id\":\"a\",\"position\":1} x", "trailing characters at line 1 column 34"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Outcome(ReadCheckpoint(c.text)), c.outcome);
  }
}

struct Inner {
  bool flag = false;
  int64_t delta = 0;
};

Result<> ReadInner(Reader& reader, Inner* inner) {
  const Field fields[] = {
      {"flag", Presence::kRequired, Into(&inner->flag)},
      {"delta", Presence::kDefault, Into(&inner->delta)},
  };
  return reader.ReadStruct("Inner", fields);
}

struct Record {
  uint32_t version = 0;
  std::array<uint8_t, 16> id{};
  std::optional<uint32_t> checksum;
  std::map<std::string, std::vector<uint8_t>> metadata;
  Inner inner;
  uint16_t small = 7;
};

Result<Record> ReadRecord(std::string_view text) {
  Record r;
  const Field fields[] = {
      {"version", Presence::kRequired, Into(&r.version)},
      {"id", Presence::kOptional, Into(&r.id)},
      {"checksum", Presence::kOptional, Into(&r.checksum)},
      {"metadata", Presence::kOptional, Into(&r.metadata)},
      {"inner", Presence::kDefault, [&](Reader& reader) { return ReadInner(reader, &r.inner); }},
      {"small", Presence::kDefault, Into(&r.small)},
  };
  CVN_TRY(ReadDocument(text, [&](Reader& reader) { return reader.ReadStruct("Record", fields); }));
  return r;
}

const std::string kId = "[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,255]";

TEST(JsonStructReader, TypedFieldsFollowTheirTypesRules) {
  const Result<Record> minimal = ReadRecord("{\"version\":1}");
  ASSERT_TRUE(minimal.ok()) << minimal.error().message;
  EXPECT_EQ(minimal->id, (std::array<uint8_t, 16>{}));
  EXPECT_FALSE(minimal->checksum.has_value());
  EXPECT_EQ(minimal->small, 7);

  const Result<Record> full = ReadRecord(
      "{\"small\":65535,\"checksum\":9,\"id\":" + kId +
      ",\"metadata\":{\"k\":[1,2],\"j\":[],\"k\":[3]},\"inner\":[true,-3],\"version\":4294967295}");
  ASSERT_TRUE(full.ok()) << full.error().message;
  EXPECT_EQ(full->version, 4294967295u);
  EXPECT_EQ(full->id[15], 255);
  EXPECT_EQ(full->checksum, 9u);
  const std::map<std::string, std::vector<uint8_t>> metadata = {{"j", {}}, {"k", {3}}};
  EXPECT_EQ(full->metadata, metadata);
  EXPECT_TRUE(full->inner.flag);
  EXPECT_EQ(full->inner.delta, -3);
  EXPECT_EQ(full->small, 65535);

  // Null means absent for an optional field, in either form.
  EXPECT_FALSE(ReadRecord("{\"version\":1,\"checksum\":null}")->checksum.has_value());
  EXPECT_FALSE(ReadRecord("[1," + kId + ",null,{}]")->checksum.has_value());
}

TEST(JsonStructReader, TypedFieldErrors) {
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"{\"version\":4294967296}",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 21"},
      {"{\"version\":1,\"small\":65536}",
       "invalid value: integer `65536`, expected u16 at line 1 column 26"},
      {"{\"version\":1,\"id\":[1,2]}",
       "invalid length 2, expected an array of length 16 at line 1 column 23"},
      {"{\"version\":1,\"id\":[256]}", "invalid value: integer `256`, expected u8 at line 1 column 22"},
      {"{\"version\":1,\"id\":[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]}",
       "trailing characters at line 1 column 58"},
      {"{\"version\":1,\"id\":\"x\"}",
       "invalid type: string \"x\", expected an array of length 16 at line 1 column 21"},
      {"{\"version\":1,\"metadata\":[]}", "invalid type: sequence, expected a map at line 1 column 24"},
      {"{\"version\":1,\"metadata\":{\"k\":[-1]}}",
       "invalid value: integer `-1`, expected u8 at line 1 column 32"},
      {"{\"version\":1,\"metadata\":{\"k\":{}}}",
       "invalid type: map, expected a sequence at line 1 column 29"},
      {"{\"version\":1,\"inner\":{\"delta\":1}}", "missing field `flag` at line 1 column 32"},
      {"{\"version\":1,\"inner\":{\"flag\":1}}",
       "invalid type: integer `1`, expected a boolean at line 1 column 30"},
      {"{\"version\":1,\"inner\":[]}",
       "invalid length 0, expected struct Inner with 2 elements at line 1 column 23"},
      {"{\"version\":1,\"inner\":[true,9223372036854775808]}",
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 46"},
      {"[1]", "invalid length 1, expected struct Record with 6 elements at line 1 column 3"},
      {"{\"version\":1,\"checksum\":nul}", "expected ident at line 1 column 28"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Result<Record> record = ReadRecord(c.text);
    ASSERT_FALSE(record.ok());
    EXPECT_EQ(record.error().message, c.message);
  }
}

// A caller's own error gets the position where the enclosing struct read
// stops: after the closing brace, or before the comma that would continue.
TEST(JsonStructReader, CustomErrorsArePlacedByTheEnclosingRead) {
  const auto read = [](std::string_view text) {
    uint64_t position = 0;
    const Field fields[] = {
        {"position", Presence::kRequired,
         [&](Reader& r) -> Result<> {
           CVN_TRY(ReadInto(r, &position));
           if (position == 0) return Error::Custom("position must not be zero");
           return {};
         }},
        {"name", Presence::kOptional, [](Reader& r) { return r.IgnoreValue(); }},
    };
    return ReadDocument(text, [&](Reader& r) { return r.ReadStruct("Cursor", fields); });
  };
  EXPECT_EQ(read("{\"position\":0 }").error().message,
            "position must not be zero at line 1 column 15");
  EXPECT_EQ(read("{\"position\":0,\"name\":1}").error().message,
            "position must not be zero at line 1 column 13");
  EXPECT_TRUE(read("{\"position\":2,\"name\":1}").ok());
}

TEST(JsonReader, UnitVariantsByName) {
  const std::string_view two[] = {"Active", "Archived"};
  const std::string_view three[] = {"A", "B", "C"};
  struct Case {
    std::string text;
    std::span<const std::string_view> names;
    std::string outcome;
  };
  const Case cases[] = {
      {"\"Active\"", two, "0"},
      {" {\"Archived\" : null } ", two, "1"},
      {"\"Gone\"", two, "unknown variant `Gone`, expected `Active` or `Archived` at line 1 column 6"},
      {"\"D\"", three, "unknown variant `D`, expected one of `A`, `B`, `C` at line 1 column 3"},
      {"5", two, "expected value at line 1 column 1"},
      {"{\"Archived\":1}", two, "invalid type: integer `1`, expected unit at line 1 column 13"},
      {"{\"Archived\":null,}", two, "expected value at line 1 column 16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    size_t variant = 0;
    const Result<> read = ReadDocument(c.text, [&](Reader& r) -> Result<> {
      CVN_ASSIGN_OR_RETURN(variant, r.ReadVariant(c.names));
      return {};
    });
    EXPECT_EQ(read.ok() ? std::to_string(variant) : read.error().message, c.outcome);
  }
}


// Rebuilds a value through the piecewise reads, as a builder of another
// language's objects does.
Result<> Pull(Reader& reader, nlohmann::json* out) {
  CVN_ASSIGN_OR_RETURN(const Reader::Kind kind, reader.PeekKind());
  switch (kind) {
    case Reader::Kind::kNull:
      CVN_TRY(reader.TakeNull());
      *out = nullptr;
      return {};
    case Reader::Kind::kBool: {
      CVN_ASSIGN_OR_RETURN(const bool value, reader.ReadBool());
      *out = value;
      return {};
    }
    case Reader::Kind::kNumber: {
      Number number;
      CVN_TRY(reader.ReadNumber(&number));
      if (number.kind == Number::Kind::kUnsigned) *out = number.u64;
      if (number.kind == Number::Kind::kNegative) *out = number.i64;
      if (number.kind == Number::Kind::kFloat) *out = number.f64;
      return {};
    }
    case Reader::Kind::kString: {
      std::string_view text;
      CVN_TRY(reader.ReadStringView(&text));
      *out = std::string(text);
      return {};
    }
    case Reader::Kind::kArray:
      CVN_TRY(reader.BeginArray());
      *out = nlohmann::json::array();
      for (;;) {
        CVN_ASSIGN_OR_RETURN(const bool more, reader.NextElement());
        if (!more) return {};
        CVN_TRY(Pull(reader, &out->emplace_back()));
      }
    case Reader::Kind::kObject:
      CVN_TRY(reader.BeginObject());
      *out = nlohmann::json::object();
      for (;;) {
        std::string_view key;
        CVN_ASSIGN_OR_RETURN(const bool more, reader.NextKey(&key));
        if (!more) return {};
        nlohmann::json& slot = (*out)[std::string(key)];
        CVN_TRY(reader.ReadColon());
        CVN_TRY(Pull(reader, &slot));
      }
  }
  return {};
}

Result<nlohmann::json> PullDocument(std::string_view text) {
  Reader reader(text);
  nlohmann::json value;
  CVN_TRY(Pull(reader, &value));
  CVN_TRY(reader.Finish());
  return value;
}

std::string Nested(int depth, std::string_view inner = "") {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

// The piecewise reads accept what Parse accepts, build the same value, and
// fail where Validate fails with the same message.
TEST(JsonPullReader, AgreesWithParseAndValidate) {
  const std::string valid[] = {
      "null", " true ", "false", "0", "-0", "-9223372036854775808", "18446744073709551616",
      "1e-400", "\"\\u00e9\\n\\uD83D\\uDE00\"", "[]", "{}", "[1, [2, [3]], {\"k\": [null]}]",
      " {\"b\" : 1 , \"a\":{\"y\":[],\"x\":{}}, \"b\": \"last\"}\n",
      Nested(128), "[" + Nested(127) + "," + Nested(126, "{}") + "]",
  };
  for (const std::string& text : valid) {
    SCOPED_TRACE(text);
    const Result<nlohmann::json> pulled = PullDocument(text);
    ASSERT_TRUE(pulled.ok()) << pulled.error().message;
    EXPECT_TRUE(KindEqual(*pulled, *Parse(text)));
  }
  std::string objects;
  for (int i = 0; i < 129; ++i) objects += "{\"a\":";
  const std::string invalid[] = {
      "", "[1,]", "{\"a\":1,}", "[1 2]", "{\"a\":1 \"b\":2}", "{\"a\" 1}", "{1:2}", "[,]",
      "[1", "{\"a\":1", "{\"a\"", "nul", "tru", "-", "01", "1.", "[1e400]", "\"\\x\"",
      "\"\\uD800\"", "\"a\tb\"", "{\"\xC3\":1}", "[\"\xFF\"]", "[1] x", Nested(129), objects,
  };
  for (const std::string& text : invalid) {
    SCOPED_TRACE(text);
    const Result<nlohmann::json> pulled = PullDocument(text);
    ASSERT_FALSE(pulled.ok());
    EXPECT_EQ(pulled.error().message, Validate(text).error().message);
  }
}

TEST(JsonPullReader, NumbersCarryTheirKindValueAndText) {
  struct Case {
    const char* text;
    Number::Kind kind;
    double value;  // of whichever field the kind selects
  };
  const Case cases[] = {
      {"7", Number::Kind::kUnsigned, 7},
      {"-0", Number::Kind::kUnsigned, 0},
      {"18446744073709551615", Number::Kind::kUnsigned, 18446744073709551615.0},
      {"-9223372036854775808", Number::Kind::kNegative, -9223372036854775808.0},
      {"-9223372036854775809", Number::Kind::kFloat, -9223372036854775809.0},
      {"-0.0", Number::Kind::kFloat, -0.0},
      {"2.5e-1", Number::Kind::kFloat, 0.25},
      {"-1e-400", Number::Kind::kFloat, -0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Reader reader(c.text);
    Number number;
    ASSERT_TRUE(reader.ReadNumber(&number).ok());
    EXPECT_EQ(number.kind, c.kind);
    EXPECT_EQ(number.text, c.text);
    const double value = number.kind == Number::Kind::kUnsigned   ? static_cast<double>(number.u64)
                         : number.kind == Number::Kind::kNegative ? static_cast<double>(number.i64)
                                                                  : number.f64;
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(std::signbit(value), std::signbit(c.value));
  }
  Number number;
  Reader out_of_range(" 1e400");
  EXPECT_EQ(out_of_range.ReadNumber(&number).error().message,
            "number out of range at line 1 column 6");
  Reader string("\"5\"");
  EXPECT_EQ(string.ReadNumber(&number).error().message,
            "invalid type: string \"5\", expected a number at line 1 column 3");
}

TEST(JsonPullReader, KindsStringsAndContainersByTheirFirstByte) {
  const std::pair<const char*, Reader::Kind> kinds[] = {
      {" null", Reader::Kind::kNull},     {"\tfalse", Reader::Kind::kBool},
      {"-1", Reader::Kind::kNumber},      {"\"\"", Reader::Kind::kString},
      {"\n[]", Reader::Kind::kArray},     {"{}", Reader::Kind::kObject},
  };
  for (const auto& [text, kind] : kinds) {
    Reader reader(text);
    EXPECT_EQ(*reader.PeekKind(), kind) << text;
    EXPECT_EQ(*reader.PeekKind(), kind) << text;  // peeking consumes no value
  }
  EXPECT_EQ(Reader(" ").PeekKind().error().message, "EOF while parsing a value at line 1 column 1");
  EXPECT_EQ(Reader("x").PeekKind().error().message, "expected value at line 1 column 1");

  // A string without escapes is a view of the input itself.
  const std::string text = "[\"plain\",\"esc\\taped\"]";
  Reader reader(text);
  std::string_view plain;
  std::string_view escaped;
  ASSERT_TRUE(reader.BeginArray().ok());
  ASSERT_TRUE(*reader.NextElement());
  ASSERT_TRUE(reader.ReadStringView(&plain).ok());
  EXPECT_EQ(plain.data(), text.data() + 2);
  ASSERT_TRUE(*reader.NextElement());
  ASSERT_TRUE(reader.ReadStringView(&escaped).ok());
  EXPECT_EQ(escaped, "esc\taped");
  EXPECT_FALSE(*reader.NextElement());
  EXPECT_TRUE(reader.Finish().ok());

  EXPECT_EQ(Reader("{}").BeginArray().error().message,
            "invalid type: map, expected a sequence at line 1 column 0");
  EXPECT_EQ(Reader("[]").BeginObject().error().message,
            "invalid type: sequence, expected a map at line 1 column 0");
  std::string_view view;
  EXPECT_EQ(Reader("true").ReadStringView(&view).error().message,
            "invalid type: boolean `true`, expected a string at line 1 column 4");
}

}  // namespace
}  // namespace corvantine::util::json

namespace corvantine::util::json {
namespace {

// The bytes of a sequence, or the error, read element by element, with or
// without the fast path first.
std::string ReadBytes(std::string_view text, bool fast) {
  std::string bytes;
  Result<> read = ReadDocument(text, [&](Reader& reader) {
    return reader.ReadSeq("a sequence", [&](Reader& r) -> Result<> {
      for (;;) {
        if (fast) r.TakePlainBytes(&bytes);
        CVN_ASSIGN_OR_RETURN(const bool more, r.NextElement());
        if (!more) return {};
        CVN_ASSIGN_OR_RETURN(const uint8_t byte, r.ReadU8());
        bytes.push_back(static_cast<char>(byte));
      }
    });
  });
  return read.ok() ? "ok " + bytes : read.error().message;
}

TEST(JsonReader, PlainBytesReadExactlyAsElementByElement) {
  for (const std::string_view text :
       {"[]", "[0]", "[0,1,9,10,99,100,255]", "[ 1 , 2 ]", "[1,2 ]", "[1,256]", "[1,2555]",
        "[01]", "[1,-1]", "[1,1.5]", "[1,1e2]", "[1,]", "[,1]", "[1", "[1,", "[1 2]",
        "[65,66]x", "[[1]]", "[1,\"a\"]", "[255,0,00]", "[7,0255,3,1,2]",
        "[12,1000,1,2]", "[1,2,300,4,5]", "[9,8,7,1/,2]"}) {
    EXPECT_EQ(ReadBytes(text, true), ReadBytes(text, false)) << text;
  }
  EXPECT_EQ(ReadBytes("[65,66,67]", true), "ok ABC");
  std::string long_run = "[";
  for (int i = 0; i < 1000; ++i) long_run += std::to_string(i * 7 % 256) + ",";
  long_run += "1]";
  EXPECT_EQ(ReadBytes(long_run, true), ReadBytes(long_run, false));
}

}  // namespace
}  // namespace corvantine::util::json
