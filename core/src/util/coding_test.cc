#include "util/coding.h"

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvantine::util {
namespace {

constexpr char kUnexpectedEnd[] = "io error: unexpected end of file";

std::string U64Bytes(uint64_t value) {
  std::string out;
  BinaryWriter(out).PutU64(value);
  return out;
}

template <typename T>
void ExpectCodecError(const Result<T>& result, const std::string& message) {
  ASSERT_FALSE(result.ok());
  const CorvantineError& failure = result.error();
  EXPECT_EQ(failure.kind(), error::Kind::kCodec);
  EXPECT_EQ(failure.As<error::Codec>()->message, message);
}

TEST(BinaryWriterTest, WritesTheWireLayout) {
  std::string out;
  BinaryWriter writer(out);
  writer.PutU8(0xAB);
  writer.PutU16(0x0102);
  writer.PutU32(0x01020304);
  writer.PutI64(-2);
  writer.PutString("hi");
  writer.PutArray16(Bytes16{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  writer.PutOptionTag(false);
  writer.PutOptionTag(true);
  writer.PutVariantIndex(2);
  writer.PutLength(3);
  const std::string expected =
      std::string("\xAB", 1) + "\x02\x01" + "\x04\x03\x02\x01" +
      "\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF" +                       // -2
      std::string("\x02\0\0\0\0\0\0\0", 8) + "hi" +               // u64 length, bytes
      "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10" +
      std::string("\0\x01", 2) + std::string("\x02\0\0\0", 4) +  // tags, variant
      std::string("\x03\0\0\0\0\0\0\0", 8);                      // count
  EXPECT_EQ(out, expected);
}

TEST(BinaryReaderTest, ReadsBackWhatWasWritten) {
  const Bytes16 id{0xFF, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0xEE};
  const std::string binary("\0\xFF\x80", 3);
  std::string out;
  BinaryWriter writer(out);
  writer.PutU8(7);
  writer.PutU16(0xBEEF);
  writer.PutU32(0xDEADBEEF);
  writer.PutU64(std::numeric_limits<uint64_t>::max());
  writer.PutI64(std::numeric_limits<int64_t>::min());
  writer.PutArray16(id);
  writer.PutBytes(binary);
  writer.PutString("caf\xC3\xA9");
  writer.PutString("");
  writer.PutOptionTag(true);
  writer.PutVariantIndex(1);
  writer.PutLength(2);
  writer.PutRaw("tail", 4);

  BinaryReader reader(out);
  EXPECT_EQ(*reader.U8(), 7);
  EXPECT_EQ(*reader.U16(), 0xBEEF);
  EXPECT_EQ(*reader.U32(), 0xDEADBEEFu);
  EXPECT_EQ(*reader.U64(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(*reader.I64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(*reader.Array16(), id);
  EXPECT_EQ(*reader.Bytes(), binary);
  EXPECT_EQ(*reader.String(), "caf\xC3\xA9");
  EXPECT_EQ(*reader.String(), "");
  EXPECT_TRUE(*reader.OptionTag());
  EXPECT_EQ(*reader.VariantIndex(2), 1u);
  EXPECT_EQ(*reader.Length(1), 2u);
  EXPECT_EQ(reader.position(), out.size() - 4);
  EXPECT_EQ(reader.remaining(), 4u);
  EXPECT_EQ(*reader.Raw(4), "tail");
  EXPECT_EQ(reader.remaining(), 0u);
  EXPECT_EQ(*reader.Raw(0), "");
}

TEST(BinaryReaderTest, ShortInputIsUnexpectedEnd) {
  ExpectCodecError(BinaryReader("").U8(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("\x01").U16(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("\x01\x02\x03").U32(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("1234567").U64(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("1234567").I64(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("123456789012345").Array16(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("ab").Raw(3), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("1234").Bytes(), kUnexpectedEnd);  // short length
  ExpectCodecError(BinaryReader(U64Bytes(3) + "ab").Bytes(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader(U64Bytes(3) + "ab").String(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("").OptionTag(), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("\x01").VariantIndex(4), kUnexpectedEnd);
  ExpectCodecError(BinaryReader("1234").Length(1), kUnexpectedEnd);
}

TEST(BinaryReaderTest, RefusesInvalidValues) {
  ExpectCodecError(BinaryReader(U64Bytes(2) + "\xC0\x80").String(), "invalid utf-8 sequence");
  ExpectCodecError(BinaryReader("\x02").OptionTag(), "tag for enum is not valid, found 2");
  ExpectCodecError(BinaryReader("\xFF").OptionTag(), "tag for enum is not valid, found 255");
  ExpectCodecError(BinaryReader(std::string("\x03\0\0\0", 4)).VariantIndex(3),
                   "invalid value: integer `3`, expected variant index 0 <= i < 3");
  ExpectCodecError(BinaryReader("\xFF\xFF\xFF\xFF").VariantIndex(2),
                   "invalid value: integer `4294967295`, expected variant index 0 <= i < 2");
}

// A count is checked against the bytes left before anyone can allocate for
// it; under AddressSanitizer an allocation of these sizes would abort.
TEST(BinaryReaderTest, HugeLengthsAreRefusedWithoutAllocating) {
  for (uint64_t huge : {std::numeric_limits<uint64_t>::max(), uint64_t{1} << 40}) {
    const std::string input = U64Bytes(huge) + "some bytes";
    ExpectCodecError(BinaryReader(input).Bytes(), kUnexpectedEnd);
    ExpectCodecError(BinaryReader(input).String(), kUnexpectedEnd);
    ExpectCodecError(BinaryReader(input).Length(1), kUnexpectedEnd);
  }
  // 2^63 elements of 2 bytes: the product wraps to 0 in 64 bits.
  ExpectCodecError(BinaryReader(U64Bytes(uint64_t{1} << 63)).Length(2), kUnexpectedEnd);
}

TEST(BinaryReaderTest, LengthAdmitsExactlyWhatFits) {
  const std::string input = U64Bytes(3) + std::string(48, 'x');
  EXPECT_EQ(*BinaryReader(input).Length(16), 3u);
  ExpectCodecError(BinaryReader(input).Length(17), kUnexpectedEnd);
}

// A record as the codecs write them, of one field of each fixed kind.
struct Sample {
  enum class Kind : uint32_t { kPlain, kSpecial };
  Bytes16 id{};
  std::optional<uint16_t> tag;
  Kind kind = Kind::kPlain;
  std::vector<std::string> names;

  static constexpr size_t kMinEncodedBytes =
      util::kMinEncodedBytes<decltype(id), decltype(tag), decltype(kind), decltype(names)>;
  void Encode(BinaryWriter& writer) const {
    writer.PutArray16(id);
    PutOptional(writer, tag, &BinaryWriter::PutU16);
    writer.PutVariantIndex(static_cast<uint32_t>(kind));
    PutList(writer, names, &BinaryWriter::PutString);
  }
  static Result<Sample> Decode(BinaryReader& reader) {
    Sample sample;
    CVN_ASSIGN_OR_RETURN(sample.id, reader.Array16());
    CVN_ASSIGN_OR_RETURN(sample.tag, ReadOptional<uint16_t>(reader, &BinaryReader::U16));
    CVN_ASSIGN_OR_RETURN(const uint32_t kind, reader.VariantIndex(2));
    sample.kind = static_cast<Kind>(kind);
    CVN_ASSIGN_OR_RETURN(sample.names, ReadList<std::string>(reader, ReadString));
    return sample;
  }
  friend bool operator==(const Sample&, const Sample&) = default;
};

template <typename T>
size_t EncodedSize(const T& value) {
  std::string out;
  BinaryWriter writer(out);
  value.Encode(writer);
  return out.size();
}

TEST(CodingHelpersTest, TheFewestBytesAreWhatTheEmptiestValueEncodesTo) {
  static_assert(kMinEncodedBytes<uint8_t, uint16_t, uint32_t, int64_t> == 15);
  static_assert(kMinEncodedBytes<std::string, std::map<std::string, Sample>> == 16);
  static_assert(kMinEncodedBytes<std::pair<const uint32_t, Sample>> == 4 + 29);
  EXPECT_EQ(EncodedSize(Sample{}), Sample::kMinEncodedBytes);
}

TEST(CodingHelpersTest, ListsAndMapsReadBackWhatWasWritten) {
  const std::vector<Sample> samples = {{}, {Bytes16{7}, 9, Sample::Kind::kSpecial, {"a", "b"}}};
  const std::map<std::string, std::string> map = {{"k", std::string("\xFF", 1)}, {"", ""}};
  std::string out;
  BinaryWriter writer(out);
  PutList(writer, samples);
  PutMap(writer, map, &BinaryWriter::PutString, &BinaryWriter::PutBytes);
  PutMap(writer, std::vector<std::pair<uint64_t, uint64_t>>{{1, 2}, {1, 3}}, &BinaryWriter::PutU64,
         [](BinaryWriter& w, uint64_t value) { w.PutU64(value); });

  BinaryReader reader(out);
  EXPECT_EQ(*ReadList<Sample>(reader), samples);
  using Map = std::map<std::string, std::string>;
  EXPECT_EQ((*ReadMap<Map>(reader, ReadString, ReadBytes)), map);
  using Counts = std::map<uint64_t, uint64_t>;
  EXPECT_EQ((*ReadMap<Counts>(reader, &BinaryReader::U64, &BinaryReader::U64)), (Counts{{1, 3}}));
  EXPECT_EQ(reader.remaining(), 0u);
}

}  // namespace
}  // namespace corvantine::util
