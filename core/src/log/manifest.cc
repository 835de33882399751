#include "log/manifest.h"

#include "format/id_json.h"
#include "util/json_struct.h"

namespace corvantine::log::manifest {

namespace {

namespace json = util::json;
using json::Bind;
using json::Presence;

// kOptional: an object may leave the field out (it keeps the default Decode
// sets), an array must hold all nine values.
constexpr json::Member<Manifest> kFields[] = {
    Bind<&Manifest::format_version>("format_version"),
    Bind<&Manifest::storage_format_version>("storage_format_version", Presence::kOptional),
    Bind<&Manifest::database_id>("database_id", Presence::kOptional),
    Bind<&Manifest::payload_format_version>("payload_format_version", Presence::kOptional),
    Bind<&Manifest::active_segment_base>("active_segment_base"),
    Bind<&Manifest::retention_floor>("retention_floor", Presence::kOptional),
    Bind<&Manifest::retention_generation>("retention_generation", Presence::kOptional),
    Bind<&Manifest::retention_anchor_checksum>("retention_anchor_checksum", Presence::kOptional),
    Bind<&Manifest::next_offset>("next_offset"),
};

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
  return json::WriteStructText(*this, kFields, json::Writer::Style::kPretty);
}

Result<Manifest> Manifest::Decode(std::string_view text) {
  Manifest manifest;
  // A document without the key predates storage format versions.
  manifest.storage_format_version = 1;
  json::Result<> read = json::ReadStructText(text, "Manifest", kFields, &manifest);
  if (!read.ok()) return CorvantineError::Manifest(std::move(read).error().message);
  return manifest;
}

}  // namespace corvantine::log::manifest
