#include "util/json_scanner.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>

#include <fmt/format.h>

#include "util/coding.h"
#include "util/json_writer.h"
#include "util/utf8.h"

namespace corvantine::util::json {
namespace {

// The parser's messages; the scanner's class holds those its readers share.
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kNumberOutOfRange = "number out of range";
constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kRecursionLimit = "recursion limit exceeded";

bool IsWhitespace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Bytes that end a run of plain string content.
constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = c < 0x20 || c == '"' || c == '\\';
  return table;
}();

// Whether any of the eight bytes of `word` may stop a string: a quote, a
// backslash or a control character. It may also say so for other bytes
// next to those or at or above 0x80; the caller then looks byte by byte.
bool MayStopString(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighs = 0x8080808080808080u;
  const auto has_below = [](uint64_t w, uint8_t n) { return (w - kOnes * n) & ~w & kHighs; };
  return has_below(word ^ (kOnes * '"'), 1) | has_below(word ^ (kOnes * '\\'), 1) |
         has_below(word, 0x20);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code_point >> 6));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code_point >> 12));
    out->push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code_point >> 18));
    out->push_back(static_cast<char>(0x80 | (code_point >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// For the text of a number that a double cannot hold (std::from_chars said
// out of range): whether it is too large rather than too small.
bool ExceedsDouble(std::string_view text) {
  const size_t e = text.find_first_of("eE");
  std::string_view mantissa = text.substr(0, e);
  if (mantissa.front() == '-') mantissa.remove_prefix(1);
  const size_t point = std::min(mantissa.find('.'), mantissa.size());
  // The decimal exponent of the first significant digit; a zero mantissa
  // never gets here.
  int64_t magnitude = static_cast<int64_t>(point) - 1;
  if (mantissa.front() == '0') {
    magnitude = -static_cast<int64_t>(mantissa.find_first_not_of('0', point + 1) - point);
  }
  if (e == std::string_view::npos) return magnitude > 0;
  std::string_view exponent = text.substr(e + 1);
  const bool negative = exponent.front() == '-';
  if (negative || exponent.front() == '+') exponent.remove_prefix(1);
  constexpr int64_t kDecisive = int64_t{1} << 62;
  int64_t value = kDecisive;
  uint64_t parsed;
  if (std::from_chars(exponent.data(), exponent.data() + exponent.size(), parsed).ec ==
          std::errc() &&
      parsed < static_cast<uint64_t>(kDecisive)) {
    value = static_cast<int64_t>(parsed);
  }
  return magnitude + (negative ? -value : value) > 0;
}

// How "invalid type" messages describe a number.
std::string Describe(const Number& number) {
  switch (number.kind) {
    case Number::Kind::kUnsigned: return fmt::format("integer `{}`", number.u64);
    case Number::Kind::kNegative: return fmt::format("integer `{}`", number.i64);
    case Number::Kind::kFloat: break;
  }
  std::string out = "floating point `";
  AppendDouble(number.f64, &out);
  out += '`';
  return out;
}

// How "invalid type: string ..." messages show a string:
// quoted, with quotes, backslashes and control characters escaped.
std::string DebugQuoted(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '\0': out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (byte < 0x20 || byte == 0x7F) {
      fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080..U+009F, the C1 controls.
      fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}",
                     static_cast<unsigned char>(text[++i]));
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  out += '"';
  return out;
}

}  // namespace

Error Error::Custom(std::string message) { return Error{std::move(message), false}; }

Error InvalidLength(size_t length, std::string_view expected) {
  return Error::Custom(fmt::format("invalid length {}, expected {}", length, expected));
}

Scanner::Scanner(std::string_view text) : text_(text) {}

// ---- Values pulled piece by piece.

Result<bool> Scanner::ReadBool() {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c != 't' && c != 'f') return InvalidType("a boolean");
  ++index_;
  CVN_TRY(ScanIdent(c == 't' ? "rue" : "alse"));
  return c == 't';
}

Result<bool> Scanner::TakeNull() {
  char c;
  if (!PeekNonWhitespace(&c) || c != 'n') return false;
  ++index_;
  CVN_TRY(ScanIdent("ull"));
  return true;
}

