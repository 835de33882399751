#include "util/json_reader.h"

#include <algorithm>
#include <bitset>
#include <cassert>
#include <charconv>
#include <iterator>
#include <limits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "util/coding.h"
#include "util/json_writer.h"
#include "util/utf8.h"

namespace corvantine::util::json {
namespace {

// serde_json's messages.
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kExpectedValue = "expected value";
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

// serde's description of a number in "invalid type" messages.
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

// serde's Debug form of a string in "invalid type: string ..." messages:
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

// "`A`", "`A` or `B`", "one of `A`, `B`, `C`", as serde lists variants.
std::string OneOf(std::span<const std::string_view> names) {
  if (names.size() == 1) return fmt::format("`{}`", names[0]);
  if (names.size() == 2) return fmt::format("`{}` or `{}`", names[0], names[1]);
  return fmt::format("one of `{}`", fmt::join(names, "`, `"));
}

template <typename T>
Result<> Store(Result<T> value, T* out) {
  if (!value.ok()) return std::move(value).error();
  *out = std::move(value).value();
  return {};
}

template <typename T>
Result<T> Narrow(Result<uint64_t> value) {
  if (!value.ok()) return std::move(value).error();
  return static_cast<T>(*value);
}

}  // namespace

// Which of the open containers are objects, innermost last. Inline up to the
// nesting limit; only IgnoreValue, which has none, goes beyond.
class Reader::ContainerStack {
 public:
  bool empty() const { return size_ == 0; }
  bool InObject() const {
    const size_t top = size_ - 1;
    return top < kInline ? inline_[top] : spill_[top - kInline];
  }
  void Push(bool object) {
    if (size_ < kInline) {
      inline_[size_] = object;
    } else {
      spill_.push_back(object);
    }
    ++size_;
  }
  void Pop() {
    --size_;
    if (size_ >= kInline) spill_.pop_back();
  }

 private:
  static constexpr size_t kInline = 128;
  std::bitset<kInline> inline_;
  std::vector<bool> spill_;
  size_t size_ = 0;
};

// Walk sinks: one builds the value, the other discards it.
class Reader::DomBuilder {
 public:
  static constexpr bool kBuilds = true;

  void OnNull() { Add(nullptr); }
  void OnBool(bool value) { Add(value); }
  void OnString(std::string_view text) { Add(std::string(text)); }
  void OnNumber(const Number& number) {
    switch (number.kind) {
      case Number::Kind::kUnsigned: Add(number.u64); return;
      case Number::Kind::kNegative: Add(number.i64); return;
      case Number::Kind::kFloat: Add(number.f64); return;
    }
  }
  void OnKey(std::string_view key) { key_.assign(key); }
  void OnOpen(bool object) {
    open_.push_back(Add(object ? nlohmann::json::object() : nlohmann::json::array()));
  }
  void OnClose() { open_.pop_back(); }

  nlohmann::json Take() { return std::move(root_); }

 private:
  // Only the innermost open container grows, so the pointers to the open
  // ones stay valid.
  nlohmann::json* Add(nlohmann::json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    nlohmann::json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    nlohmann::json& slot = parent[key_];  // the last of duplicate keys wins
    slot = std::move(value);
    return &slot;
  }

  nlohmann::json root_;
  std::vector<nlohmann::json*> open_;
  std::string key_;
};

struct Reader::Discard {
  static constexpr bool kBuilds = false;

