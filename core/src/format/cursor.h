// A bounded little-endian reader over a borrowed byte string, on which the
// envelope decoder is built. Every read consumes from the front; a read that
// runs past the end fails with InvalidFormat "truncated v2 envelope", after
// which the cursor must not be used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "error/error.h"
#include "util/coding.h"

namespace corvantine::format {

class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : rest_(bytes) {}

  size_t remaining() const { return rest_.size(); }
  // The bytes not read yet.
  std::string_view rest() const { return rest_; }

  // The next n bytes, borrowed from the input.
  Result<std::string_view> Take(size_t n) {
    if (rest_.size() < n) return Truncated();
    std::string_view taken = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return taken;
  }

  Result<uint16_t> U16() { return Fixed<uint16_t, util::DecodeFixed16>(); }
  Result<uint32_t> U32() { return Fixed<uint32_t, util::DecodeFixed32>(); }

  // A u16 length L, then L bytes. L above `limit` fails with ResourceLimit
  // "short byte string" before the presence of the L bytes is tested.
  Result<std::string_view> ShortBytes(uint16_t limit);

 private:
  static CorvantineError Truncated();

  // The decoder is a template argument so that it is inlined.
  template <typename T, auto decode>
  Result<T> Fixed() {
    if (rest_.size() < sizeof(T)) return Truncated();
    const auto value = decode(rest_.data());
    rest_.remove_prefix(sizeof(T));
    return static_cast<T>(value);
  }

  std::string_view rest_;
};

}  // namespace corvantine::format
