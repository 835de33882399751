// Reading JSON text into typed values, with the rules and the messages that
// the JSON the store exchanges with users is held to.
//
// Each Read* method reads one type ("a u32", "a struct"), so the engine's
// documents are all read by the same rules: see ReadStruct. Failures are placed as the scanner
// places them (util/json_scanner.h); values of any shape can also be pulled
// piece by piece through the scanner's calls, or whole (util/json_tree.h).
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

#include "error/result.h"
#include "util/json_tree.h"

namespace corvantine::util::json {

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

class Reader : public TreeReader {
 public:
  using TreeReader::TreeReader;

  // Integers: a negative or too large value fails with
  // "invalid value: integer `-1`, expected u64", a float with
  // "invalid type: floating point `1.5`, expected u64".
  Result<uint64_t> ReadU64();
  Result<uint32_t> ReadU32();
  Result<uint16_t> ReadU16();
  Result<uint8_t> ReadU8();
  Result<int64_t> ReadI64();
  Result<std::string> ReadString();

  // A unit enum variant: its name as a string (or {"Name":null}); returns the
  // index of the name in `names`. Another name fails with
  // "unknown variant `x`, expected `A` or `B`".
  Result<size_t> ReadVariant(std::span<const std::string_view> names);

  // A struct, described in error messages as
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

  // An object. `visit` pulls the members: NextKey(), then ReadColon(), then
  // one Read* call for the value.
  Result<> ReadMap(std::string_view expected, const ReadFn& visit);

 private:
  friend Result<> ReadDocument(std::string_view text, const ReadFn& read);

  Result<uint64_t> ReadUnsigned(uint64_t max, std::string_view expected);
  Result<size_t> MatchVariant(std::span<const std::string_view> names);
  Result<> VisitStructArray(std::string_view name, std::span<const Field> fields);
  Result<> VisitStructObject(std::span<const Field> fields);
  Result<> Visit(std::string_view expected, const ReadFn* seq, const ReadFn* map);
};

// Reads `text` as one document: `read` reads the value, then only
// whitespace may follow.
Result<> ReadDocument(std::string_view text, const ReadFn& read);

// Typed reads for Field tables: Into(&target) reads the field's value into
// target with the rules of its type. Byte strings and ids are arrays of
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
