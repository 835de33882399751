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
// Trailing bytes after a decoded value are not an error. Last come the
// helpers for sequences and maps, and the fewest bytes a value of a type can
// encode to, by which their decoders bound a count.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

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

// String() and Bytes(), copied out of the input.
Result<std::string> ReadString(BinaryReader& reader);
Result<std::string> ReadBytes(BinaryReader& reader);

namespace coding_internal {

template <typename T>
inline constexpr bool kIsOptional = false;
template <typename T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <typename T>
inline constexpr bool kIsPair = false;
template <typename A, typename B>
inline constexpr bool kIsPair<std::pair<A, B>> = true;

template <typename T>
constexpr size_t MinEncodedBytesOf() {
  if constexpr (requires { T::kMinEncodedBytes; }) {
    return T::kMinEncodedBytes;
  } else if constexpr (std::is_same_v<T, Bytes16>) {
    return sizeof(Bytes16);
  } else if constexpr (std::is_enum_v<T>) {
    return sizeof(uint32_t);
  } else if constexpr (std::is_integral_v<T>) {
    return sizeof(T);
  } else if constexpr (kIsOptional<T>) {
    return 1;
  } else if constexpr (kIsPair<T>) {
    return MinEncodedBytesOf<std::remove_cv_t<typename T::first_type>>() +
           MinEncodedBytesOf<typename T::second_type>();
  } else {
    static_assert(requires(const T& value) { std::size(value); },
                  "a record type needs a static kMinEncodedBytes");
    return kLengthPrefixBytes;
  }
}

// Writes `value` with `put`: a function of (writer, value), a member of
// BinaryWriter, or a record's Encode member.
template <typename Put, typename T>
void PutWith(BinaryWriter& writer, const Put& put, const T& value) {
  if constexpr (std::is_invocable_v<const Put&, BinaryWriter&, const T&>) {
    std::invoke(put, writer, value);
  } else {
    std::invoke(put, value, writer);
  }
}

}  // namespace coding_internal

// The fewest bytes a record of these field types encodes to: an integer
// takes its width, an enum its variant index, an optional value its tag, a
// 16-byte array its bytes, a string, byte string, sequence or map its length
// alone, a pair both halves, and a type with a static kMinEncodedBytes (a
// record, an id) that many. A record derives its own from its fields:
//   static constexpr size_t kMinEncodedBytes =
//       util::kMinEncodedBytes<decltype(id), decltype(name)>;
template <typename... Fields>
inline constexpr size_t kMinEncodedBytes = (coding_internal::MinEncodedBytesOf<Fields>() + ... + 0);

// A sequence: its count, then each element written by `put_element` (a
// function of (writer, element), a member of BinaryWriter, or the
// element's Encode member).
template <typename Sequence, typename PutElement>
void PutList(BinaryWriter& writer, const Sequence& list, const PutElement& put_element) {
  writer.PutLength(std::size(list));
  for (const auto& element : list) coding_internal::PutWith(writer, put_element, element);
}

// A sequence of records, each written by its Encode member.
template <typename Sequence>
void PutList(BinaryWriter& writer, const Sequence& list) {
  PutList(writer, list, &Sequence::value_type::Encode);
}

// A map: its count, then each entry's key and value, in the order of
// `entries` (a map, or a sequence of pairs), each written as PutList writes
// an element.
template <typename Entries, typename PutKey, typename PutValue>
void PutMap(BinaryWriter& writer, const Entries& entries, const PutKey& put_key,
            const PutValue& put_value) {
  writer.PutLength(std::size(entries));
  for (const auto& [key, value] : entries) {
    coding_internal::PutWith(writer, put_key, key);
    coding_internal::PutWith(writer, put_value, value);
  }
}

// An optional value: its tag, then the value if there is one, written as
// PutList writes an element.
template <typename T, typename Put>
void PutOptional(BinaryWriter& writer, const std::optional<T>& value, const Put& put) {
  writer.PutOptionTag(value.has_value());
  if (value) coding_internal::PutWith(writer, put, *value);
}

// An optional value, read as ReadList reads an element when its tag says
// there is one.
template <typename T, typename Read>
Result<std::optional<T>> ReadOptional(BinaryReader& reader, const Read& read) {
  CVN_ASSIGN_OR_RETURN(const bool present, reader.OptionTag());
  if (!present) return std::optional<T>();
  CVN_ASSIGN_OR_RETURN(T value, std::invoke(read, reader));
  return std::optional<T>(std::move(value));
}

// A sequence of T, each element read by `read_element` (a function of the
// reader, or a member of it, returning Result<T>). The count is refused
// unless that many elements of kMinEncodedBytes<T> fit in the bytes left.
// Even then the list grows with the elements that decode rather than
// reserving for the count: an element in memory may be several times larger
// than its smallest encoding.
template <typename T, typename ReadElement>
Result<std::vector<T>> ReadList(BinaryReader& reader, const ReadElement& read_element) {
  CVN_ASSIGN_OR_RETURN(const size_t count, reader.Length(kMinEncodedBytes<T>));
  std::vector<T> list;
  for (size_t i = 0; i < count; ++i) {
    CVN_ASSIGN_OR_RETURN(T element, std::invoke(read_element, reader));
    list.push_back(std::move(element));
  }
  return list;
}

// A sequence of records, each read by T::Decode.
template <typename T>
Result<std::vector<T>> ReadList(BinaryReader& reader) {
  return ReadList<T>(reader, &T::Decode);
}

// A map, its entries' keys and values read as ReadList reads an element,
// and its count bounded as ReadList bounds one, at the fewest bytes of a key
// and a value. A repeated key keeps its last value.
template <typename Map, typename ReadKey, typename ReadValue>
Result<Map> ReadMap(BinaryReader& reader, const ReadKey& read_key, const ReadValue& read_value) {
  using Key = typename Map::key_type;
  using Value = typename Map::mapped_type;
  CVN_ASSIGN_OR_RETURN(const size_t count, reader.Length(kMinEncodedBytes<Key, Value>));
  Map map;
  for (size_t i = 0; i < count; ++i) {
    CVN_ASSIGN_OR_RETURN(Key key, std::invoke(read_key, reader));
    CVN_ASSIGN_OR_RETURN(Value value, std::invoke(read_value, reader));
    map.insert_or_assign(std::move(key), std::move(value));
  }
  return map;
}

}  // namespace corvantine::util
