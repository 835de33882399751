#include "snapshot/manifest.h"

#include <fmt/format.h>

#include "format/id_json.h"
#include "util/json_struct.h"
#include "util/utf8.h"

namespace corvantine::snapshot {

namespace {

namespace json = util::json;
using json::Bind;
using json::Presence;

// The writer copies text as it is; only valid UTF-8 reads back.
bool TextIsUtf8(const SnapshotManifest& manifest) {
  return util::IsValidUtf8(manifest.projection_name) &&
         util::IsValidUtf8(manifest.partition_scheme_id.value_or(""));
}

using Manifest = SnapshotManifest;
constexpr json::Member<Manifest> kFields[] = {
    Bind<&Manifest::format_version>("format_version"),
    Bind<&Manifest::database_id>("database_id"),
    Bind<&Manifest::projection_name>("projection_name"),
    Bind<&Manifest::descriptor_fingerprint>("descriptor_fingerprint"),
    Bind<&Manifest::definition_id>("definition_id"),
    Bind<&Manifest::definition_version>("definition_version"),
    Bind<&Manifest::branch_id>("branch_id"),
    Bind<&Manifest::branch_lineage_fingerprint>("branch_lineage_fingerprint"),
    Bind<&Manifest::cursor>("cursor"),
    Bind<&Manifest::state_codec>("state_codec"),
    Bind<&Manifest::state_codec_version>("state_codec_version"),
    Bind<&Manifest::created_at_unix_nanos>("created_at_unix_nanos"),
    Bind<&Manifest::uncompressed_len>("uncompressed_len"),
    Bind<&Manifest::checksum>("checksum"),
    Bind<&Manifest::partition>("partition", Presence::kOptional),
    Bind<&Manifest::partition_scheme_id>("partition_scheme_id", Presence::kOptional),
    Bind<&Manifest::partition_scheme_version>("partition_scheme_version", Presence::kOptional),
    Bind<&Manifest::partition_count>("partition_count", Presence::kOptional),
};

}  // namespace

SnapshotResult<std::string> SnapshotManifest::ToJson() const {
  if (!TextIsUtf8(*this)) return SnapshotError::Internal("snapshot manifest text is not valid UTF-8");
  return json::WriteStructText(*this, kFields);
}

SnapshotResult<SnapshotManifest> SnapshotManifest::FromJson(std::string_view text) {
  SnapshotManifest manifest;
  json::Result<> read = json::ReadStructText(text, "SnapshotManifest", kFields, &manifest);
  if (!read.ok()) return SnapshotError::Corrupt(std::move(read).error().message);
  return manifest;
}

std::string SnapshotManifest::FileName() const {
  return fmt::format("{}-p{:04}-{:020}-{:016x}.snap", format::IdBytesToHex(descriptor_fingerprint),
                     partition.value_or(0), cursor.position,
                     static_cast<uint64_t>(created_at_unix_nanos));
}

}  // namespace corvantine::snapshot
