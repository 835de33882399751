#include "util/coding.h"

#include <cassert>

#include <fmt/format.h>

#include "util/utf8.h"

namespace corvantine::util {

// Lengths are u64 on the wire and size_t in memory.
static_assert(sizeof(size_t) == sizeof(uint64_t));

namespace {

CorvantineError UnexpectedEnd() { return CorvantineError::Codec("io error: unexpected end of file"); }

}  // namespace

void BinaryWriter::PutU16(uint16_t value) {
  char buffer[sizeof value];
  EncodeFixed16(buffer, value);
  out_.append(buffer, sizeof buffer);
}

void BinaryWriter::PutU32(uint32_t value) {
  char buffer[sizeof value];
  EncodeFixed32(buffer, value);
  out_.append(buffer, sizeof buffer);
}

void BinaryWriter::PutU64(uint64_t value) {
  char buffer[sizeof value];
  EncodeFixed64(buffer, value);
  out_.append(buffer, sizeof buffer);
}

void BinaryWriter::PutBytes(std::string_view bytes) {
  PutLength(bytes.size());
  out_.append(bytes);
}

template <typename T>
Result<T> BinaryReader::Fixed() {
  CVN_ASSIGN_OR_RETURN(std::string_view bytes, Raw(sizeof(T)));
  return coding_internal::DecodeLittleEndian<T>(bytes.data());
}

Result<uint8_t> BinaryReader::U8() { return Fixed<uint8_t>(); }
Result<uint16_t> BinaryReader::U16() { return Fixed<uint16_t>(); }
Result<uint32_t> BinaryReader::U32() { return Fixed<uint32_t>(); }
Result<uint64_t> BinaryReader::U64() { return Fixed<uint64_t>(); }

Result<int64_t> BinaryReader::I64() {
  CVN_ASSIGN_OR_RETURN(uint64_t bits, U64());
  return static_cast<int64_t>(bits);
}

Result<std::string_view> BinaryReader::Raw(size_t n) {
  if (n > remaining()) return UnexpectedEnd();
  std::string_view bytes = input_.substr(position_, n);
  position_ += n;
  return bytes;
}

Result<Bytes16> BinaryReader::Array16() {
  CVN_ASSIGN_OR_RETURN(std::string_view bytes, Raw(sizeof(Bytes16)));
  Bytes16 array;
  std::memcpy(array.data(), bytes.data(), array.size());
  return array;
}

Result<std::string_view> BinaryReader::Bytes() {
  CVN_ASSIGN_OR_RETURN(uint64_t length, U64());
  return Raw(static_cast<size_t>(length));
}

Result<std::string_view> BinaryReader::String() {
  CVN_ASSIGN_OR_RETURN(std::string_view text, Bytes());
  if (!IsValidUtf8(text)) return CorvantineError::Codec("invalid utf-8 sequence");
  return text;
}

Result<std::string> ReadString(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(const std::string_view text, reader.String());
  return std::string(text);
}

Result<std::string> ReadBytes(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(const std::string_view bytes, reader.Bytes());
  return std::string(bytes);
}

Result<bool> BinaryReader::OptionTag() {
  CVN_ASSIGN_OR_RETURN(uint8_t tag, U8());
  if (tag > 1) {
    return CorvantineError::Codec(fmt::format("tag for enum is not valid, found {}", tag));
  }
  return tag == 1;
}

Result<uint32_t> BinaryReader::VariantIndex(uint32_t variant_count) {
  CVN_ASSIGN_OR_RETURN(uint32_t index, U32());
  if (index >= variant_count) {
    return CorvantineError::Codec(fmt::format(
        "invalid value: integer `{}`, expected variant index 0 <= i < {}", index, variant_count));
  }
  return index;
}

Result<size_t> BinaryReader::Length(size_t min_element_bytes) {
  assert(min_element_bytes > 0);
  CVN_ASSIGN_OR_RETURN(uint64_t count, U64());
  // Division, not count * min_element_bytes, which could overflow.
  if (count > remaining() / min_element_bytes) return UnexpectedEnd();
  return static_cast<size_t>(count);
}

}  // namespace corvantine::util