Result<Scanner::Kind> Scanner::PeekKind() {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  switch (c) {
    case 'n': return Kind::kNull;
    case 't':
    case 'f': return Kind::kBool;
    case '"': return Kind::kString;
    case '[': return Kind::kArray;
    case '{': return Kind::kObject;
    default: break;
  }
  if (c == '-' || IsDigit(c)) return Kind::kNumber;
  return PeekError(kExpectedValue);
}

Result<> Scanner::ReadNumber(Number* number) { return ReadNumber("a number", number); }

Result<> Scanner::ReadNumber(std::string_view expected, Number* number) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c == '-') {
    ++index_;
    return ScanNumber(true, Mode::kStrict, number);
  }
  if (IsDigit(c)) return ScanNumber(false, Mode::kStrict, number);
  return InvalidType(expected);
}

Result<> Scanner::ReadStringView(std::string_view* text) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c != '"') return InvalidType("a string");
  ++index_;
  return ScanString(Mode::kStrict, &scratch_, text);
}

Result<> Scanner::BeginArray() { return Begin('[', "a sequence"); }
Result<> Scanner::BeginObject() { return Begin('{', "a map"); }

Result<> Scanner::Finish() {
  char c;
  if (PeekNonWhitespace(&c)) return PeekError(kTrailingCharacters);
  return {};
}

Result<bool> Scanner::NextElement() {
  CVN_ASSIGN_OR_RETURN(const bool more, NextItem(false, first_, Mode::kStrict));
  if (!more) {
    Close();
    return false;
  }
  first_ = false;
  return true;
}

namespace {

unsigned DigitAt(const char* at) { return static_cast<unsigned>(*at) - '0'; }

// The compact integer 0..255 at `at` followed by a comma or a closing
// bracket, with at least four characters readable from `at`: its length, or
// 0 for anything else. Leading zeros, longer numbers, fractions and
// exponents are not taken.
size_t PlainByteAt(const char* at, unsigned* value) {
  const unsigned first = DigitAt(at);
  if (first > 9) return 0;
  size_t length = 1;
  *value = first;
  if (first != 0) {
    for (unsigned digit; length < 3 && (digit = DigitAt(at + length)) <= 9; ++length) {
      *value = *value * 10 + digit;
    }
  }
  const char end = at[length];
  if (*value > UINT8_MAX || (end != ',' && end != ']')) return 0;
  return length;
}

}  // namespace

// One element per round, each a few comparisons, written through a pointer
// into room made ahead: a checkpoint of tens of megabytes is mostly such
// elements. The last three characters of the text are left to the
// element-by-element path, so that an element and its terminator are read
// without a bounds check.
void Scanner::TakePlainBytes(std::string* out) {
  const char* const text = text_.data();
  const char* const last = text + text_.size() - std::min<size_t>(text_.size(), 3);
  const char* at = text + index_;
  if (!first_) {
    if (at >= last || *at != ',') return;
    ++at;
  }
  // Locals only in the loop: a store through a char pointer may alias any
  // member, which would have each round reload them.
  const size_t kept = out->size();
  out->resize(std::max<size_t>(out->capacity(), kept + 64));
  char* next = out->data() + kept;
  char* room_end = out->data() + out->size();
  const char* taken_end = nullptr;  // just past the last element taken
  unsigned value = 0;
  for (size_t length; at < last && (length = PlainByteAt(at, &value)) != 0;) {
    if (next == room_end) {
      const size_t filled = out->size();
      out->resize(2 * filled);
      next = out->data() + filled;
      room_end = out->data() + out->size();
    }
    *next++ = static_cast<char>(value);
    taken_end = at + length;
    if (*taken_end == ']') break;
    at = taken_end + 1;
  }
  out->resize(static_cast<size_t>(next - out->data()));
  if (taken_end != nullptr) {
    index_ = static_cast<size_t>(taken_end - text);
    first_ = false;
  }
}

Result<bool> Scanner::NextKey(std::string_view* key) {
  CVN_ASSIGN_OR_RETURN(const bool more, NextItem(true, first_, Mode::kStrict));
  if (!more) {
    Close();
    return false;
  }
  first_ = false;
  ++index_;  // the opening quote
  CVN_TRY(ScanString(Mode::kStrict, &scratch_, key));
  return true;
}

Result<> Scanner::ReadColon() {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofObject);
  if (c != ':') return PeekError(kExpectedColon);
  ++index_;
  return {};
}

