// Reading JSON text with the rules and the messages of Rust's serde_json and
// serde-derive, the reference for the JSON the store exchanges with users.
//
// Every failure is a message ending in " at line {L} column {C}": lines count
// from 1, the column is the number of bytes consumed on the line, and the
// place is where serde_json would stop. Nesting is limited: 128 arrays or
// objects inside each other are accepted, the 129th fails with "recursion
// limit exceeded", so no input can exhaust a thread's stack. Strings must be
// valid UTF-8.
//
// The Reader pulls one value at a time, and each Read* method is one of
// serde's entry points ("deserialize a u32", "deserialize a struct"), so the
// engine's documents are read with serde-derive's rules: see ReadStruct.
// Values of any shape can also be pulled piece by piece (PeekKind, then
// ReadNumber, ReadStringView, BeginArray...), which is how a builder of
// another language's objects reads them with exactly Parse's rules.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "error/result.h"

namespace corvantine::util::json {

struct Error {
  // What users see, e.g. "missing field `position` at line 1 column 17".
  std::string message;
  // False only for an error made by Custom() that no reader has placed yet.
  bool has_position = true;

  // An error raised by a caller's read function (serde's de::Error::custom).
  // The Read* call that returns it appends the line and column where the
  // value it reads ends, as serde_json does.
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

class Reader;
using ReadFn = std::function<Result<>(Reader& reader)>;

// How ReadStruct treats a field the input leaves out.
enum class Presence {
  kRequired,  // "missing field" from an object, "invalid length" from an array
  kOptional,  // may be left out of an object; an array must still hold it
  kDefault,   // may be left out of both: the target keeps its value
};

struct Field {
  std::string_view name;
  Presence presence;
  ReadFn read;  // reads the field's value, e.g. Into(&record.position)
};

class Reader {
 public:
  // `text` must outlive the reader. After any failure the reader is spent.
  explicit Reader(std::string_view text);

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Integers: a negative or too large value fails with
  // "invalid value: integer `-1`, expected u64", a float with
  // "invalid type: floating point `1.5`, expected u64".
  Result<uint64_t> ReadU64();
  Result<uint32_t> ReadU32();
  Result<uint16_t> ReadU16();
  Result<uint8_t> ReadU8();
  Result<int64_t> ReadI64();
  Result<bool> ReadBool();
  Result<std::string> ReadString();

  // serde's Option: consumes a null and returns true, or leaves any other
  // value for the caller and returns false.
  Result<bool> TakeNull();

  // A unit enum variant: its name as a string (or {"Name":null}); returns the
  // index of the name in `names`. Another name fails with
  // "unknown variant `x`, expected `A` or `B`".
  Result<size_t> ReadVariant(std::span<const std::string_view> names);

  // Any JSON value, with numbers as in Parse (util/json.h).
  Result<nlohmann::json> ReadValue();

  // The next value pulled piece by piece, checked as ReadValue checks it:
  // PeekKind, then TakeNull, ReadBool, ReadNumber, ReadStringView,
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
  // A string's content, as ReadString reads it but without a copy: a view
  // of the input when the string holds no escape, else of the reader's
  // buffer, valid until the next call on the reader.
  Result<> ReadStringView(std::string_view* text);
  // An array or an object ("invalid type: {got}, expected a sequence" or
  // "a map"), whose content is then pulled with NextElement, or with NextKey
  // and ReadColon: they read its end too. Each counts toward the nesting
  // limit until its end is read.
  Result<> BeginArray();
  Result<> BeginObject();

  // Reads one value and discards it, checking it as ReadValue would.
  Result<> SkipValue();

  // Reads one value and discards it with serde's IgnoredAny rules, which are
  // looser: no nesting limit, no UTF-8 or surrogate check inside strings, no
  // range check of numbers.
  Result<> IgnoreValue();

  // A struct in serde-derive's form, described in error messages as
  // "struct {name}". Accepted are:
  //  - an object: keys in any order; unknown keys are skipped with
  //    IgnoreValue; a key given twice fails with "duplicate field `x`" just
  //    after that key; after the closing brace the first missing required
  //    field in declared order fails with "missing field `x`";
  //  - an array of the values in declared order; one that ends before a
  //    field that is not kDefault fails with
  //    "invalid length {n}, expected struct {name} with {count} elements",
  //    extra values with "trailing characters".
  // Anything else fails with "invalid type: {got}, expected struct {name}".
  // At most 64 fields.
  Result<> ReadStruct(std::string_view name, std::span<const Field> fields);

  // An array. `visit` pulls the elements: NextElement() before each one, then
  // one Read* call for it; extra elements left unread fail with
  // "trailing characters". Anything but an array fails with
  // "invalid type: {got}, expected {expected}".
  Result<> ReadSeq(std::string_view expected, const ReadFn& visit);
  // Inside ReadSeq or after BeginArray: true if another element follows,
  // false once the closing bracket has been read.
  Result<bool> NextElement();
  // Inside ReadSeq or after BeginArray, a fast path for byte strings: takes
  // the elements that follow, each with its comma, while they are compact
  // integers 0..255, appending them to *out, and stops before the first
  // other one (or the closing bracket), where NextElement and ReadU8 go on
  // with their usual results and errors.
  void TakePlainBytes(std::string* out);

