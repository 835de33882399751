#include "snapshot/manifest.h"

#include <fmt/format.h>

#include "format/id_json.h"
#include "util/json_writer.h"
#include "util/utf8.h"

namespace corvantine::snapshot {

namespace {

namespace json = util::json;
using json::Presence;

template <typename T>
void WriteOptional(json::Writer& writer, const std::optional<T>& value) {
  if (!value) {
    writer.Null();
  } else if constexpr (std::is_same_v<T, std::string>) {
    writer.String(*value);
  } else {
    writer.Uint(*value);
  }
}

// The writer copies text as it is; only valid UTF-8 reads back.
bool TextIsUtf8(const SnapshotManifest& manifest) {
  return util::IsValidUtf8(manifest.projection_name) &&
         util::IsValidUtf8(manifest.partition_scheme_id.value_or(""));
}

}  // namespace

SnapshotResult<std::string> SnapshotManifest::ToJson() const {
  if (!TextIsUtf8(*this)) return SnapshotError::Internal("snapshot manifest text is not valid UTF-8");
  std::string out;
  out.reserve(128);
  json::Writer writer(&out);
  writer.BeginObject();
  writer.Key("format_version");
  writer.Uint(format_version);
  writer.Key("database_id");
  writer.Bytes(database_id.bytes());
  writer.Key("projection_name");
  writer.String(projection_name);
  writer.Key("descriptor_fingerprint");
  writer.Bytes(descriptor_fingerprint);
  writer.Key("definition_id");
  writer.Bytes(definition_id);
  writer.Key("definition_version");
  writer.Uint(definition_version);
  writer.Key("branch_id");
  writer.Bytes(branch_id.bytes());
  writer.Key("branch_lineage_fingerprint");
  writer.Bytes(branch_lineage_fingerprint);
  writer.Key("cursor");
  WriteJson(writer, cursor);
  writer.Key("state_codec");
  writer.Uint(state_codec);
  writer.Key("state_codec_version");
  writer.Uint(state_codec_version);
  writer.Key("created_at_unix_nanos");
  writer.Int(created_at_unix_nanos);
  writer.Key("uncompressed_len");
  writer.Uint(uncompressed_len);
  writer.Key("checksum");
  writer.Uint(checksum);
  writer.Key("partition");
  WriteOptional(writer, partition);
  writer.Key("partition_scheme_id");
  WriteOptional(writer, partition_scheme_id);
  writer.Key("partition_scheme_version");
  WriteOptional(writer, partition_scheme_version);
  writer.Key("partition_count");
  WriteOptional(writer, partition_count);
  writer.EndObject();
  return out;
}

SnapshotResult<SnapshotManifest> SnapshotManifest::FromJson(std::string_view text) {
  SnapshotManifest m;
  const json::Field fields[] = {
      {"format_version", Presence::kRequired, json::Into(&m.format_version)},
      {"database_id", Presence::kRequired, json::Into(&m.database_id)},
      {"projection_name", Presence::kRequired, json::Into(&m.projection_name)},
      {"descriptor_fingerprint", Presence::kRequired, json::Into(&m.descriptor_fingerprint)},
      {"definition_id", Presence::kRequired, json::Into(&m.definition_id)},
      {"definition_version", Presence::kRequired, json::Into(&m.definition_version)},
      {"branch_id", Presence::kRequired, json::Into(&m.branch_id)},
      {"branch_lineage_fingerprint", Presence::kRequired,
       json::Into(&m.branch_lineage_fingerprint)},
      {"cursor", Presence::kRequired, json::Into(&m.cursor)},
      {"state_codec", Presence::kRequired, json::Into(&m.state_codec)},
      {"state_codec_version", Presence::kRequired, json::Into(&m.state_codec_version)},
      {"created_at_unix_nanos", Presence::kRequired, json::Into(&m.created_at_unix_nanos)},
      {"uncompressed_len", Presence::kRequired, json::Into(&m.uncompressed_len)},
      {"checksum", Presence::kRequired, json::Into(&m.checksum)},
      {"partition", Presence::kOptional, json::Into(&m.partition)},
      {"partition_scheme_id", Presence::kOptional, json::Into(&m.partition_scheme_id)},
      {"partition_scheme_version", Presence::kOptional, json::Into(&m.partition_scheme_version)},
      {"partition_count", Presence::kOptional, json::Into(&m.partition_count)},
  };
  json::Result<> read = json::ReadDocument(
      text, [&](json::Reader& reader) { return reader.ReadStruct("SnapshotManifest", fields); });
  if (!read.ok()) return SnapshotError::Corrupt(std::move(read).error().message);
  return m;
}

std::string SnapshotManifest::FileName() const {
  return fmt::format("{}-p{:04}-{:020}-{:016x}.snap", format::IdBytesToHex(descriptor_fingerprint),
                     partition.value_or(0), cursor.position,
                     static_cast<uint64_t>(created_at_unix_nanos));
}

}  // namespace corvantine::snapshot