// At the value: its opening bracket must be `open`.
Result<> Scanner::Begin(char open, std::string_view expected) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c != open) return InvalidType(expected);
  return Open();
}

// At the opening bracket of an array or object whose content is pulled.
Result<> Scanner::Open() {
  CVN_TRY(EnterNested());
  ++index_;
  first_ = true;
  return {};
}

Result<> Scanner::EnterNested() {
  if (--depth_left_ == 0) return PeekError(kRecursionLimit);
  return {};
}

// At the closing bracket of the innermost pulled container. The one around
// it has pulled at least this one.
void Scanner::Close() {
  ++index_;
  ++depth_left_;
  first_ = false;
}

Result<> Scanner::EndSeq() {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofList);
  if (c == ']') {
    Close();
    return {};
  }
  if (c == ',') {
    ++index_;
    if (PeekNonWhitespace(&c) && c == ']') return PeekError(kTrailingComma);
  }
  return PeekError(kTrailingCharacters);
}

Result<> Scanner::EndMap() {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofObject);
  if (c == '}') {
    Close();
    return {};
  }
  return PeekError(c == ',' ? kTrailingComma : kTrailingCharacters);
}

// Before an element or member of an open container: false at its end (the
// bracket not consumed), true before the next value or key (after the comma).
Result<bool> Scanner::NextItem(bool object, bool first, Mode mode) {
  const char close = object ? '}' : ']';
  char c;
  bool at_end = !PeekNonWhitespace(&c);
  if (!at_end && c == close) return false;
  if (at_end) return PeekError(object ? kEofObject : kEofList);
  if (!first) {
    if (c != ',') return PeekError(object ? kExpectedObjectCommaOrEnd : kExpectedListCommaOrEnd);
    ++index_;
    at_end = !PeekNonWhitespace(&c);
    if (!at_end && c == close) {
      // IgnoredAny reads on after a comma as if a value or key followed.
      if (mode == Mode::kStrict) return PeekError(kTrailingComma);
      return PeekError(object ? kKeyMustBeString : kExpectedValue);
    }
    if (at_end && object) return PeekError(mode == Mode::kStrict ? kEofValue : kEofObject);
  }
  if (object && c != '"') return PeekError(kKeyMustBeString);
  return true;
}

// ---- Tokens.

bool Scanner::SkipWhitespace(char* c) {
  while (index_ < text_.size() && IsWhitespace(text_[index_])) ++index_;
  if (index_ == text_.size()) return false;
  *c = text_[index_];
  return true;
}

Result<> Scanner::ScanIdent(std::string_view rest) {
  for (const char expected : rest) {
    if (index_ == text_.size()) return ErrorHere(kEofValue);
    if (text_[index_++] != expected) return ErrorHere(kExpectedIdent);
  }
  return {};
}

// After the opening quote. Sets *text to the content, decoded into *decoded
// when the string holds escapes (with no `decoded`, an empty view then).
Result<> Scanner::ScanString(Mode mode, std::string* decoded, std::string_view* text) {
  const size_t start = index_;
  size_t copied_to = start;  // content before this is in *decoded
  bool escaped = false;
  unsigned high_bits = 0;
  if (decoded != nullptr) decoded->clear();
  for (;;) {
    // Eight bytes at a time through plain text, then byte by byte.
    uint64_t words_seen = 0;
    for (uint64_t word; index_ + 8 <= text_.size() &&
                        !MayStopString(word = DecodeFixed64(text_.data() + index_));
         index_ += 8) {
      words_seen |= word;
    }
    if ((words_seen & 0x8080808080808080u) != 0) high_bits |= 0x80;
    while (index_ < text_.size()) {
      const auto byte = static_cast<unsigned char>(text_[index_]);
      if (kStringStop[byte]) break;
      high_bits |= byte;
      ++index_;
    }
    if (index_ == text_.size()) return ErrorHere(kEofString);
    const char c = text_[index_];
    if (c == '"') {
      const std::string_view raw = text_.substr(start, index_ - start);
      ++index_;
      // Escapes are ASCII, so the raw text is valid UTF-8 exactly when the
      // decoded string is.
      if (mode == Mode::kStrict && (high_bits & 0x80) != 0 && !IsValidUtf8(raw)) {
        return ErrorHere(kInvalidCodePoint);
      }
      if (!escaped) {
        *text = raw;
      } else if (decoded == nullptr) {
        *text = std::string_view();
      } else {
        decoded->append(text_.substr(copied_to, index_ - 1 - copied_to));
        *text = *decoded;
      }
      return {};
    }
    if (c == '\\') {
      if (decoded != nullptr) decoded->append(text_.substr(copied_to, index_ - copied_to));
      ++index_;
      escaped = true;
      CVN_TRY(ScanEscape(mode, decoded));
      copied_to = index_;
      continue;
    }
    // A control character; IgnoredAny reports it one byte earlier.
    if (mode == Mode::kStrict) ++index_;
    return ErrorHere(kControlCharacter);
  }
}

