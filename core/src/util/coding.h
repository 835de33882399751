// Little-endian binary encoding.
//
// Two layers. EncodeFixed*/DecodeFixed* put and get raw little-endian integers
// in a caller's buffer, for fixed headers. BinaryWriter and BinaryReader
// implement the codec of catalogs, anchors and event payloads, which stores
// no field names or type tags, only values:
//
//   u8, u16, u32, u64, i64   fixed width, little-endian
//   bytes, string            u64 length, then the bytes (strings are UTF-8)
//   16-byte array            the 16 bytes, no length
//   sequence, map            u64 count, then the elements (a map's as pairs)
//   optional value           u8 tag 0 (absent) or 1 then the value
//   enum                     u32 variant index, then the variant's fields
//   struct                   its fields in order, nothing between them
//
// Trailing bytes after a decoded value are not an error.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "error/error.h"

namespace corvantine::util {

namespace coding_internal {

template <typename T>
inline void EncodeLittleEndian(char* dst, T value) {
  static_assert(std::is_unsigned_v<T>);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, &value, sizeof value);
  } else {
    for (size_t i = 0; i < sizeof value; ++i) {
      dst[i] = static_cast<char>(value >> (8 * i));
    }
  }
}

template <typename T>
inline T DecodeLittleEndian(const char* src) {
  static_assert(std::is_unsigned_v<T>);
  T value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, src, sizeof value);
  } else {
    for (size_t i = 0; i < sizeof value; ++i) {
      value |= static_cast<T>(static_cast<uint8_t>(src[i])) << (8 * i);
    }
  }
  return value;
}

}  // namespace coding_internal

// Raw little-endian integers: dst and src must hold at least sizeof(value)
// bytes. No alignment is required.
inline void EncodeFixed16(char* dst, uint16_t value) { coding_internal::EncodeLittleEndian(dst, value); }
inline void EncodeFixed32(char* dst, uint32_t value) { coding_internal::EncodeLittleEndian(dst, value); }
inline void EncodeFixed64(char* dst, uint64_t value) { coding_internal::EncodeLittleEndian(dst, value); }
inline uint16_t DecodeFixed16(const char* src) {
  return coding_internal::DecodeLittleEndian<uint16_t>(src);
}
inline uint32_t DecodeFixed32(const char* src) {
  return coding_internal::DecodeLittleEndian<uint32_t>(src);
}
inline uint64_t DecodeFixed64(const char* src) {
  return coding_internal::DecodeLittleEndian<uint64_t>(src);
}

using Bytes16 = std::array<uint8_t, 16>;

// The u64 length or count in front of every byte string, string, sequence
// and map: what an empty one encodes to, by which decoders bound counts.
inline constexpr size_t kLengthPrefixBytes = 8;

// Appends encoded values to a string it does not own. Writing cannot fail.
class BinaryWriter {
 public:
  explicit BinaryWriter(std::string& out) : out_(out) {}

  void PutU8(uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void PutU16(uint16_t value);
  void PutU32(uint32_t value);
  void PutU64(uint64_t value);
  void PutI64(int64_t value) { PutU64(static_cast<uint64_t>(value)); }

  // The bytes as they are, without a length.
  void PutRaw(const void* data, size_t n) { out_.append(static_cast<const char*>(data), n); }
  void PutArray16(const Bytes16& bytes) { PutRaw(bytes.data(), bytes.size()); }
  // A byte string: u64 length, then the bytes.
  void PutBytes(std::string_view bytes);
  // Encoded as PutBytes; `text` must be valid UTF-8 or readers will refuse it.
  void PutString(std::string_view text) { PutBytes(text); }

  void PutOptionTag(bool present) { PutU8(present ? 1 : 0); }
  void PutVariantIndex(uint32_t index) { PutU32(index); }
  // The element count of a sequence or the entry count of a map.
  void PutLength(size_t count) { PutU64(count); }

 private:
  std::string& out_;
};

// Reads encoded values from a borrowed buffer, front to back. A read that
// fails returns a Codec error with one of these messages, and leaves the
// position unspecified: decoding stops there.
//   "io error: unexpected end of file"           too few bytes left
//   "invalid utf-8 sequence"                     String() of bad UTF-8
//   "tag for enum is not valid, found {}"        option tag other than 0/1
//   "invalid value: integer `{}`, expected variant index 0 <= i < {}"
//                                                variant index out of range
// Returned views point into the input buffer.
class BinaryReader {
 public:
  explicit BinaryReader(std::string_view input) : input_(input) {}

  Result<uint8_t> U8();
  Result<uint16_t> U16();
  Result<uint32_t> U32();
  Result<uint64_t> U64();
  Result<int64_t> I64();

  // The next n bytes, without a length.
  Result<std::string_view> Raw(size_t n);
  Result<Bytes16> Array16();
  // A u64 length, then that many bytes.
  Result<std::string_view> Bytes();
  // As Bytes(), and the bytes must be valid UTF-8.
  Result<std::string_view> String();

  // An optional value's tag: whether the value follows.
  Result<bool> OptionTag();
  // A u32 enum variant index, which must be below `variant_count`.
  Result<uint32_t> VariantIndex(uint32_t variant_count);
  // A u64 sequence or map count. Every element takes at least
  // `min_element_bytes` (> 0) bytes, so a count whose elements cannot fit in
  // remaining() is refused here: a caller may reserve room for the count it
  // gets without trusting the input.
  Result<size_t> Length(size_t min_element_bytes);

  size_t position() const { return position_; }
  std::string_view input() const { return input_; }
  size_t remaining() const { return input_.size() - position_; }

 private:
  template <typename T>
  Result<T> Fixed();

  std::string_view input_;
  size_t position_ = 0;
};

}  // namespace corvantine::util