  void OnNull() {}
  void OnBool(bool) {}
  void OnString(std::string_view) {}
  void OnNumber(const Number&) {}
  void OnKey(std::string_view) {}
  void OnOpen(bool) {}
  void OnClose() {}
};

Error Error::Custom(std::string message) { return Error{std::move(message), false}; }

Error InvalidLength(size_t length, std::string_view expected) {
  return Error::Custom(fmt::format("invalid length {}, expected {}", length, expected));
}

Reader::Reader(std::string_view text) : text_(text) {}


// ---- Typed reads: serde's deserialize_* entry points.

Result<uint64_t> Reader::ReadU64() { return ReadUnsigned(UINT64_MAX, "u64"); }
Result<uint32_t> Reader::ReadU32() { return Narrow<uint32_t>(ReadUnsigned(UINT32_MAX, "u32")); }
Result<uint16_t> Reader::ReadU16() { return Narrow<uint16_t>(ReadUnsigned(UINT16_MAX, "u16")); }
Result<uint8_t> Reader::ReadU8() { return Narrow<uint8_t>(ReadUnsigned(UINT8_MAX, "u8")); }

Result<int64_t> Reader::ReadI64() {
  Number number;
  CVN_TRY(ReadNumber("i64", &number));
  switch (number.kind) {
    case Number::Kind::kUnsigned:
      if (number.u64 > INT64_MAX) return NumberMismatch("invalid value", number, "i64");
      return static_cast<int64_t>(number.u64);
    case Number::Kind::kNegative: return number.i64;
    case Number::Kind::kFloat: break;
  }
  return NumberMismatch("invalid type", number, "i64");
}

Result<uint64_t> Reader::ReadUnsigned(uint64_t max, std::string_view expected) {
  Number number;
  CVN_TRY(ReadNumber(expected, &number));
  if (number.kind == Number::Kind::kUnsigned && number.u64 <= max) return number.u64;
  const bool is_float = number.kind == Number::Kind::kFloat;
  return NumberMismatch(is_float ? "invalid type" : "invalid value", number, expected);
}

Result<> Reader::ReadNumber(std::string_view expected, Number* number) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c == '-') {
    ++index_;
    return ScanNumber(true, Mode::kStrict, number);
  }
  if (IsDigit(c)) return ScanNumber(false, Mode::kStrict, number);
  return InvalidType(expected);
}

Result<bool> Reader::ReadBool() {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c != 't' && c != 'f') return InvalidType("a boolean");
  ++index_;
  CVN_TRY(ScanIdent(c == 't' ? "rue" : "alse"));
  return c == 't';
}

Result<std::string> Reader::ReadString() {
  std::string_view text;
  CVN_TRY(ReadStringView(&text));
  return std::string(text);
}

Result<bool> Reader::TakeNull() {
  char c;
  if (!PeekNonWhitespace(&c) || c != 'n') return false;
  ++index_;
  CVN_TRY(ScanIdent("ull"));
  return true;
}

Result<size_t> Reader::ReadVariant(std::span<const std::string_view> names) {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofValue);
  if (c == '"') return MatchVariant(names);
  if (c != '{') return PeekError(kExpectedValue);
  // {"Name":null}: serde reads the unit variant's value as ().
  CVN_TRY(EnterNested());
  ++index_;
  CVN_ASSIGN_OR_RETURN(const size_t variant, MatchVariant(names));
  CVN_TRY(ReadColon());
  CVN_ASSIGN_OR_RETURN(const char value, PeekValueStart());
  if (value != 'n') return InvalidType("unit");
  ++index_;
  CVN_TRY(ScanIdent("ull"));
  ++depth_left_;
  if (!PeekNonWhitespace(&c)) return ErrorHere(kEofObject);
  if (c != '}') return ErrorHere(kExpectedValue);
  ++index_;
  return variant;
}

Result<size_t> Reader::MatchVariant(std::span<const std::string_view> names) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c != '"') return InvalidType("variant identifier");
  ++index_;
  std::string_view name;
  CVN_TRY(ScanString(Mode::kStrict, &scratch_, &name));
  const auto found = std::find(names.begin(), names.end(), name);
  if (found != names.end()) return static_cast<size_t>(found - names.begin());
  if (names.empty()) return ErrorHere(fmt::format("unknown variant `{}`, there are no variants", name));
  return ErrorHere(fmt::format("unknown variant `{}`, expected {}", name, OneOf(names)));
}

Result<nlohmann::json> Reader::ReadValue() {
  DomBuilder builder;
  CVN_TRY(Walk(Mode::kStrict, builder));
  return builder.Take();
}

Result<Reader::Kind> Reader::PeekKind() {
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

Result<> Reader::ReadNumber(Number* number) { return ReadNumber("a number", number); }

Result<> Reader::ReadStringView(std::string_view* text) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c != '"') return InvalidType("a string");
  ++index_;
  return ScanString(Mode::kStrict, &scratch_, text);
}

