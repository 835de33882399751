// The token level of JSON reading: whitespace, literals, strings, numbers
// and the brackets, commas and colons around them, with their rules and
// messages.
//
// Every failure is a message ending in " at line {L} column {C}": lines count
// from 1, the column is the number of bytes consumed on the line, and the
// place is where reading stopped. Nesting is limited: 128 arrays or
// objects inside each other are accepted, the 129th fails with "recursion
// limit exceeded", so no input can exhaust a thread's stack. Strings must be
// valid UTF-8.
//
// A Scanner pulls a value piece by piece (PeekKind, then ReadNumber,
// ReadStringView, BeginArray...), which is how a builder of another
// language's objects reads them with exactly Parse's rules. Whole values are
// read by util/json_tree.h, typed values by util/json_reader.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error/result.h"

namespace corvantine::util::json {

struct Error {
  // What users see, e.g. "missing field `position` at line 1 column 17".
  std::string message;
  // False only for an error made by Custom() that no reader has placed yet.
  bool has_position = true;

  // An error raised by a caller's read function.
  // The Read* call that returns it appends the line and column where the
  // value it reads ends.
  static Error Custom(std::string message);
};

template <typename T = void>
using Result = error::Expected<T, Error>;

// The most arrays and objects a reader accepts inside each other.
inline constexpr int kMaxDepth = 128;

// "invalid length {length}, expected {expected}", placed by the reader.
Error InvalidLength(size_t length, std::string_view expected);

// A number with Parse's rules (util/json.h).
struct Number {
  enum class Kind {
    kUnsigned,  // a non-negative integer that fits u64; also -0, as 0
    kNegative,  // a negative integer that fits i64
    kFloat,     // any other number
  };
  Kind kind = Kind::kUnsigned;
  uint64_t u64 = 0;  // kUnsigned
  int64_t i64 = 0;   // kNegative
  double f64 = 0;    // kFloat; too small for a double reads as (signed) zero
  std::string_view text;  // as written, sign included
};

class Scanner {
 public:
  // `text` must outlive the scanner. After any failure the scanner is spent.
  explicit Scanner(std::string_view text);

  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  Result<bool> ReadBool();

  // An optional value: consumes a null and returns true, or leaves any other
  // value for the caller and returns false.
  Result<bool> TakeNull();

  // The next value pulled piece by piece, checked as a whole value is
  // checked: PeekKind, then TakeNull, ReadBool, ReadNumber, ReadStringView,
  // BeginArray or BeginObject.
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  // What the next value is, judged by its first byte; consumes only the
  // whitespace before it. Fails at the end of the input ("EOF while parsing
  // a value") or at a byte no value starts with ("expected value").
  Result<Kind> PeekKind();
  // Any number; anything else fails with "invalid type: {got}, expected a
  // number". A float too large for a double fails: "number out of range".
  // (These reads, one per value, hand values back through pointers: copying
  // a struct just built out of a Result would cost more than the read.)
  Result<> ReadNumber(Number* number);
  // A string's content, without a copy: a view of the input when the string
  // holds no escape, else of the scanner's buffer, valid until the next call
  // on the scanner.
  Result<> ReadStringView(std::string_view* text);
  // An array or an object ("invalid type: {got}, expected a sequence" or
  // "a map"), whose content is then pulled with NextElement, or with NextKey
  // and ReadColon: they read its end too. Each counts toward the nesting
  // limit until its end is read.
  Result<> BeginArray();
  Result<> BeginObject();

  // Inside an array: true if another element follows, false once the
  // closing bracket has been read.
  Result<bool> NextElement();
  // Inside an array, a fast path for byte strings: takes the elements that
  // follow, each with its comma, while they are compact integers 0..255,
  // appending them to *out, and stops before the first other one (or the
  // closing bracket), where NextElement and ReadU8 go on with their usual
  // results and errors.
  void TakePlainBytes(std::string* out);

  // Inside an object: true with the next key in *key, or false once the
  // closing brace has been read. The view is valid until the next call on
  // the scanner.
  Result<bool> NextKey(std::string_view* key);
  Result<> ReadColon();

  // After the value: only whitespace may follow ("trailing characters").
  Result<> Finish();

 protected:
  // kIgnore reads with looser rules, for values that are skipped: no
  // nesting limit, no UTF-8 or surrogate check inside strings, no range
  // check of numbers.
  enum class Mode { kStrict, kIgnore };

  // Messages that the readers built on a scanner raise too.
  static constexpr std::string_view kEofObject = "EOF while parsing an object";
  static constexpr std::string_view kEofValue = "EOF while parsing a value";
  static constexpr std::string_view kExpectedValue = "expected value";

  // A number whose first byte, `first`, is not consumed yet; anything that
  // does not start a number fails with "expected value".
  Result<> ScanNumberAt(char first, Mode mode, Number* number);
  Result<> ReadNumber(std::string_view expected, Number* number);
  Result<> Begin(char open, std::string_view expected);
  Result<> Open();
  Result<> EnterNested();
  void Close();
  Result<> EndSeq();
  Result<> EndMap();
  Result<bool> NextItem(bool object, bool first, Mode mode);

  Result<char> PeekValueStart();
  bool PeekNonWhitespace(char* c);
  Result<> ScanIdent(std::string_view rest);
  Result<> ScanString(Mode mode, std::string* decoded, std::string_view* text);

  Error ErrorHere(std::string_view what) const;
  Error PeekError(std::string_view what) const;
  Error Place(Error error) const;
  Error InvalidType(std::string_view expected);
  Error NumberMismatch(const char* problem, const Number& number,
                       std::string_view expected) const;

  std::string_view text_;
  size_t index_ = 0;                // the next byte to read
  int depth_left_ = kMaxDepth + 1;  // nesting levels still allowed, plus one
  bool first_ = false;              // in the innermost array or object: nothing pulled yet
  std::string scratch_;             // decoded strings that held escapes

 private:
  bool SkipWhitespace(char* c);
  Result<> ScanEscape(Mode mode, std::string* decoded);
  Result<> ScanUnicodeEscape(Mode mode, std::string* decoded);
  Result<uint16_t> ScanHex4();
  Result<> ScanNumber(bool negative, Mode mode, Number* number);
  // The index of the first byte from `from` on that is not a digit.
  size_t DigitsEnd(size_t from) const;
  Error ErrorAt(size_t index, std::string_view what) const;
};

// Inline for compact text, which has no whitespace: any byte above the
// space settles it.
inline bool Scanner::PeekNonWhitespace(char* c) {
  if (index_ < text_.size() && static_cast<unsigned char>(text_[index_]) > ' ') {
    *c = text_[index_];
    return true;
  }
  return SkipWhitespace(c);
}

inline Result<char> Scanner::PeekValueStart() {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofValue);
  return c;
}

}  // namespace corvantine::util::json
