// Ids in JSON documents: an array of their 16 byte values. With this header
// included, util::json::Into(&id) reads an id, or a vector of them, and a
// util::json::Member table writes and reads one, as any other field.
#pragma once

#include "format/ids.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace corvantine::format {

template <typename Tag>
util::json::Result<> ReadInto(util::json::Reader& reader, Id<Tag>* out) {
  IdBytes bytes;
  CVN_TRY(util::json::ReadInto(reader, &bytes));
  *out = Id<Tag>(bytes);
  return {};
}

template <typename Tag>
void WriteJson(util::json::Writer& writer, const Id<Tag>& id) {
  writer.Bytes(id.bytes());
}

}  // namespace corvantine::format
