#include "util/json_struct.h"

#include <string>

#include <gtest/gtest.h>

namespace corvantine::util::json {
namespace {

struct Sample {
  bool flag = false;
  int64_t delta = 0;
  std::optional<uint32_t> count;
  std::vector<std::string> names;
  std::map<std::string, uint8_t> levels;
  std::string blob;

  friend bool operator==(const Sample&, const Sample&) = default;
};

constexpr Member<Sample> kSampleFields[] = {
    Bind<&Sample::flag>("flag"),
    Bind<&Sample::delta>("delta"),
    Bind<&Sample::count>("count", Presence::kOptional),
    Bind<&Sample::names>("names"),
    Bind<&Sample::levels>("levels"),
    BindBytes<&Sample::blob>("blob"),
};

TEST(JsonStruct, EveryFieldKindWritesInTableOrderAndReadsBack) {
  struct Case {
    Sample sample;
    const char* text;
  };
  const Case cases[] = {
      {{}, R"({"flag":false,"delta":0,"count":null,"names":[],"levels":{},"blob":[]})"},
      {{true, -7, 3, {"a", "b"}, {{"y", 2}, {"x", 1}}, std::string("\0\xff", 2)},
       R"({"flag":true,"delta":-7,"count":3,"names":["a","b"],"levels":{"x":1,"y":2},)"
       R"("blob":[0,255]})"},
  };
  for (const Case& c : cases) {
    std::string text;
    Writer writer(&text);
    WriteStruct(writer, c.sample, kSampleFields);
    EXPECT_EQ(text, c.text);
    Sample read;
    read.count = 9;  // a null reads as absent
    ASSERT_TRUE(ReadDocument(text, [&read](Reader& reader) {
                  return ReadStruct(reader, "Sample", kSampleFields, &read);
                }).ok());
    EXPECT_EQ(read, c.sample) << c.text;
  }
}

}  // namespace
}  // namespace corvantine::util::json