Result<> Reader::BeginArray() { return Begin('[', "a sequence"); }
Result<> Reader::BeginObject() { return Begin('{', "a map"); }

Result<> Reader::SkipValue() {
  Discard discard;
  return Walk(Mode::kStrict, discard);
}

Result<> Reader::IgnoreValue() {
  Discard discard;
  return Walk(Mode::kIgnore, discard);
}

Result<> Reader::Finish() {
  char c;
  if (PeekNonWhitespace(&c)) return PeekError(kTrailingCharacters);
  return {};
}

// ---- Structs, sequences and maps.

Result<> Reader::ReadStruct(std::string_view name, std::span<const Field> fields) {
  assert(fields.size() <= 64);
  const ReadFn as_array = [&](Reader&) { return VisitStructArray(name, fields); };
  const ReadFn as_object = [&](Reader&) { return VisitStructObject(fields); };
  return Visit(fmt::format("struct {}", name), &as_array, &as_object);
}

Result<> Reader::VisitStructArray(std::string_view name, std::span<const Field> fields) {
  bool ended = false;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!ended) {
      CVN_ASSIGN_OR_RETURN(const bool more, NextElement());
      ended = !more;
    }
    if (!ended) {
      CVN_TRY(fields[i].read(*this));
    } else if (fields[i].presence != Presence::kDefault) {
      return InvalidLength(i, fmt::format("struct {} with {} element{}", name, fields.size(),
                                          fields.size() == 1 ? "" : "s"));
    }
  }
  return {};
}

Result<> Reader::VisitStructObject(std::span<const Field> fields) {
  std::bitset<64> seen;
  for (;;) {
    std::string_view key;
    CVN_ASSIGN_OR_RETURN(const bool more, NextKey(&key));
    if (!more) break;
    const auto field = std::find_if(fields.begin(), fields.end(),
                                    [&](const Field& f) { return f.name == key; });
    if (field == fields.end()) {
      CVN_TRY(ReadColon());
      CVN_TRY(IgnoreValue());
      continue;
    }
    const size_t i = field - fields.begin();
    if (seen[i]) return Error::Custom(fmt::format("duplicate field `{}`", field->name));
    seen[i] = true;
    CVN_TRY(ReadColon());
    CVN_TRY(field->read(*this));
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!seen[i] && fields[i].presence == Presence::kRequired) {
      return Error::Custom(fmt::format("missing field `{}`", fields[i].name));
    }
  }
  return {};
}

Result<> Reader::ReadSeq(std::string_view expected, const ReadFn& visit) {
  return Visit(expected, &visit, nullptr);
}

Result<> Reader::ReadMap(std::string_view expected, const ReadFn& visit) {
  return Visit(expected, nullptr, &visit);
}

Result<bool> Reader::NextElement() {
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
void Reader::TakePlainBytes(std::string* out) {
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

Result<bool> Reader::NextKey(std::string_view* key) {
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

Result<> Reader::ReadColon() {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofObject);
  if (c != ':') return PeekError(kExpectedColon);
  ++index_;
  return {};
}

// serde_json's deserialize_seq, _map and _struct: the container, then its
// visitor, then its end.
Result<> Reader::Visit(std::string_view expected, const ReadFn* seq, const ReadFn* map) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  const ReadFn* visit = c == '[' ? seq : c == '{' ? map : nullptr;
  if (visit == nullptr) return InvalidType(expected);
  const int outside = depth_left_;
  CVN_TRY(Open());
  Result<> visited = (*visit)(*this);
  // The end is read even after a failed visit, as serde_json does: it moves
  // the position given to a failure that has none yet. A visitor that pulled
  // every element has read it already.
  Result<> ended;
  if (depth_left_ != outside) ended = c == '[' ? EndSeq() : EndMap();
  if (!visited.ok()) return Place(std::move(visited).error());
  return ended;
}

// At the value: its opening bracket must be `open`.
Result<> Reader::Begin(char open, std::string_view expected) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  if (c != open) return InvalidType(expected);
  return Open();
}

