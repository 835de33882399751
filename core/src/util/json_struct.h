// A struct's JSON form declared once: one table of its fields, in the
// order they are written, that both the writer and the reader walk.
//
//   constexpr Member<Scheme> kSchemeFields[] = {
//       Bind<&Scheme::id>("id"),
//       Bind<&Scheme::count>("count", Presence::kOptional),
//   };
//   WriteStruct(writer, scheme, kSchemeFields);       // {"id":...,"count":...}
//   ReadStruct(reader, "Scheme", kSchemeFields, &scheme);
//
// WriteStructText and ReadStructText do the same for a whole document.
//
// A member is written by WriteJson and read by ReadInto, overloads found
// here or beside the member's own type (argument-dependent lookup), so a
// nested struct takes part by declaring the pair for its type.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json_reader.h"
#include "util/json_writer.h"

namespace corvantine::util::json {

// Values of the common types, as ReadInto reads them back.
template <std::integral T>
void WriteJson(Writer& writer, T value) {
  if constexpr (std::same_as<T, bool>) {
    writer.Bool(value);
  } else if constexpr (std::signed_integral<T>) {
    writer.Int(value);
  } else {
    writer.Uint(value);
  }
}
inline void WriteJson(Writer& writer, const std::string& value) { writer.String(value); }
template <size_t N>
void WriteJson(Writer& writer, const std::array<uint8_t, N>& bytes) {
  writer.Bytes(bytes);
}
template <typename T>
void WriteJson(Writer& writer, const std::optional<T>& value);
template <typename T>
void WriteJson(Writer& writer, const std::vector<T>& values);
template <typename T>
void WriteJson(Writer& writer, const std::map<std::string, T>& values);

// An absent value is null.
template <typename T>
void WriteJson(Writer& writer, const std::optional<T>& value) {
  if (value) {
    WriteJson(writer, *value);
  } else {
    writer.Null();
  }
}

template <typename T>
void WriteJson(Writer& writer, const std::vector<T>& values) {
  writer.BeginArray();
  for (const T& value : values) WriteJson(writer, value);
  writer.EndArray();
}

// Keys in the map's (ascending) order.
template <typename T>
void WriteJson(Writer& writer, const std::map<std::string, T>& values) {
  writer.BeginObject();
  for (const auto& [key, value] : values) {
    writer.Key(key);
    WriteJson(writer, value);
  }
  writer.EndObject();
}

// One field of struct S: its key, how the reader treats its absence
// (util::json::Presence), and how its value is read into and written from
// the struct.
template <typename S>
struct Member {
  std::string_view name;
  Presence presence = Presence::kRequired;
  Result<> (*read)(Reader& reader, S* out) = nullptr;
  void (*write)(Writer& writer, const S& in) = nullptr;
};

template <typename Pointer>
struct MemberPointer;
template <typename S, typename T>
struct MemberPointer<T S::*> {
  using Struct = S;
  using Type = T;
};
template <auto kMember>
using StructOf = typename MemberPointer<decltype(kMember)>::Struct;

// The field held in data member kMember, e.g. Bind<&Scheme::id>("id").
template <auto kMember>
constexpr Member<StructOf<kMember>> Bind(std::string_view name,
                                         Presence presence = Presence::kRequired) {
  using S = StructOf<kMember>;
  return {name, presence, [](Reader& reader, S* out) { return ReadInto(reader, &(out->*kMember)); },
          [](Writer& writer, const S& in) { WriteJson(writer, in.*kMember); }};
}

// A byte string held in a std::string member: an array of numbers 0..255.
template <auto kMember>
constexpr Member<StructOf<kMember>> BindBytes(std::string_view name,
                                              Presence presence = Presence::kRequired) {
  using S = StructOf<kMember>;
  return {name, presence,
          [](Reader& reader, S* out) { return IntoByteString(&(out->*kMember))(reader); },
          [](Writer& writer, const S& in) { writer.Bytes(in.*kMember); }};
}

// An object of the members' keys in table order.
template <typename S, size_t N>
void WriteStruct(Writer& writer, const S& value, const Member<S> (&members)[N]) {
  writer.BeginObject();
  for (const Member<S>& member : members) {
    writer.Key(member.name);
    member.write(writer, value);
  }
  writer.EndObject();
}

// Reader::ReadStruct over the table, described as "struct {name}"; fields
// the input leaves out keep their values in *out.
template <typename S, size_t N>
Result<> ReadStruct(Reader& reader, std::string_view name, const Member<S> (&members)[N], S* out) {
  std::array<Field, N> fields;
  for (size_t i = 0; i < N; ++i) {
    const Member<S>& member = members[i];
    fields[i] = {member.name, member.presence,
                 [read = member.read, out](Reader& r) { return read(r, out); }};
  }
  return reader.ReadStruct(name, fields);
}

// The text of one struct document.
template <typename S, size_t N>
std::string WriteStructText(const S& value, const Member<S> (&members)[N],
                            Writer::Style style = Writer::Style::kCompact) {
  std::string out;
  out.reserve(128);
  Writer writer(&out, style);
  WriteStruct(writer, value, members);
  return out;
}

// `text` as one struct document: only whitespace may follow the struct.
template <typename S, size_t N>
Result<> ReadStructText(std::string_view text, std::string_view name,
                        const Member<S> (&members)[N], S* out) {
  return ReadDocument(
      text, [&](Reader& reader) { return ReadStruct(reader, name, members, out); });
}

}  // namespace corvantine::util::json
