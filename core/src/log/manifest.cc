#include "log/manifest.h"

#include "util/json_reader.h"
#include "util/json_writer.h"

namespace corvantine::log::manifest {

namespace {

using util::json::Field;
using util::json::Into;
using util::json::Presence;
using util::json::Reader;

util::json::Result<> ReadDatabaseId(Reader& reader, format::DatabaseId* out) {
  format::IdBytes bytes;
  CVN_TRY(util::json::ReadInto(reader, &bytes));
  *out = format::DatabaseId(bytes);
  return {};
}

}  // namespace

Result<Manifest> Manifest::Read(const std::string& data_dir) {
  const std::string path = platform::JoinPath(data_dir, kFileName);
  CVN_ASSIGN_OR_RETURN(std::string text, platform::ReadFile(path));
  return Decode(text);
}

Result<> Manifest::Write(const std::string& data_dir) const {
  const std::string temp_path = platform::JoinPath(data_dir, kTempFileName);
  {
    CVN_ASSIGN_OR_RETURN(platform::File file, platform::CreateOrTruncate(temp_path));
    CVN_TRY(file.WriteAt(0, Encode()));
    CVN_TRY(file.Sync());
    CVN_TRY(file.Close());
  }
  CVN_TRY(platform::Rename(temp_path, platform::JoinPath(data_dir, kFileName)));
  return SyncDir(data_dir);
}

std::string Manifest::Encode() const {
  std::string text;
  util::json::Writer writer(&text, util::json::Writer::Style::kPretty);
  writer.BeginObject();
  writer.Key("format_version");
  writer.Uint(format_version);
  writer.Key("storage_format_version");
  writer.Uint(storage_format_version);
  writer.Key("database_id");
  writer.BeginArray();
  for (uint8_t byte : database_id.bytes()) writer.Uint(byte);
  writer.EndArray();
  writer.Key("payload_format_version");
  writer.Uint(payload_format_version);
  writer.Key("active_segment_base");
  writer.Uint(active_segment_base);
  writer.Key("retention_floor");
  writer.Uint(retention_floor);
  writer.Key("retention_generation");
  writer.Uint(retention_generation);
  writer.Key("retention_anchor_checksum");
  if (retention_anchor_checksum) {
    writer.Uint(*retention_anchor_checksum);
  } else {
    writer.Null();
  }
  writer.Key("next_offset");
  writer.Uint(next_offset);
  writer.EndObject();
  return text;
}

Result<Manifest> Manifest::Decode(std::string_view text) {
  Manifest manifest;
  // A document without the key predates storage format versions.
  manifest.storage_format_version = 1;
  // kOptional: an object may leave the field out (it keeps the default set
  // above), an array must hold all nine values.
  const Field fields[] = {
      {"format_version", Presence::kRequired, Into(&manifest.format_version)},
      {"storage_format_version", Presence::kOptional, Into(&manifest.storage_format_version)},
      {"database_id", Presence::kOptional,
       [&manifest](Reader& reader) { return ReadDatabaseId(reader, &manifest.database_id); }},
      {"payload_format_version", Presence::kOptional, Into(&manifest.payload_format_version)},
      {"active_segment_base", Presence::kRequired, Into(&manifest.active_segment_base)},
      {"retention_floor", Presence::kOptional, Into(&manifest.retention_floor)},
      {"retention_generation", Presence::kOptional, Into(&manifest.retention_generation)},
      {"retention_anchor_checksum", Presence::kOptional,
       Into(&manifest.retention_anchor_checksum)},
      {"next_offset", Presence::kRequired, Into(&manifest.next_offset)},
  };
  util::json::Result<> read = util::json::ReadDocument(
      text, [&fields](Reader& reader) { return reader.ReadStruct("Manifest", fields); });
  if (!read.ok()) return CorvantineError::Manifest(std::move(read).error().message);
  return manifest;
}

}  // namespace corvantine::log::manifest