// At the opening bracket of an array or object whose content is pulled.
Result<> Reader::Open() {
  CVN_TRY(EnterNested());
  ++index_;
  first_ = true;
  return {};
}

Result<> Reader::EnterNested() {
  if (--depth_left_ == 0) return PeekError(kRecursionLimit);
  return {};
}

// At the closing bracket of the innermost pulled container. The one around
// it has pulled at least this one.
void Reader::Close() {
  ++index_;
  ++depth_left_;
  first_ = false;
}

Result<> Reader::EndSeq() {
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

Result<> Reader::EndMap() {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofObject);
  if (c == '}') {
    Close();
    return {};
  }
  return PeekError(c == ',' ? kTrailingComma : kTrailingCharacters);
}

// ---- Whole values, without a visitor: serde_json's Value and IgnoredAny.

template <typename Sink>
Result<> Reader::Walk(Mode mode, Sink& sink) {
  const bool strict = mode == Mode::kStrict;
  ContainerStack open;
  for (;;) {
    CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
    bool first = false;
    if (c == '[' || c == '{') {
      if (strict) CVN_TRY(EnterNested());
      ++index_;
      open.Push(c == '{');
      sink.OnOpen(c == '{');
      first = true;
    } else {
      CVN_TRY(WalkScalar(c, mode, sink));
    }
    // Close what ends here; stop before the next element or member.
    for (;;) {
      if (open.empty()) return {};
      CVN_ASSIGN_OR_RETURN(const bool more, NextItem(open.InObject(), first, mode));
      if (more) break;
      ++index_;
      open.Pop();
      if (strict) ++depth_left_;
      sink.OnClose();
      first = false;
    }
    if (open.InObject()) {
      ++index_;  // the key's opening quote
      std::string_view key;
      CVN_TRY(ScanString(mode, Sink::kBuilds ? &scratch_ : nullptr, &key));
      sink.OnKey(key);
      CVN_TRY(ReadColon());
    }
  }
}

template <typename Sink>
Result<> Reader::WalkScalar(char first, Mode mode, Sink& sink) {
  switch (first) {
    case 'n':
      ++index_;
      CVN_TRY(ScanIdent("ull"));
      sink.OnNull();
      return {};
    case 't':
    case 'f':
      ++index_;
      CVN_TRY(ScanIdent(first == 't' ? "rue" : "alse"));
      sink.OnBool(first == 't');
      return {};
    case '"': {
      ++index_;
      std::string_view text;
      CVN_TRY(ScanString(mode, Sink::kBuilds ? &scratch_ : nullptr, &text));
      sink.OnString(text);
      return {};
    }
    default: {
      if (first != '-' && !IsDigit(first)) return PeekError(kExpectedValue);
      if (first == '-') ++index_;
      Number number;
      CVN_TRY(ScanNumber(first == '-', mode, &number));
      sink.OnNumber(number);
      return {};
    }
  }
}

// Before an element or member of an open container: false at its end (the
// bracket not consumed), true before the next value or key (after the comma).
Result<bool> Reader::NextItem(bool object, bool first, Mode mode) {
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

inline Result<char> Reader::PeekValueStart() {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofValue);
  return c;
}

// Inline for compact text, which has no whitespace: any byte above the
// space settles it.
inline bool Reader::PeekNonWhitespace(char* c) {
  if (index_ < text_.size() && static_cast<unsigned char>(text_[index_]) > ' ') {
    *c = text_[index_];
    return true;
  }
  return SkipWhitespace(c);
}

bool Reader::SkipWhitespace(char* c) {
  while (index_ < text_.size() && IsWhitespace(text_[index_])) ++index_;
  if (index_ == text_.size()) return false;
  *c = text_[index_];
  return true;
}

Result<> Reader::ScanIdent(std::string_view rest) {
  for (const char expected : rest) {
    if (index_ == text_.size()) return ErrorHere(kEofValue);
    if (text_[index_++] != expected) return ErrorHere(kExpectedIdent);
  }
  return {};
}

