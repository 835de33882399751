#include "format/projection_cursor.h"

#include <fmt/format.h>

#include "format/id_json.h"

namespace corvantine::format {

namespace json = util::json;

namespace {

// "[0, 1, ..., 255]", as a byte array shows in diagnostics.
std::string DebugBytes(const IdBytes& bytes) { return fmt::format("[{}]", fmt::join(bytes, ", ")); }

}  // namespace

std::string ProjectionCursor::DebugString() const {
  return fmt::format(
      "ProjectionCursor {{ database_id: {}, branch_id: {}, position: {}, "
      "descriptor_fingerprint: {} }}",
      DebugBytes(database_id.bytes()), DebugBytes(branch_id.bytes()), position,
      DebugBytes(descriptor_fingerprint));
}

void WriteJson(json::Writer& writer, const ProjectionCursor& value) {
  writer.BeginObject();
  writer.Key("database_id");
  writer.Bytes(value.database_id.bytes());
  writer.Key("branch_id");
  writer.Bytes(value.branch_id.bytes());
  writer.Key("position");
  writer.Uint(value.position);
  writer.Key("descriptor_fingerprint");
  writer.Bytes(value.descriptor_fingerprint);
  writer.EndObject();
}

json::Result<> ReadInto(json::Reader& reader, ProjectionCursor* out) {
  const json::Field fields[] = {
      {"database_id", json::Presence::kRequired, json::Into(&out->database_id)},
      {"branch_id", json::Presence::kRequired, json::Into(&out->branch_id)},
      {"position", json::Presence::kRequired, json::Into(&out->position)},
      {"descriptor_fingerprint", json::Presence::kRequired,
       json::Into(&out->descriptor_fingerprint)},
  };
  return reader.ReadStruct("ProjectionCursor", fields);
}

}  // namespace corvantine::format
