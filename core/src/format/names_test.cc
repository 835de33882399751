// Event types and metadata keys.
#include <gtest/gtest.h>

#include "format/event_type.h"
#include "format/metadata.h"

namespace corvantine::format {
namespace {

using namespace std::string_literals;

std::string ErrorText(const Result<>& result) {
  return result.ok() ? "ok" : result.error().ToString();
}

std::string ErrorText(const Result<EventType>& result) {
  return result.ok() ? "ok" : result.error().ToString();
}

TEST(EventTypeTest, ValidatesInOrder) {
  const struct {
    std::string text;
    const char* expected;
  } cases[] = {
      {"application.json", "ok"},
      {"x", "ok"},
      {std::string(5000, 't'), "ok"},  // the type sets no length limit
      {" Mixed Case ", "ok"},
      {"caf\xc3\xa9", "ok"},
      {"", "invalid format: event type must not be empty"},
      {"a\0b"s, "invalid format: event type must not contain NUL"},
      {"\0"s, "invalid format: event type must not contain NUL"},
      {"\xff", "invalid format: event type is not UTF-8"},
      {"\xc0\xaf", "invalid format: event type is not UTF-8"},        // overlong
      {"\xed\xa0\x80", "invalid format: event type is not UTF-8"},    // surrogate
      {"\xf4\x90\x80\x80", "invalid format: event type is not UTF-8"},  // above U+10FFFF
      {"\xff\0"s, "invalid format: event type is not UTF-8"},
  };
  for (const auto& c : cases) {
    const Result<EventType> type = EventType::New(c.text);
    EXPECT_EQ(ErrorText(type), c.expected) << c.text;
    if (type.ok()) {
      EXPECT_EQ(type->str(), c.text);
    }
  }
}

TEST(EventTypeTest, DefaultIsTheEngineDefault) {
  EXPECT_EQ(EventType().str(), "application.json");
}

TEST(MetadataKeyTest, ValidatesInOrder) {
  const char* kNotWellFormed = "invalid format: metadata key must be nonempty UTF-8 without NUL";
  const struct {
    std::string key;
    std::string expected;
  } cases[] = {
      {"x", "ok"},
      {"tenant", "ok"},
      {"corvantine", "ok"},
      {"Corvantine.stream_name", "ok"},
      {"corvantine_stream", "ok"},
      {"corvantine.stream_name", "ok"},
      {"corvantine.idempotency_key", "ok"},
      {"corvantine.request_digest", "ok"},
      {"corvantine.batch_count", "ok"},
      {"corvantine.batch_digest", "ok"},
      {"corvantine.v1_offset", "ok"},
      {"corvantine.v1_namespace", "ok"},
      {"", kNotWellFormed},
      {"a\0b"s, kNotWellFormed},
      {"\xfe", kNotWellFormed},
      {"corvantine.\0"s, kNotWellFormed},
      {"corvantine.", "invalid format: unknown reserved metadata key corvantine."},
      {"corvantine.stream_names", "invalid format: unknown reserved metadata key corvantine.stream_names"},
      {"corvantine.other", "invalid format: unknown reserved metadata key corvantine.other"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorText(ValidateMetadataKey(c.key)), c.expected) << c.key;
}

}  // namespace
}  // namespace corvantine::format
