// The five 16-byte identifiers that records carry, and the generator of new
// ones. The identifiers share one representation but are distinct types, so
// an event id cannot be passed where a stream id is expected.
#pragma once

#include <bit>
#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "util/coding.h"

namespace corvantine::format {

using IdBytes = util::Bytes16;

// 32 lowercase hexadecimal digits, two per byte, in stored order.
std::string IdBytesToHex(const IdBytes& bytes);
// The inverse of IdBytesToHex; accepts either case. Nothing unless `hex` is
// exactly 32 hexadecimal digits.
std::optional<IdBytes> IdBytesFromHex(std::string_view hex);
// The compact JSON array of the 16 bytes as decimal numbers: "[0,1,...,15]".
std::string IdBytesToJsonArray(const IdBytes& bytes);

// An identifier: 16 bytes, compared and hashed byte by byte. In records and
// files it is written as its 16 bytes in order, with no length prefix.
template <typename Tag>
class Id {
 public:
  constexpr Id() = default;  // all zero bytes
  constexpr explicit Id(const IdBytes& bytes) : bytes_(bytes) {}

  static std::optional<Id> FromHex(std::string_view hex) {
    std::optional<IdBytes> bytes = IdBytesFromHex(hex);
    if (!bytes) return std::nullopt;
    return Id(*bytes);
  }

  // In the binary codec: the 16 bytes, with no length.
  static constexpr size_t kMinEncodedBytes = sizeof(IdBytes);

  const IdBytes& bytes() const { return bytes_; }
  // The identifier's text form, also its debug text.
  std::string ToHex() const { return IdBytesToHex(bytes_); }
  std::string ToJsonArray() const { return IdBytesToJsonArray(bytes_); }

  // A fixed-size compare the compiler inlines, where the array's own
  // equality calls memcmp: ids are compared at every probe of a map.
  friend bool operator==(const Id& a, const Id& b) {
    return std::memcmp(a.bytes_.data(), b.bytes_.data(), sizeof(IdBytes)) == 0;
  }
  // Byte by byte, like the defaulted comparison, but eight bytes at a time:
  // ids key the maps and sorted lists that every append and read consults.
  friend std::strong_ordering operator<=>(const Id& a, const Id& b) {
    for (size_t i = 0; i < a.bytes_.size(); i += 8) {
      const uint64_t x = BigEndianWord(a.bytes_.data() + i);
      const uint64_t y = BigEndianWord(b.bytes_.data() + i);
      if (x != y) return x <=> y;
    }
    return std::strong_ordering::equal;
  }

 private:
  // The eight bytes at `src` read big-endian: the words order as the byte
  // strings do.
  static uint64_t BigEndianWord(const uint8_t* src) {
    uint64_t word;
    std::memcpy(&word, src, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
  }

  IdBytes bytes_{};
};

struct EventIdTag;
struct StreamIdTag;
struct BranchIdTag;
struct BatchIdTag;
struct DatabaseIdTag;

using EventId = Id<EventIdTag>;
using StreamId = Id<StreamIdTag>;
using BranchId = Id<BranchIdTag>;  // all zero bytes: the default branch
using BatchId = Id<BatchIdTag>;
using DatabaseId = Id<DatabaseIdTag>;

// New identifiers are composed of the wall clock and a process-wide counter:
// bytes 0..8 the nanoseconds since the Unix epoch, bytes 8..16 the counter
// XOR (process id << 32), both little-endian. Two ids made in one process
// differ in bytes 8..16 until the counter wraps.

// Advances the process-wide id counter (first value 1) and returns the value
// it held before. Safe from any thread.
uint64_t NextIdCounter();
// Nanoseconds since the Unix epoch, wrapping at 2^64; 0 before the epoch.
uint64_t UnixNanos(std::chrono::system_clock::time_point time);
IdBytes ComposeIdBytes(uint64_t unix_nanos, uint64_t counter, uint32_t process_id);
// ComposeIdBytes of the current time, the next counter value and this process.
IdBytes GenerateIdBytes();

// Ids in the binary codec: their 16 bytes, with no length.
inline constexpr size_t kEncodedIdBytes = sizeof(IdBytes);

template <typename Tag>
void PutId(util::BinaryWriter& writer, const Id<Tag>& id) {
  writer.PutArray16(id.bytes());
}

template <typename IdType>
Result<IdType> ReadId(util::BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(const util::Bytes16 bytes, reader.Array16());
  return IdType(bytes);
}

}  // namespace corvantine::format

template <typename Tag>
struct std::hash<corvantine::format::Id<Tag>> {
  size_t operator()(const corvantine::format::Id<Tag>& id) const {
    const auto& bytes = id.bytes();
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
};
