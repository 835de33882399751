// The JSON forms of the projection types: system record payloads and the
// fingerprint input. The cursor's form is format/projection_cursor.h's.
//
// Writing is compact, keys in declared field order, 16-byte ids and byte
// strings as arrays of decimal numbers, absent optional values as null, the
// filter as the pair [field, [value bytes]], the index map in ascending
// name order. Reading follows the struct rules
// (util::json::Reader::ReadStruct): an object with its keys in any order,
// unknown keys skipped, "duplicate field `x`", "missing field `x`"; or an
// array of the fields in declared order; anything else is "invalid type:
// ..., expected struct {Name}". Optional fields (stream, filter,
// definition) may be left out of an object or be null; a descriptor may
// leave out partition_scheme (the default scheme), which must otherwise be
// a struct. Every message ends with the reader's line and column.
#pragma once

#include <string>
#include <string_view>

#include "projection/descriptor.h"
#include "projection/records.h"
#include "projection/status.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace corvantine::projection {

void WriteJson(util::json::Writer& writer, const InputType& value);
void WriteJson(util::json::Writer& writer, const ProjectionScope& value);
void WriteJson(util::json::Writer& writer, const PartitionScheme& value);
void WriteJson(util::json::Writer& writer, const ProjectionDescriptor& value);
void WriteJson(util::json::Writer& writer, const QueryFilter& value);
void WriteJson(util::json::Writer& writer, const QueryDefinition& value);
void WriteJson(util::json::Writer& writer, const DurableProjectionRegistration& value);
void WriteJson(util::json::Writer& writer, const ConsumerCheckpoint& value);

// For util::json::Into(&value) in a Field table, and for FromJson.
util::json::Result<> ReadInto(util::json::Reader& reader, InputType* out);
util::json::Result<> ReadInto(util::json::Reader& reader, ProjectionScope* out);
util::json::Result<> ReadInto(util::json::Reader& reader, PartitionScheme* out);
util::json::Result<> ReadInto(util::json::Reader& reader, ProjectionDescriptor* out);
// A two-element array only: "invalid length 1, expected a tuple of size 2".
util::json::Result<> ReadInto(util::json::Reader& reader, QueryFilter* out);
util::json::Result<> ReadInto(util::json::Reader& reader, QueryDefinition* out);
util::json::Result<> ReadInto(util::json::Reader& reader, DurableProjectionRegistration* out);
util::json::Result<> ReadInto(util::json::Reader& reader, ConsumerCheckpoint* out);

// Whether every text of the record is UTF-8, as its reader requires. The
// writer copies text bytes as they are, and a record that cannot be read
// back would stop the database from opening: refuse the others.
bool HasUtf8Texts(const DurableProjectionRegistration& value);
bool HasUtf8Texts(const ConsumerCheckpoint& value);

// The compact JSON of `value` as a new string.
template <typename T>
std::string ToJson(const T& value) {
  std::string out;
  out.reserve(128);
  util::json::Writer writer(&out);
  WriteJson(writer, value);
  return out;
}

// `text` as one value of type T; only whitespace may follow it.
template <typename T>
util::json::Result<T> FromJson(std::string_view text) {
  T value{};
  CVN_TRY(util::json::ReadDocument(
      text, [&value](util::json::Reader& reader) { return ReadInto(reader, &value); }));
  return value;
}

}  // namespace corvantine::projection
