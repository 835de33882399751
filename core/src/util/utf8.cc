#include "util/utf8.h"

#include <cstdint>

#include "util/coding.h"

namespace corvantine::util {

namespace {

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed sequence that starts at text[0], a byte at or
// above 0x80, or 0 if there is none. The lead byte fixes the length and the
// range of the second byte; that range is what excludes overlong forms (E0,
// F0), surrogates (ED) and code points above U+10FFFF (F4).
size_t MultiByteLength(const uint8_t* text, size_t left) {
  const uint8_t lead = text[0];
  size_t length;
  uint8_t second_min = 0x80;
  uint8_t second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return 0;  // a continuation byte, C0, C1 or F5 and above
  }
  if (left < length) return 0;
  if (text[1] < second_min || text[1] > second_max) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!IsContinuation(text[i])) return 0;
  }
  return length;
}

bool AllAscii(const char* eight_bytes) {
  return (DecodeFixed64(eight_bytes) & 0x8080808080808080) == 0;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    // Most text is ASCII: skip it eight bytes at a time.
    while (size - i >= 8 && AllAscii(text.data() + i)) i += 8;
    if (i == size) break;
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    const size_t length = MultiByteLength(bytes + i, size - i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace corvantine::util