// After the opening quote. Sets *text to the content, decoded into *decoded
// when the string holds escapes (with no `decoded`, an empty view then).
Result<> Reader::ScanString(Mode mode, std::string* decoded, std::string_view* text) {
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
Result<> Reader::ScanEscape(Mode mode, std::string* decoded) {
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
Result<> Reader::ScanUnicodeEscape(Mode mode, std::string* decoded) {
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

Result<uint16_t> Reader::ScanHex4() {
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

// After the sign. Integers that fit u64 (or i64 when negative) stay exact;
// the rest are floats, and in strict mode a float too large for a double
// fails. IgnoredAny checks the syntax only and converts nothing.
Result<> Reader::ScanNumber(bool negative, Mode mode, Number* number) {
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
  // serde_json reads -0 as the integer 0 and a negative integer below i64's
  // range as a float.
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
    // Too small for a double: zero, as in serde_json.
    number->f64 = negative ? -0.0 : 0.0;
  }
  return {};
}

inline size_t Reader::DigitsEnd(size_t from) const {
  while (from < text_.size() && IsDigit(text_[from])) ++from;
  return from;
}

// ---- Errors.

Error Reader::ErrorAt(size_t index, std::string_view what) const {
  const std::string_view before = text_.substr(0, index);
  const size_t line_start = before.rfind('\n') + 1;  // npos + 1 == 0
  const auto line = 1 + std::count(before.begin(), before.begin() + line_start, '\n');
  return Error{fmt::format("{} at line {} column {}", what, line, index - line_start)};
}

// serde_json's error(): at the bytes consumed so far.
Error Reader::ErrorHere(std::string_view what) const { return ErrorAt(index_, what); }

// serde_json's peek_error(): the peeked byte counts as consumed.
Error Reader::PeekError(std::string_view what) const {
  return ErrorAt(std::min(text_.size(), index_ + 1), what);
}

Error Reader::Place(Error error) const {
  if (error.has_position) return error;
  return ErrorHere(error.message);
}

// serde_json's peek_invalid_type(): reads the value in the way (a scalar
// whole, a container not at all) to describe it.
Error Reader::InvalidType(std::string_view expected) {
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
      if (c != '-' && !IsDigit(c)) return PeekError(kExpectedValue);
      if (c == '-') ++index_;
      Number number;
      Result<> scanned = ScanNumber(c == '-', Mode::kStrict, &number);
      if (!scanned.ok()) return std::move(scanned).error();
      got = Describe(number);
    }
  }
  return ErrorHere(fmt::format("invalid type: {}, expected {}", got, expected));
}

Error Reader::NumberMismatch(const char* problem, const Number& number,
                             std::string_view expected) const {
  return ErrorHere(fmt::format("{}: {}, expected {}", problem, Describe(number), expected));
}

// ---- Documents and typed fields.

Result<> ReadDocument(std::string_view text, const ReadFn& read) {
  Reader reader(text);
  Result<> result = read(reader);
  if (!result.ok()) return reader.Place(std::move(result).error());
  return reader.Finish();
}

Result<> ReadInto(Reader& reader, uint64_t* out) { return Store(reader.ReadU64(), out); }
Result<> ReadInto(Reader& reader, uint32_t* out) { return Store(reader.ReadU32(), out); }
Result<> ReadInto(Reader& reader, uint16_t* out) { return Store(reader.ReadU16(), out); }
Result<> ReadInto(Reader& reader, uint8_t* out) { return Store(reader.ReadU8(), out); }
Result<> ReadInto(Reader& reader, int64_t* out) { return Store(reader.ReadI64(), out); }
Result<> ReadInto(Reader& reader, bool* out) { return Store(reader.ReadBool(), out); }
Result<> ReadInto(Reader& reader, std::string* out) { return Store(reader.ReadString(), out); }

ReadFn IntoByteString(std::string* target) {
  return [target](Reader& reader) -> Result<> {
    std::vector<uint8_t> bytes;
    CVN_TRY(ReadInto(reader, &bytes));
    target->assign(bytes.begin(), bytes.end());
    return {};
  };
}

}  // namespace corvantine::util::json
