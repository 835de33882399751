#include "facade/engine/records.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace corvantine::facade {
namespace {

using namespace std::string_literals;

TEST(EngineEventTest, StoredForm) {
  EXPECT_EQ(EncodeEngineEvent(EventCodec::kJson, ""), "\x01\0\0\0\0\0\0\0\0\0\0\0"s);
  EXPECT_EQ(EncodeEngineEvent(EventCodec::kBytes, "ab"), "\0\0\0\0\x02\0\0\0\0\0\0\0ab"s);

  const EventData json = EventData::Json("");
  EXPECT_EQ(json.event_type, "application.json");
  EXPECT_EQ(json.schema_version, 1u);
  EXPECT_EQ(json.codec, EventCodec::kJson);
  EXPECT_FALSE(json.event_id.has_value());
}

TEST(EngineEventTest, Decoding) {
  struct Case {
    std::string payload;
    std::string outcome;  // "{codec}:{body}" or the error text
  };
  const Case cases[] = {
      {EncodeEngineEvent(EventCodec::kJson, "[1]"), "1:[1]"},
      {EncodeEngineEvent(EventCodec::kBytes, ""), "0:"},
      {EncodeEngineEvent(EventCodec::kBytes, "xy") + "trailing", "0:xy"},
      {"\x02\0\0\0\0\0\0\0\0\0\0\0"s,
       "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {"\x01\0\0\0\x05\0\0\0\0\0\0\0abcd"s, "io error: unexpected end of file"},
      {"\x01\0\0\0\0\0\0\0\0\0\0"s, "io error: unexpected end of file"},
      {"", "io error: unexpected end of file"},
  };
  for (const Case& c : cases) {
    Result<EngineEvent> event = EngineEvent::Decode(c.payload);
    const std::string outcome =
        event.ok() ? std::to_string(static_cast<uint32_t>(event->codec)) + ":" + event->bytes
                   : event.error().As<error::Codec>()->message;
    EXPECT_EQ(outcome, c.outcome);
  }
}

TEST(RecordDtoTest, TakesTheEnvelopeAndDecodesTheBody) {
  format::OwnedStoredRecord record;
  record.position = 41;
  record.payload = EncodeEngineEvent(EventCodec::kBytes, "body");
  record.envelope.event_type = format::EventType::New("order.placed").value();
  record.envelope.timestamp_unix_nanos = -1'999'999;
  record.envelope.stream_revision.value = 6;
  record.envelope.batch_index = 2;
  record.envelope.schema_version = 3;
  record.envelope.metadata.emplace("corvantine.stream_name", "orders");
  record.envelope.event_id = format::EventId(format::IdBytes{1});
  record.envelope.stream_id = format::StreamId(format::IdBytes{2});

  const EngineResult<RecordDto> dto = MakeRecordDto(record);
  ASSERT_TRUE(dto.ok());
  EXPECT_EQ(dto->event_type, "order.placed");
  EXPECT_EQ(dto->body, "body");
  EXPECT_EQ(dto->codec, EventCodec::kBytes);
  EXPECT_EQ(dto->position, 41u);
  EXPECT_EQ(dto->timestamp, -1'999'999);
  EXPECT_EQ(dto->stream_revision, 6u);
  EXPECT_EQ(dto->batch_index, 2u);
  EXPECT_EQ(dto->schema_version, 3u);
  EXPECT_EQ(dto->metadata.at("corvantine.stream_name"), "orders");
  EXPECT_EQ(dto->stream_name(), "orders");
  EXPECT_EQ(dto->event_id, record.envelope.event_id);
  EXPECT_EQ(dto->stream_id, record.envelope.stream_id);

  record.payload = "\x02\0\0\0"s;
  const EngineResult<RecordDto> bad = MakeRecordDto(record);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().ToString(),
            "codec: invalid value: integer `2`, expected variant index 0 <= i < 2");
  EXPECT_EQ(bad.error().kind(), ErrorKind::kCodec);
}

TEST(RecordDtoTest, NamesAStreamOnlyWhenItsSystemMetadataDoes) {
  RecordDto record;
  record.metadata.emplace("corvantine.stream", "orders");
  EXPECT_EQ(record.stream_name(), std::nullopt);
  record.metadata.emplace("corvantine.stream_name", "");
  EXPECT_EQ(record.stream_name(), "");
}

}  // namespace
}  // namespace corvantine::facade
