#include "util/json_reader.h"

#include <algorithm>
#include <bitset>
#include <cassert>

#include <fmt/format.h>

namespace corvantine::util::json {
namespace {

// "`A`", "`A` or `B`", "one of `A`, `B`, `C`": how messages list variants.
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

// ---- Typed reads: one entry point per type.

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

Result<std::string> Reader::ReadString() {
  std::string_view text;
  CVN_TRY(ReadStringView(&text));
  return std::string(text);
}

Result<size_t> Reader::ReadVariant(std::span<const std::string_view> names) {
  char c;
  if (!PeekNonWhitespace(&c)) return PeekError(kEofValue);
  if (c == '"') return MatchVariant(names);
  if (c != '{') return PeekError(kExpectedValue);
  // {"Name":null}: a unit variant's value may be null.
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

// Sequences, maps and structs: the container, then its visitor, then its
// end.
Result<> Reader::Visit(std::string_view expected, const ReadFn* seq, const ReadFn* map) {
  CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
  const ReadFn* visit = c == '[' ? seq : c == '{' ? map : nullptr;
  if (visit == nullptr) return InvalidType(expected);
  const int outside = depth_left_;
  CVN_TRY(Open());
  Result<> visited = (*visit)(*this);
  // The end is read even after a failed visit: it moves
  // the position given to a failure that has none yet. A visitor that pulled
  // every element has read it already.
  Result<> ended;
  if (depth_left_ != outside) ended = c == '[' ? EndSeq() : EndMap();
  if (!visited.ok()) return Place(std::move(visited).error());
  return ended;
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