  // An object. `visit` pulls the members: NextKey(), then ReadColon(), then
  // one Read* call for the value.
  Result<> ReadMap(std::string_view expected, const ReadFn& visit);
  // Inside ReadMap or after BeginObject: true with the next key in *key, or
  // false once the closing brace has been read. The view is valid until the
  // next call on the reader.
  Result<bool> NextKey(std::string_view* key);
  Result<> ReadColon();

  // After the value: only whitespace may follow ("trailing characters").
  Result<> Finish();

 private:
  friend Result<> ReadDocument(std::string_view text, const ReadFn& read);

  class ContainerStack;
  class DomBuilder;
  struct Discard;
  // kIgnore reads with serde's IgnoredAny rules (see IgnoreValue).
  enum class Mode { kStrict, kIgnore };

  Result<uint64_t> ReadUnsigned(uint64_t max, std::string_view expected);
  Result<> ReadNumber(std::string_view expected, Number* number);
  Result<size_t> MatchVariant(std::span<const std::string_view> names);
  Result<> VisitStructArray(std::string_view name, std::span<const Field> fields);
  Result<> VisitStructObject(std::span<const Field> fields);
  Result<> Visit(std::string_view expected, const ReadFn* seq, const ReadFn* map);
  Result<> Begin(char open, std::string_view expected);
  Result<> Open();
  Result<> EnterNested();
  void Close();
  Result<> EndSeq();
  Result<> EndMap();

  template <typename Sink>
  Result<> Walk(Mode mode, Sink& sink);
  template <typename Sink>
  Result<> WalkScalar(char first, Mode mode, Sink& sink);
  Result<bool> NextItem(bool object, bool first, Mode mode);

  Result<char> PeekValueStart();
  bool PeekNonWhitespace(char* c);
  bool SkipWhitespace(char* c);
  Result<> ScanIdent(std::string_view rest);
  Result<> ScanString(Mode mode, std::string* decoded, std::string_view* text);
  Result<> ScanEscape(Mode mode, std::string* decoded);
  Result<> ScanUnicodeEscape(Mode mode, std::string* decoded);
  Result<uint16_t> ScanHex4();
  Result<> ScanNumber(bool negative, Mode mode, Number* number);
  // The index of the first byte from `from` on that is not a digit.
  size_t DigitsEnd(size_t from) const;

  Error ErrorAt(size_t index, std::string_view what) const;
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
};

// Reads `text` as one document: `read` reads the value, then only
// whitespace may follow.
Result<> ReadDocument(std::string_view text, const ReadFn& read);

// Typed reads for Field tables: Into(&target) reads the field's value into
// target with serde's rules for its type. Byte strings and ids are arrays of
// integers 0..255 (std::vector<uint8_t>, std::array<uint8_t, 16>); a
// std::optional is empty for null; a std::map reads an object whose last
// duplicate key wins. Nested structs are read by a caller's function.
Result<> ReadInto(Reader& reader, uint64_t* out);
Result<> ReadInto(Reader& reader, uint32_t* out);
Result<> ReadInto(Reader& reader, uint16_t* out);
Result<> ReadInto(Reader& reader, uint8_t* out);
Result<> ReadInto(Reader& reader, int64_t* out);
Result<> ReadInto(Reader& reader, bool* out);
Result<> ReadInto(Reader& reader, std::string* out);

template <typename T>
Result<> ReadInto(Reader& reader, std::optional<T>* out) {
  CVN_ASSIGN_OR_RETURN(const bool null, reader.TakeNull());
  if (null) {
    out->reset();
    return {};
  }
  T value{};
  CVN_TRY(ReadInto(reader, &value));
  *out = std::move(value);
  return {};
}

template <typename T>
Result<> ReadInto(Reader& reader, std::vector<T>* out) {
  out->clear();
  return reader.ReadSeq("a sequence", [out](Reader& r) -> Result<> {
    for (;;) {
      CVN_ASSIGN_OR_RETURN(const bool more, r.NextElement());
      if (!more) return {};
      T value{};
      CVN_TRY(ReadInto(r, &value));
      out->push_back(std::move(value));
    }
  });
}

// Exactly N elements: fewer fail with
// "invalid length {n}, expected an array of length {N}", more with
// "trailing characters".
template <typename T, size_t N>
Result<> ReadInto(Reader& reader, std::array<T, N>* out) {
  const std::string expected = "an array of length " + std::to_string(N);
  return reader.ReadSeq(expected, [out, &expected](Reader& r) -> Result<> {
    for (size_t i = 0; i < N; ++i) {
      CVN_ASSIGN_OR_RETURN(const bool more, r.NextElement());
      if (!more) return InvalidLength(i, expected);
      CVN_TRY(ReadInto(r, &(*out)[i]));
    }
    return {};
  });
}

template <typename T>
Result<> ReadInto(Reader& reader, std::map<std::string, T>* out) {
  out->clear();
  return reader.ReadMap("a map", [out](Reader& r) -> Result<> {
    for (;;) {
      std::string_view key;
      CVN_ASSIGN_OR_RETURN(const bool more, r.NextKey(&key));
      if (!more) return {};
      std::string name(key);
      CVN_TRY(r.ReadColon());
      T value{};
      CVN_TRY(ReadInto(r, &value));
      (*out)[std::move(name)] = std::move(value);
    }
  });
}

template <typename T>
ReadFn Into(T* target) {
  return [target](Reader& reader) { return ReadInto(reader, target); };
}

// A byte string held in a std::string, written as an array of numbers 0..255.
ReadFn IntoByteString(std::string* target);

}  // namespace corvantine::util::json