// After the backslash.
Result<> Scanner::ScanEscape(Mode mode, std::string* decoded) {
  if (index_ == text_.size()) return ErrorHere(kEofString);
  char simple;
  switch (text_[index_++]) {
    case '"': simple = '"'; break;
    case '\\': simple = '\\'; break;
    case '/': simple = '/'; break;
    case 'b': simple = '\b'; break;
    case 'f': simple = '\f'; break;
    case 'n': simple = '\n'; break;
    case 'r': simple = '\r'; break;
    case 't': simple = '\t'; break;
    case 'u': return ScanUnicodeEscape(mode, decoded);
    default: return ErrorHere(kInvalidEscape);
  }
  if (decoded != nullptr) decoded->push_back(simple);
  return {};
}

// After "\u". A surrogate must be the leading half of a pair, unless
// IgnoredAny reads it.
Result<> Scanner::ScanUnicodeEscape(Mode mode, std::string* decoded) {
  CVN_ASSIGN_OR_RETURN(const uint16_t unit, ScanHex4());
  if (mode == Mode::kIgnore) return {};
  uint32_t code_point = unit;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return ErrorHere(kLoneSurrogate);
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    for (const char expected : {'\\', 'u'}) {
      if (index_ == text_.size()) return ErrorHere(kEofString);
      if (text_[index_++] != expected) return ErrorHere(kUnexpectedEndOfHexEscape);
    }
    CVN_ASSIGN_OR_RETURN(const uint16_t low, ScanHex4());
    if (low < 0xDC00 || low > 0xDFFF) return ErrorHere(kLoneSurrogate);
    code_point = 0x10000 + ((unit - 0xD800u) << 10) + (low - 0xDC00u);
  }
  if (decoded != nullptr) AppendUtf8(code_point, decoded);
  return {};
}

Result<uint16_t> Scanner::ScanHex4() {
  if (text_.size() - index_ < 4) {
    index_ = text_.size();
    return ErrorHere(kEofString);
  }
  int value = 0;
  bool valid = true;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexValue(text_[index_ + i]);
    valid = valid && digit >= 0;
    value = value << 4 | (digit & 0xF);
  }
  index_ += 4;
  if (!valid) return ErrorHere(kInvalidEscape);
  return static_cast<uint16_t>(value);
}

Result<> Scanner::ScanNumberAt(char first, Mode mode, Number* number) {
  if (first != '-' && !IsDigit(first)) return PeekError(kExpectedValue);
  if (first == '-') ++index_;
  return ScanNumber(first == '-', mode, number);
}

