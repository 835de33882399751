// The frame and envelope codec.
#include "format/frame.h"

#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "util/coding.h"

namespace corvantine::format {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

constexpr FrameLimits kLimits{1'048'576, 16'777'216, 65'536, 256, 1'024, 1'024};
constexpr FrameLimits kUnlimited{0xffffffff, 0xffffffff, 0xffffffff, 0xffff, 0xffff, 0xffff};
constexpr uint32_t kMiB = 1 << 20;

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

// Written out from the layout tables, not produced by the encoder.
const std::string kGoldenFrame = FromHex(
    "43564e32"          // magic "CVN2"
    "0200"              // frame version 2
    "01"                // kind: event
    "00"                // flags
    "b0000000"          // envelope length 176
    "08000000"          // payload length 8
    "2a00000000000000"  // position 42
    "e40e1737"          // CRC-32C 0x37170ee4
    "00000000"          // reserved
    "0100"                              // envelope version 1
    "000102030405060708090a0b0c0d0e0f"  // event_id
    "101112131415161718191a1b1c1d1e1f"  // database_id
    "00000000000000000000000000000000"  // branch_id: the default branch
    "202122232425262728292a2b2c2d2e2f"  // stream_id
    "0700000000000000"                  // stream_revision 7
    "15cd853dfe9c9717"                  // timestamp 1700000000123456789
    "0c00" "6f726465722e706c61636564"   // "order.placed"
    "03000000"                          // schema_version 3
    "01000080"                          // payload_format 0x80000001
    "303132333435363738393a3b3c3d3e3f"  // batch_id
    "02000000"                          // batch_index 2
    "0200"                              // 2 metadata entries
    "1600" "636f7276616e74696e652e73747265616d5f6e616d65"  // "corvantine.stream_name"
    "06000000" "6f7264657273"                              // "orders"
    "0600" "74656e616e74"                                  // "tenant"
    "04000000" "61636d65"                                  // "acme"
    "7b226964223a317d");                // payload {"id":1}

IdBytes Counting(uint8_t first) {
  IdBytes bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

RecordEnvelopeV2 GoldenEnvelope() {
  RecordEnvelopeV2 envelope;
  envelope.event_id = EventId(Counting(0x00));
  envelope.database_id = DatabaseId(Counting(0x10));
  envelope.stream_id = StreamId(Counting(0x20));
  envelope.stream_revision = StreamRevision{7};
  envelope.timestamp_unix_nanos = 1'700'000'000'123'456'789;
  envelope.event_type = *EventType::New("order.placed");
  envelope.schema_version = 3;
  envelope.payload_format = 0x80000001;
  envelope.batch_id = BatchId(Counting(0x30));
  envelope.batch_index = 2;
  envelope.metadata = {{"tenant", "acme"}, {"corvantine.stream_name", "orders"}};
  return envelope;
}

StoredRecord GoldenRecord() {
  return StoredRecord{GoldenEnvelope(), R"({"id":1})", 42, kEventFrame, 0, 0};
}

std::string Encoded(const StoredRecord& record, const FrameLimits& limits = kLimits) {
  std::string out;
  const Result<> result = Encode(record, limits, &out);
  EXPECT_TRUE(result.ok()) << result.error().ToString();
  return out;
}

template <typename T>
std::string ErrorText(const Result<T>& result) {
  return result.ok() ? "ok" : result.error().ToString();
}

std::string DecodeText(std::string_view bytes) {
  const Result<std::optional<StoredRecord>> result = Decode(bytes, kLimits);
  if (!result.ok()) return result.error().ToString();
  return *result ? "record" : "nothing";
}

void PutU32(std::string& frame, size_t offset, uint32_t value) {
  util::EncodeFixed32(frame.data() + offset, value);
}

// The envelope length written in the frame header.
uint32_t EnvelopeLen(const std::string& frame) { return util::DecodeFixed32(frame.data() + 8); }

TEST(FrameGolden, DecodesAndEncodesTheHandWrittenFrame) {
  ASSERT_EQ(kGoldenFrame.size(), 216u);
  const Result<std::optional<StoredRecord>> decoded = Decode(kGoldenFrame, kLimits);
  ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
  ASSERT_TRUE(decoded->has_value());
  StoredRecord expected = GoldenRecord();
  expected.frame_len = 216;
  EXPECT_EQ(**decoded, expected);
  EXPECT_EQ(FrameCrc(kGoldenFrame), 0x37170ee4u);
  EXPECT_EQ(Encoded(GoldenRecord()), kGoldenFrame);
  EXPECT_EQ(*FrameTotalLen(kGoldenFrame, kLimits), 216u);
}

TEST(FrameRoundTrip, EncodeThenDecodeGivesTheRecordBack) {
  StoredRecord minimal{RecordEnvelopeV2{}, "", 0, kBatchCommitFrame, 0, 0};
  minimal.envelope.event_type = *EventType::New("abc");
  StoredRecord negative_time = GoldenRecord();
  negative_time.envelope.timestamp_unix_nanos = -5;
  negative_time.kind = kSystemRecordFrame;
  negative_time.payload = "\0\xff\x01"sv;
  StoredRecord batch_open = GoldenRecord();
  batch_open.kind = kBatchOpenFrame;
  batch_open.position = ~uint64_t{0};
  for (const StoredRecord& record : {minimal, negative_time, batch_open, GoldenRecord()}) {
    // A following frame in the same buffer is left alone.
    const std::string frame = Encoded(record);
    const std::string buffer = frame + kGoldenFrame;
    const Result<std::optional<StoredRecord>> decoded = Decode(buffer, kLimits);
    ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
    StoredRecord expected = record;
    expected.frame_len = frame.size();
    EXPECT_EQ(**decoded, expected);
    EXPECT_EQ(*FrameTotalLen(buffer, kLimits), frame.size());
  }
  // No metadata and no payload: E = 114 + T, total 146 + T.
  const std::string frame = Encoded(minimal);
  EXPECT_EQ(frame.size(), 146u + 3);
  EXPECT_EQ(EnvelopeLen(frame), 114u + 3);
}

// A record whose metadata holds `count` entries of `value_bytes` each, keys
// "m000", "m001", ...
void FillMetadata(StoredRecord& record, int count, size_t value_bytes) {
  record.envelope.metadata.clear();
  for (int i = 0; i < count; ++i) {
    char key[8];
    snprintf(key, sizeof key, "m%03d", i);
    record.envelope.metadata[key] = std::string(value_bytes, 'v');
  }
}

// The envelope of GoldenRecord() is 114 + 12 bytes before its metadata.
constexpr uint64_t kGoldenFixedEnvelope = 126;

const std::string& Huge() {
  static const std::string* bytes = new std::string(16 * kMiB + 1, 'p');
  return *bytes;
}

struct LimitCase {
  const char* name;
  void (*mutate)(StoredRecord&);
  const char* encode_error;  // with the standard limits; "ok" if accepted
  const char* decode_error;  // of the frame encoded without limits
};

const LimitCase kLimitCases[] = {
    {"payload at limit", [](StoredRecord& r) { r.payload = std::string_view(Huge()).substr(1); },
     "ok", "record"},
    {"payload over", [](StoredRecord& r) { r.payload = Huge(); },
     "resource limit exceeded: payload bytes is 16777217, maximum is 16777216",
     "resource limit exceeded: payload bytes is 16777217, maximum is 16777216"},
    {"event type at limit",
     [](StoredRecord& r) { r.envelope.event_type = *EventType::New(std::string(1024, 't')); }, "ok",
     "record"},
    {"event type over",
     [](StoredRecord& r) { r.envelope.event_type = *EventType::New(std::string(1025, 't')); },
     "resource limit exceeded: event type bytes is 1025, maximum is 1024",
     "resource limit exceeded: short byte string is 1025, maximum is 1024"},
    {"entries at limit", [](StoredRecord& r) { FillMetadata(r, 256, 1); }, "ok", "record"},
    {"entries over", [](StoredRecord& r) { FillMetadata(r, 257, 1); },
     "resource limit exceeded: metadata entries is 257, maximum is 256",
     "resource limit exceeded: metadata entries is 257, maximum is 256"},
    {"key at limit", [](StoredRecord& r) { r.envelope.metadata[std::string(1024, 'k')] = "v"; },
     "ok", "record"},
    {"key over", [](StoredRecord& r) { r.envelope.metadata[std::string(1025, 'k')] = "v"; },
     "resource limit exceeded: metadata key bytes is 1025, maximum is 1024",
     "resource limit exceeded: short byte string is 1025, maximum is 1024"},
    {"value at limit", [](StoredRecord& r) { r.envelope.metadata["k"] = std::string(65536, 'v'); },
     "ok", "record"},
    {"value over", [](StoredRecord& r) { r.envelope.metadata["k"] = std::string(65537, 'v'); },
     "resource limit exceeded: metadata value bytes is 65537, maximum is 65536",
     "resource limit exceeded: metadata value bytes is 65537, maximum is 65536"},
    {"envelope at limit",
     [](StoredRecord& r) {
       // 16 entries of 4 + 6 bytes of keys and lengths, values filling the rest.
       FillMetadata(r, 16, 65536);
       r.envelope.metadata["m015"].resize(kMiB - kGoldenFixedEnvelope - 16 * 10 - 15 * 65536);
     },
     "ok", "record"},
    {"envelope over",
     [](StoredRecord& r) {
       FillMetadata(r, 16, 65536);
       r.envelope.metadata["m015"].resize(kMiB - kGoldenFixedEnvelope - 16 * 10 - 15 * 65536 + 1);
     },
     "resource limit exceeded: envelope bytes is 1048577, maximum is 1048576",
     "resource limit exceeded: envelope bytes is 1048577, maximum is 1048576"},
};

TEST(FrameLimitsTest, BoundariesWhenEncodingAndDecoding) {
  for (const LimitCase& c : kLimitCases) {
    SCOPED_TRACE(c.name);
    StoredRecord record = GoldenRecord();
    c.mutate(record);
    std::string out = "keep";
    EXPECT_EQ(ErrorText(Encode(record, kLimits, &out)), c.encode_error);
    std::string frame = Encoded(record, kUnlimited);
    if (std::string_view(c.encode_error) == "ok") {
      EXPECT_EQ(out, "keep" + frame);
      const Result<std::optional<StoredRecord>> decoded = Decode(frame, kLimits);
      ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
      record.frame_len = frame.size();
      EXPECT_EQ(**decoded, record);
    } else {
      EXPECT_EQ(out, "keep");
      EXPECT_EQ(DecodeText(frame), c.decode_error);
    }
  }
}

TEST(FrameEncodeTest, ChecksInOrderAndLeavesTheOutputAlone) {
  const struct {
    const char* name;
    void (*mutate)(StoredRecord&);
    const char* expected;
  } cases[] = {
      {"kind 0", [](StoredRecord& r) { r.kind = 0; }, "invalid format: unknown frame kind 0"},
      {"kind 5 before flags", [](StoredRecord& r) { r.kind = 5, r.flags = 1; },
       "invalid format: unknown frame kind 5"},
      {"kind 255", [](StoredRecord& r) { r.kind = 255; }, "invalid format: unknown frame kind 255"},
      {"flags", [](StoredRecord& r) { r.flags = 1; },
       "invalid format: unknown mandatory frame flags 0x01"},
      {"flags before payload", [](StoredRecord& r) { r.flags = 0xab, r.payload = Huge(); },
       "invalid format: unknown mandatory frame flags 0xab"},
      {"payload before event type",
       [](StoredRecord& r) {
         r.payload = Huge();
         r.envelope.event_type = *EventType::New(std::string(1025, 't'));
       },
       "resource limit exceeded: payload bytes is 16777217, maximum is 16777216"},
      {"event type before entries",
       [](StoredRecord& r) {
         r.envelope.event_type = *EventType::New(std::string(1025, 't'));
         FillMetadata(r, 257, 1);
       },
       "resource limit exceeded: event type bytes is 1025, maximum is 1024"},
      {"entries before keys",
       [](StoredRecord& r) {
         FillMetadata(r, 257, 1);
         r.envelope.metadata["corvantine.other"] = "";
       },
       "resource limit exceeded: metadata entries is 258, maximum is 256"},
      {"reserved key", [](StoredRecord& r) { r.envelope.metadata["corvantine.other"] = ""; },
       "invalid format: unknown reserved metadata key corvantine.other"},
      {"key that is not UTF-8", [](StoredRecord& r) { r.envelope.metadata["\xc0\x80"] = ""; },
       "invalid format: metadata key must be nonempty UTF-8 without NUL"},
      {"empty key", [](StoredRecord& r) { r.envelope.metadata[""] = ""; },
       "invalid format: metadata key must be nonempty UTF-8 without NUL"},
      {"earlier key's value first",
       [](StoredRecord& r) {
         r.envelope.metadata = {{"apple", std::string(65537, 'v')}, {"corvantine.bad", ""}};
       },
       "resource limit exceeded: metadata value bytes is 65537, maximum is 65536"},
      {"earlier key's name first",
       [](StoredRecord& r) {
         r.envelope.metadata = {{"corvantine.bad", ""}, {"zebra", std::string(65537, 'v')}};
       },
       "invalid format: unknown reserved metadata key corvantine.bad"},
      {"key before value",
       [](StoredRecord& r) { r.envelope.metadata[std::string(1025, 'k')] = std::string(65537, 'v'); },
       "resource limit exceeded: metadata key bytes is 1025, maximum is 1024"},
      {"every key before the envelope size",
       [](StoredRecord& r) {
         FillMetadata(r, 17, 65536);
         r.envelope.metadata["z\xff"] = "";
       },
       "invalid format: metadata key must be nonempty UTF-8 without NUL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StoredRecord record = GoldenRecord();
    c.mutate(record);
    std::string out = "keep";
    EXPECT_EQ(ErrorText(Encode(record, kLimits, &out)), c.expected);
    EXPECT_EQ(out, "keep");
  }
  for (uint8_t kind = kEventFrame; kind <= kBatchCommitFrame; ++kind) {
    StoredRecord record = GoldenRecord();
    record.kind = kind;
    std::string out;
    EXPECT_TRUE(Encode(record, kLimits, &out).ok());
  }
}

TEST(FrameDecodeTest, HeaderAndChecksumInOrder) {
  const struct {
    const char* name;
    void (*mutate)(std::string&);
    const char* expected;
  } cases[] = {
      {"31 bytes", [](std::string& f) { f.resize(31); }, "nothing"},
      {"header only", [](std::string& f) { f.resize(32); }, "nothing"},
      {"one byte short", [](std::string& f) { f.pop_back(); }, "nothing"},
      {"magic", [](std::string& f) { f[3] = '1'; }, "invalid format: bad v2 frame magic"},
      {"magic, header only", [](std::string& f) { f[0] = 'X', f.resize(32); },
       "invalid format: bad v2 frame magic"},
      {"magic before version", [](std::string& f) { f[0] = 'X', f[4] = 3; },
       "invalid format: bad v2 frame magic"},
      {"version", [](std::string& f) { f[4] = 3; }, "invalid format: unsupported frame version 3"},
      {"version before kind", [](std::string& f) { f[4] = 0, f[5] = 1, f[6] = 9; },
       "invalid format: unsupported frame version 256"},
      {"kind 0", [](std::string& f) { f[6] = 0; }, "invalid format: unknown frame kind 0"},
      {"kind before flags", [](std::string& f) { f[6] = 5, f[7] = 1; },
       "invalid format: unknown frame kind 5"},
      {"flags", [](std::string& f) { f[7] = '\x80'; },
       "invalid format: unknown mandatory frame flags 0x80"},
      {"flags before envelope length", [](std::string& f) { f[7] = 2, PutU32(f, 8, kMiB + 1); },
       "invalid format: unknown mandatory frame flags 0x02"},
      {"envelope length before payload length",
       [](std::string& f) { PutU32(f, 8, kMiB + 1), PutU32(f, 12, 16 * kMiB + 1); },
       "resource limit exceeded: envelope bytes is 1048577, maximum is 1048576"},
      {"payload length before reserved",
       [](std::string& f) { PutU32(f, 12, 16 * kMiB + 1), PutU32(f, 28, 1); },
       "resource limit exceeded: payload bytes is 16777217, maximum is 16777216"},
      {"reserved", [](std::string& f) { PutU32(f, 28, 1); },
       "invalid format: nonzero reserved frame header field"},
      {"reserved, header only", [](std::string& f) { PutU32(f, 28, 1), f.resize(32); },
       "invalid format: nonzero reserved frame header field"},
      {"checksum field", [](std::string& f) { PutU32(f, 24, 1); },
       "corrupt record at offset 42: v2 crc mismatch: stored 0x00000001, computed 0x37170ee4"},
      {"position, reported at the new position", [](std::string& f) { f[16] = 43; },
       "corrupt record at offset 43: v2 crc mismatch: stored 0x37170ee4, computed 0x4bdcb516"},
      {"envelope byte, checked before parsing", [](std::string& f) { f[116] = '\xff'; },
       "corrupt record at offset 42: v2 crc mismatch: stored 0x37170ee4, computed 0xde3ef3ad"},
      {"payload byte", [](std::string& f) { f[215] = ']'; },
       "corrupt record at offset 42: v2 crc mismatch: stored 0x37170ee4, computed 0x17aa803a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string frame = kGoldenFrame;
    c.mutate(frame);
    EXPECT_EQ(DecodeText(frame), c.expected);
  }
  const Result<std::optional<StoredRecord>> corrupt = Decode(kGoldenFrame.substr(0, 215) + "]",
                                                             kLimits);
  EXPECT_EQ(corrupt.error().kind(), error::Kind::kCorrupt);
  EXPECT_EQ(corrupt.error().As<error::Corrupt>()->offset, 42u);
}

TEST(FrameTotalLenTest, ChecksTheHeaderButNotReservedOrChecksum) {
  std::string frame = kGoldenFrame;
  EXPECT_EQ(*FrameTotalLen(frame.substr(0, 31), kLimits), std::nullopt);
  EXPECT_EQ(*FrameTotalLen(frame.substr(0, 32), kLimits), 216u);
  PutU32(frame, 28, 1);
  PutU32(frame, 24, 1);
  EXPECT_EQ(*FrameTotalLen(frame, kLimits), 216u);
  frame[6] = 0;
  EXPECT_EQ(ErrorText(FrameTotalLen(frame, kLimits)), "invalid format: unknown frame kind 0");
  frame = kGoldenFrame;
  PutU32(frame, 12, 16 * kMiB + 1);
  EXPECT_EQ(ErrorText(FrameTotalLen(frame, kLimits)),
            "resource limit exceeded: payload bytes is 16777217, maximum is 16777216");
}

// Envelope bytes assembled field by field, independently of the encoder.
std::string U16(uint16_t v) { return std::string{char(v), char(v >> 8)}; }
std::string U32(uint32_t v) { return U16(uint16_t(v)) + U16(uint16_t(v >> 16)); }
std::string Str16(std::string_view s) { return U16(uint16_t(s.size())) + std::string(s); }
std::string Entry(std::string_view key, std::string_view value) {
  return Str16(key) + U32(uint32_t(value.size())) + std::string(value);
}
// Version, four ids, revision, timestamp.
std::string Head(uint16_t version = 1) { return U16(version) + std::string(64 + 16, 'h'); }
// schema_version, payload_format, batch_id, batch_index.
std::string Middle() { return std::string(4 + 4 + 16 + 4, 'm'); }
std::string Envelope(std::string_view type, uint16_t count, std::string entries = "") {
  return Head() + Str16(type) + Middle() + U16(count) + entries;
}

TEST(EnvelopeDecodeTest, ChecksInOrder) {
  const char* kTruncated = "invalid format: truncated v2 envelope";
  const char* kKeyRule = "invalid format: metadata key must be nonempty UTF-8 without NUL";
  const struct {
    const char* name;
    std::string bytes;
    const char* expected;
  } cases[] = {
      {"empty", "", kTruncated},
      {"one byte", "\x01", kTruncated},
      {"version", U16(2), "invalid format: unsupported envelope version 2"},
      {"ids cut short", Head().substr(0, 50), kTruncated},
      {"event type over its limit", Head() + "\x01\x04",
       "resource limit exceeded: short byte string is 1025, maximum is 1024"},
      {"event type cut short", Head() + "\x03\x00" "ab", kTruncated},
      {"event type not UTF-8", Envelope("\xff", 0), "invalid format: event type is not UTF-8"},
      {"event type not UTF-8 before NUL", Envelope("\xff\0"sv, 0),
       "invalid format: event type is not UTF-8"},
      {"event type empty", Envelope("", 0), "invalid format: event type must not be empty"},
      {"event type NUL", Envelope("a\0b"sv, 0), "invalid format: event type must not contain NUL"},
      {"entry count", Envelope("t", 257),
       "resource limit exceeded: metadata entries is 257, maximum is 256"},
      {"entries missing", Envelope("t", 2, Entry("a", "1")), kTruncated},
      {"key over its limit", Envelope("t", 1, "\x01\x04"),
       "resource limit exceeded: short byte string is 1025, maximum is 1024"},
      {"key not UTF-8", Envelope("t", 1, Entry("\xed\xa0\x80", "")),
       "invalid format: metadata key is not UTF-8"},
      {"key empty", Envelope("t", 1, Entry("", "")), kKeyRule},
      {"key with NUL", Envelope("t", 1, Entry("a\0b"sv, "")), kKeyRule},
      {"reserved key", Envelope("t", 1, Entry("corvantine.other", "")),
       "invalid format: unknown reserved metadata key corvantine.other"},
      {"value over its limit", Envelope("t", 1, Str16("k") + U32(65537)),
       "resource limit exceeded: metadata value bytes is 65537, maximum is 65536"},
      {"value cut short", Envelope("t", 1, Str16("k") + U32(3) + "ab"), kTruncated},
      {"duplicate key", Envelope("t", 2, Entry("a", "1") + Entry("a", "2")),
       "invalid format: duplicate metadata key"},
      {"trailing byte", Envelope("t", 1, Entry("a", "1") + "x"),
       "invalid format: trailing bytes in v2 envelope"},
      {"keys out of order", Envelope("t", 2, Entry("b", "2") + Entry("a", "1")), "ok"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorText(DecodeEnvelope(c.bytes, kLimits)), c.expected) << c.name;
  }
  const Metadata expected{{"a", "1"}, {"b", "2"}};
  EXPECT_EQ(DecodeEnvelope(Envelope("t", 2, Entry("b", "2") + Entry("a", "1")), kLimits)->metadata,
            expected);
}

TEST(EnvelopeDecodeTest, EveryShorterPrefixIsTruncated) {
  const std::string envelope =
      Envelope("order.placed", 2, Entry("corvantine.stream_name", "orders") + Entry("x", "y"));
  ASSERT_TRUE(DecodeEnvelope(envelope, kLimits).ok());
  for (size_t n = 0; n < envelope.size(); ++n) {
    EXPECT_EQ(ErrorText(DecodeEnvelope(envelope.substr(0, n), kLimits)),
              "invalid format: truncated v2 envelope")
        << n;
  }
}

// Repeated keys are found without a map: keys in increasing order are new,
// and any other key is looked for among those before it.
TEST(EnvelopeDecodeTest, RepeatedKeysAreFoundInAnyOrder) {
  const struct {
    std::vector<std::string_view> keys;
    bool repeated;
  } cases[] = {
      {{"a", "b", "c"}, false}, {{"c", "a", "b"}, false}, {{"b", "a", "b"}, true},
      {{"a", "b", "a"}, true},  {{"b", "a", "a"}, true},  {{"a", "c", "b", "c"}, true},
      {{"ab", "a", "b"}, false}, {{"a", "a"}, true},
  };
  for (const auto& c : cases) {
    std::string entries;
    for (std::string_view key : c.keys) entries += Entry(key, "v");
    const Result<RecordEnvelopeV2> decoded =
        DecodeEnvelope(Envelope("t", static_cast<uint16_t>(c.keys.size()), entries), kLimits);
    const std::string label = fmt::format("{}", fmt::join(c.keys, ","));
    if (c.repeated) {
      EXPECT_EQ(ErrorText(decoded), "invalid format: duplicate metadata key") << label;
    } else {
      ASSERT_TRUE(decoded.ok()) << label;
      EXPECT_EQ(decoded->metadata.size(), c.keys.size()) << label;
    }
  }
}

// Decoding into a kept record overwrites what matches and rebuilds the rest:
// whatever the record held before, it ends equal to a fresh decode.
TEST(FrameViewTest, AssignRecordEqualsAFreshDecode) {
  std::vector<std::string> frames;
  for (const Metadata& metadata : std::vector<Metadata>{
           {{"tenant", "acme"}, {"corvantine.stream_name", "orders"}},
           {{"tenant", "a much longer tenant name"}, {"corvantine.stream_name", "o"}},
           {{"tenant", "acme"}},
           {},
           {{"a", "1"}, {"tenant", "acme"}, {"z", ""}},
       }) {
    for (const char* type : {"order.placed", "application.json", "order.placed"}) {
      StoredRecord record = GoldenRecord();
      record.envelope.metadata = metadata;
      record.envelope.event_type = *EventType::New(type);
      frames.push_back(Encoded(record));
    }
  }
  // Keys out of increasing order, written by hand.
  std::string unordered = kGoldenFrame;
  const size_t entries_at = 32 + 114 + 12;
  const std::string stream_entry = unordered.substr(entries_at, 2 + 22 + 4 + 6);
  const std::string tenant_entry =
      unordered.substr(entries_at + stream_entry.size(), 2 + 6 + 4 + 4);
  unordered.replace(entries_at, stream_entry.size() + tenant_entry.size(),
                    tenant_entry + stream_entry);
  PutU32(unordered, 24, FrameCrc(unordered));
  frames.push_back(unordered);

  StoredRecord kept;
  for (size_t i = 0; i < frames.size(); ++i) {
    FrameView view;
    ASSERT_TRUE(*DecodeView(frames[i], kLimits, &view)) << i;
    AssignRecord(view, &kept);
    EXPECT_EQ(kept, **Decode(frames[i], kLimits)) << i;
    EXPECT_EQ(MakeRecord(view), kept) << i;
  }
}

}  // namespace
}  // namespace corvantine::format
