#include "log/record.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "util/crc32c.h"

namespace corvantine::log::record {
namespace {

using platform::Outcome;

format::RecordEnvelopeV2 Envelope() {
  format::RecordEnvelopeV2 envelope;
  envelope.event_type = *format::EventType::New("order.placed");
  envelope.metadata = {{std::string(format::kStreamNameKey), "orders"}};
  return envelope;
}

std::string ControlPayload(uint32_t count, uint32_t digest) {
  std::string payload(BatchControl::kBytes, '\0');
  EncodeBatchControl({.count = count, .digest = digest}, payload.data());
  return payload;
}

TEST(RecordTest, StandardLimits) {
  EXPECT_EQ(kStandardLimits.max_envelope_bytes, 1'048'576u);
  EXPECT_EQ(kStandardLimits.max_payload_bytes, 16'777'216u);
  EXPECT_EQ(kStandardLimits.max_metadata_value_bytes, 65'536u);
  EXPECT_EQ(kStandardLimits.max_metadata_entries, 256u);
  EXPECT_EQ(kStandardLimits.max_metadata_key_bytes, 1'024u);
  EXPECT_EQ(kStandardLimits.max_event_type_bytes, 1'024u);
}

TEST(RecordTest, EncodeKindAppendsFramesThatDecodeOwned) {
  std::string log;
  ASSERT_TRUE(EncodeKind(format::kBatchOpenFrame, 5, Envelope(), "", &log).ok());
  const size_t first_len = log.size();
  ASSERT_TRUE(EncodeKind(format::kEventFrame, 5, Envelope(), "payload", &log).ok());

  const auto first = DecodeOwned(log);
  ASSERT_TRUE(first.ok() && first->has_value());
  EXPECT_EQ((*first)->kind, format::kBatchOpenFrame);
  EXPECT_EQ((*first)->frame_len, first_len);

  std::string rest = log.substr(first_len);
  const auto second = DecodeOwned(rest);
  rest.assign(rest.size(), 'x');  // the decoded record owns its payload
  ASSERT_TRUE(second.ok() && second->has_value());
  const format::OwnedStoredRecord expected{Envelope(), "payload", 5, format::kEventFrame, 0,
                                           log.size() - first_len};
  EXPECT_EQ(**second, expected);
  EXPECT_EQ(*DecodeOwned(std::string_view(log).substr(0, first_len - 1)), std::nullopt);
}

TEST(RecordTest, EncodeKindFailureLeavesTheOutputUnchanged) {
  std::string log = "earlier frames";
  format::RecordEnvelopeV2 envelope = Envelope();
  envelope.metadata[std::string(1025, 'k')] = "";
  EXPECT_EQ(EncodeKind(format::kEventFrame, 0, envelope, "", &log).error().ToString(),
            "resource limit exceeded: metadata key bytes is 1025, maximum is 1024");
  EXPECT_EQ(EncodeKind(0, 0, Envelope(), "", &log).error().ToString(),
            "invalid format: unknown frame kind 0");
  EXPECT_EQ(log, "earlier frames");
}

TEST(RecordTest, DecodeOwnedAppliesTheStandardLimits) {
  std::string frame;
  format::RecordEnvelopeV2 envelope = Envelope();
  envelope.metadata["k"] = std::string(65'537, 'v');
  const format::FrameLimits loose{1 << 21, 1 << 24, 1 << 17, 256, 1024, 1024};
  ASSERT_TRUE(format::EncodeFrame(format::kEventFrame, 0, 0, envelope, "", loose, &frame).ok());
  EXPECT_EQ(DecodeOwned(frame).error().ToString(),
            "resource limit exceeded: metadata value bytes is 65537, maximum is 65536");
}

TEST(BatchControlTest, ParseBatchControl) {
  auto control = ParseBatchControl(ControlPayload(3, 0xdeadbeef));
  ASSERT_TRUE(control.ok());
  EXPECT_EQ(control->count, 3u);
  EXPECT_EQ(control->digest, 0xdeadbeefu);

  EXPECT_EQ(Outcome(ParseBatchControl(std::string(7, '\1'))),
            "invalid format: batch control payload must be eight bytes");
  EXPECT_EQ(Outcome(ParseBatchControl(std::string(9, '\1'))),
            "invalid format: batch control payload must be eight bytes");
  EXPECT_EQ(Outcome(ParseBatchControl(std::string(8, '\0'))),
            "invalid format: batch control count must be nonzero");
}

TEST(BatchControlTest, EncodesCountThenDigestLittleEndian) {
  EXPECT_EQ(ControlPayload(7, 0x01020304), std::string("\x07\0\0\0\x04\x03\x02\x01", 8));
}

// A tally matches only the commit of exactly the events its open frame
// counted and digested.
TEST(BatchControlTest, TallyMatchesOnlyTheCommitOfItsEvents) {
  const std::string first = "first event frame";
  const std::string second = "second event frame";
  const BatchControl control{.count = 2, .digest = util::crc32c::Value(first + second)};
  auto tally = [&](BatchControl open, const std::vector<std::string>& events) {
    BatchTally counted(open);
    for (const std::string& event : events) counted.AddEvent(event);
    return counted;
  };
  EXPECT_TRUE(tally(control, {first, second}).Matches(control));
  EXPECT_TRUE(tally(control, {first, second}).full());
  EXPECT_FALSE(tally(control, {first}).full());
  EXPECT_FALSE(tally(control, {first}).Matches(control));
  EXPECT_FALSE(tally(control, {first, second, first}).Matches(control));
  EXPECT_FALSE(tally(control, {second, first}).Matches(control));
  EXPECT_FALSE(tally(control, {first, second}).Matches({.count = 3, .digest = control.digest}));
  EXPECT_FALSE(
      tally(control, {first, second}).Matches({.count = 2, .digest = control.digest ^ 1}));
  const BatchControl wrong_digest{.count = 2, .digest = control.digest ^ 1};
  EXPECT_FALSE(tally(wrong_digest, {first, second}).Matches(wrong_digest));
}

}  // namespace
}  // namespace corvantine::log::record