// After the sign. Integers that fit u64 (or i64 when negative) stay exact;
// the rest are floats, and in strict mode a float too large for a double
// fails. IgnoredAny checks the syntax only and converts nothing.
Result<> Scanner::ScanNumber(bool negative, Mode mode, Number* number) {
  const bool strict = mode == Mode::kStrict;
  // IgnoredAny reads a missing digit at the end of the input as a NUL byte.
  const std::string_view missing_digit = strict ? kEofValue : kInvalidNumber;
  const size_t start = negative ? index_ - 1 : index_;
  const size_t size = text_.size();
  if (index_ == size) return ErrorHere(missing_digit);
  const char lead = text_[index_++];
  if (!IsDigit(lead)) return ErrorHere(kInvalidNumber);
  const size_t integer_end = DigitsEnd(index_);
  if (lead == '0' && integer_end != index_) return PeekError(kInvalidNumber);
  uint64_t magnitude = 0;
  const char* integer = text_.data() + index_ - 1;
  const bool fits =
      std::from_chars(integer, text_.data() + integer_end, magnitude).ec == std::errc();
  index_ = integer_end;
  bool is_float = !fits;
  if (index_ < size && text_[index_] == '.') {
    const size_t digits = ++index_;
    index_ = DigitsEnd(index_);
    if (index_ == digits) return PeekError(index_ < size || !strict ? kInvalidNumber : kEofValue);
    is_float = true;
  }
  if (index_ < size && (text_[index_] == 'e' || text_[index_] == 'E')) {
    ++index_;
    if (index_ < size && (text_[index_] == '+' || text_[index_] == '-')) ++index_;
    if (index_ == size) return ErrorHere(missing_digit);
    if (!IsDigit(text_[index_++])) return ErrorHere(kInvalidNumber);
    index_ = DigitsEnd(index_);
    is_float = true;
  }
  number->text = text_.substr(start, index_ - start);
  // -0 reads as the integer 0, and a negative integer below i64's range as
  // a float.
  if (!is_float && (!negative || magnitude == 0)) {
    number->kind = Number::Kind::kUnsigned;
    number->u64 = magnitude;
    return {};
  }
  if (!is_float && magnitude <= uint64_t{1} << 63) {
    number->kind = Number::Kind::kNegative;
    number->i64 = static_cast<int64_t>(0 - magnitude);
    return {};
  }
  number->kind = Number::Kind::kFloat;
  if (!strict) return {};
  const std::string_view text = number->text;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number->f64);
  if (ec == std::errc::result_out_of_range) {
    if (ExceedsDouble(text)) return ErrorHere(kNumberOutOfRange);
    // Too small for a double: zero.
    number->f64 = negative ? -0.0 : 0.0;
  }
  return {};
}

inline size_t Scanner::DigitsEnd(size_t from) const {
  while (from < text_.size() && IsDigit(text_[from])) ++from;
  return from;
}

// ---- Errors.

Error Scanner::ErrorAt(size_t index, std::string_view what) const {
  const std::string_view before = text_.substr(0, index);
  const size_t line_start = before.rfind('\n') + 1;  // npos + 1 == 0
  const auto line = 1 + std::count(before.begin(), before.begin() + line_start, '\n');
  return Error{fmt::format("{} at line {} column {}", what, line, index - line_start)};
}

// An error placed at the bytes consumed so far.
Error Scanner::ErrorHere(std::string_view what) const { return ErrorAt(index_, what); }

// An error placed after the peeked byte, which counts as consumed.
Error Scanner::PeekError(std::string_view what) const {
  return ErrorAt(std::min(text_.size(), index_ + 1), what);
}

Error Scanner::Place(Error error) const {
  if (error.has_position) return error;
  return ErrorHere(error.message);
}

// An "invalid type" error: reads the value in the way (a scalar
// whole, a container not at all) to describe it.
Error Scanner::InvalidType(std::string_view expected) {
  const char c = index_ < text_.size() ? text_[index_] : '\0';
  std::string got;
  switch (c) {
    case 'n':
    case 't':
    case 'f': {
      ++index_;
      Result<> ident = ScanIdent(c == 'n' ? "ull" : c == 't' ? "rue" : "alse");
      if (!ident.ok()) return std::move(ident).error();
      got = c == 'n' ? "null" : c == 't' ? "boolean `true`" : "boolean `false`";
      break;
    }
    case '"': {
      ++index_;
      std::string_view text;
      Result<> scanned = ScanString(Mode::kStrict, &scratch_, &text);
      if (!scanned.ok()) return std::move(scanned).error();
      got = "string " + DebugQuoted(text);
      break;
    }
    case '[': got = "sequence"; break;
    case '{': got = "map"; break;
    default: {
      Number number;
      Result<> scanned = ScanNumberAt(c, Mode::kStrict, &number);
      if (!scanned.ok()) return std::move(scanned).error();
      got = Describe(number);
    }
  }
  return ErrorHere(fmt::format("invalid type: {}, expected {}", got, expected));
}

Error Scanner::NumberMismatch(const char* problem, const Number& number,
                             std::string_view expected) const {
  return ErrorHere(fmt::format("{}: {}, expected {}", problem, Describe(number), expected));
}

}  // namespace corvantine::util::json
