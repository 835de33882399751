#include "stream/event.h"

#include <string>

#include <gtest/gtest.h>

namespace corvantine::stream {
namespace {

format::EventType Type(std::string text) { return *format::EventType::New(std::move(text)); }

uint32_t Fingerprint(const format::Metadata& metadata, std::string_view payload = "body") {
  return EventFingerprint(Type("order.placed"), 1, metadata, payload);
}

// Each case's pieces spell "123456789", whose CRC-32C is the published
// check value: type, version little-endian, keys in order each followed by
// its value, payload, nothing between them.
TEST(EventFingerprintTest, IsCrc32cOfThePiecesWithoutSeparators) {
  EXPECT_EQ(EventFingerprint(Type("1234"), 0x38373635, {}, "9"), 0xe3069283u);
  EXPECT_EQ(EventFingerprint(Type("1"), 0x35343332, {{"8", ""}, {"6", "7"}}, "9"), 0xe3069283u);
}

TEST(EventFingerprintTest, SystemKeysAreIgnoredAndEverythingElseCounts) {
  const uint32_t base = Fingerprint({{"user", "1"}});
  EXPECT_EQ(Fingerprint({{"user", "1"}, {"corvantine.stream_name", "a"},
                         {"corvantine.request_digest", "xxxx"}}),
            base);
  EXPECT_NE(Fingerprint({{"user", "2"}}), base);
  EXPECT_NE(Fingerprint({{"user", "1"}, {"corvantine", "x"}}), base);  // no dot: a user key
  EXPECT_NE(Fingerprint({{"user", "1"}, {"Corvantine.stream_name", "x"}}), base);
  EXPECT_NE(Fingerprint({{"user", "1"}}, "other body"), base);
  EXPECT_NE(EventFingerprint(Type("order.placed"), 2, {{"user", "1"}}, "body"), base);
}

TEST(EventFingerprintTest, RecordFormMatchesTheParts) {
  format::OwnedStoredRecord record;
  record.envelope.event_type = Type("order.placed");
  record.envelope.schema_version = 1;
  record.envelope.metadata = {{"user", "1"}, {"corvantine.stream_name", "orders"}};
  record.payload = "body";
  EXPECT_EQ(EventFingerprint(record), Fingerprint({{"user", "1"}}));
  EXPECT_EQ(*StreamNameOf(record), "orders");
}

}  // namespace
}  // namespace corvantine::stream
