#include "stream/stream.h"

#include <string>

#include <gtest/gtest.h>

namespace corvantine::stream {
namespace {

template <typename T>
std::string ErrorOf(const Result<T>& result) {
  return result.ok() ? "" : result.error().ToString();
}

TEST(NameValidationTest, ChecksInOrder) {
  std::string long_with_nul(2000, 'n');
  long_with_nul[7] = '\0';
  const std::string limit = "resource limit exceeded: stream name bytes is ";
  const std::pair<std::string, std::string> names[] = {
      {std::string(1024, 'a'), ""},
      {"é", ""},
      {"", "invalid argument: stream name must not be empty"},
      {std::string(1025, 'a'), limit + "1025, maximum is 1024"},
      {long_with_nul, limit + "2000, maximum is 1024"},  // the length before the NUL
      {std::string("a\0b", 3), "invalid argument: stream name must not contain NUL"},
      {"\xff", "invalid argument: stream name must be valid UTF-8"},
  };
  for (const auto& [input, error] : names) {
    EXPECT_EQ(ErrorOf(StreamName::New(input)), error) << input.size() << " bytes";
  }
  const std::pair<std::string, std::string> keys[] = {
      {std::string("\0\xff", 2), ""},
      {std::string(1024, 'k'), ""},
      {"", "invalid argument: idempotency key must not be empty"},
      {std::string(1025, 'k'),
       "resource limit exceeded: idempotency key bytes is 1025, maximum is 1024"},
  };
  for (const auto& [input, error] : keys) {
    EXPECT_EQ(ErrorOf(IdempotencyKey::New(input)), error) << input.size() << " bytes";
  }
}

// Request digests and conflict messages contain these texts.
TEST(DebugTextTest, IsFixed) {
  EXPECT_EQ(ExpectedRevision().DebugString(), "Any");
  EXPECT_EQ(ExpectedRevision::NoStream().DebugString(), "NoStream");
  EXPECT_EQ(ExpectedRevision::Exact({7}).DebugString(), "Exact(StreamRevision(7))");
  EXPECT_EQ(ExpectedRevision::Exact({UINT64_MAX}).DebugString(),
            "Exact(StreamRevision(18446744073709551615))");
  EXPECT_EQ(OptionalRevisionDebugString(std::nullopt), "None");
  EXPECT_EQ(OptionalRevisionDebugString(6), "Some(StreamRevision(6))");
  EXPECT_EQ(ReceiptDurabilityName(ReceiptDurability::kBuffered), "buffered");
  EXPECT_EQ(ReceiptDurabilityName(ReceiptDurability::kFlushed), "flushed");
  EXPECT_EQ(ReceiptDurabilityName(ReceiptDurability::kSynced), "synced");
}

TEST(ExpectedRevisionTest, IsMetBy) {
  const std::optional<uint64_t> none;
  EXPECT_TRUE(ExpectedRevision::Any().IsMetBy(none));
  EXPECT_TRUE(ExpectedRevision::Any().IsMetBy(3));
  EXPECT_TRUE(ExpectedRevision::NoStream().IsMetBy(none));
  EXPECT_FALSE(ExpectedRevision::NoStream().IsMetBy(0));
  EXPECT_FALSE(ExpectedRevision::Exact({0}).IsMetBy(none));
  EXPECT_TRUE(ExpectedRevision::Exact({0}).IsMetBy(0));
  EXPECT_FALSE(ExpectedRevision::Exact({7}).IsMetBy(6));
}

}  // namespace
}  // namespace corvantine::stream
