#include "util/utf8.h"

#include <algorithm>
#include <cstdint>

#include "util/coding.h"

namespace corvantine::util {

namespace {

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// A multi-byte sequence as far as it is well formed: `length` is what its
// lead byte announces (0 for a byte that leads none), `matched` how many of
// its bytes, from the lead on, fit. The lead byte fixes the length and the
// range of the second byte; that range is what excludes overlong forms (E0,
// F0), surrogates (ED) and code points above U+10FFFF (F4).
struct Sequence {
  size_t length = 0;
  size_t matched = 0;

  bool complete() const { return length != 0 && matched == length; }
};

// Measures the sequence that starts at text[0], a byte at or above 0x80.
Sequence Measure(const uint8_t* text, size_t left) {
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
    return {};  // a continuation byte, C0, C1 or F5 and above
  }
  if (left < 2 || text[1] < second_min || text[1] > second_max) return {length, 1};
  size_t matched = 2;
  while (matched < length && matched < left && IsContinuation(text[matched])) ++matched;
  return {length, matched};
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
    const Sequence sequence = Measure(bytes + i, size - i);
    if (!sequence.complete()) return false;
    i += sequence.length;
  }
  return true;
}

std::string ReplaceInvalidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (bytes[i] < 0x80) {
      out.push_back(text[i++]);
      continue;
    }
    const Sequence sequence = Measure(bytes + i, text.size() - i);
    if (sequence.complete()) {
      out.append(text.substr(i, sequence.length));
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD
    }
    i += std::max<size_t>(sequence.matched, 1);
  }
  return out;
}

}  // namespace corvantine::util
