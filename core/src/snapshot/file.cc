#include "snapshot/file.h"

#include <utility>

#include "platform/platform.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::snapshot {

namespace {

// Wraps for files shorter than the header, which fail here too.
SnapshotResult<> CheckLength(uint64_t file_bytes) {
  if (file_bytes - kSnapshotHeaderBytes > kMaxSnapshotFileBytes - kSnapshotHeaderBytes) {
    return SnapshotError::Corrupt("snapshot length is invalid");
  }
  return {};
}

// The manifest length from the header, once it is known to fit the file.
SnapshotResult<uint32_t> ManifestLength(std::string_view header, uint64_t file_bytes) {
  if (util::DecodeFixed64(header.data()) != kSnapshotMagic) {
    return SnapshotError::Corrupt("snapshot magic is invalid");
  }
  const uint32_t manifest_bytes = util::DecodeFixed32(header.data() + 8);
  if (manifest_bytes == 0 || manifest_bytes > kMaxManifestBytes ||
      kSnapshotHeaderBytes + manifest_bytes > file_bytes) {
    return SnapshotError::Corrupt("snapshot manifest length is invalid");
  }
  return manifest_bytes;
}

SnapshotResult<SnapshotManifest> ReadManifest(std::string_view file, uint32_t manifest_bytes) {
  const std::string_view text = file.substr(kSnapshotHeaderBytes, manifest_bytes);
  if (util::crc32c::Value(text) != util::DecodeFixed32(file.data() + 12)) {
    return SnapshotError::Corrupt("snapshot manifest checksum mismatch");
  }
  return SnapshotManifest::FromJson(text);
}

SnapshotResult<> CheckState(const SnapshotManifest& manifest, std::string_view state) {
  if (state.size() > kMaxStateBytes || state.size() != manifest.uncompressed_len) {
    return SnapshotError::Corrupt("snapshot state length mismatch");
  }
  if (util::crc32c::Value(state) != manifest.checksum) {
    return SnapshotError::Corrupt("snapshot checksum mismatch");
  }
  return {};
}

}  // namespace

SnapshotResult<std::string> EncodeSnapshot(const SnapshotManifest& manifest,
                                           std::string_view state) {
  if (state.size() > kMaxStateBytes) {
    return SnapshotError::LimitExceeded("snapshot state", state.size(), kMaxStateBytes);
  }
  CVN_ASSIGN_OR_RETURN(const std::string json, manifest.ToJson());
  if (json.size() > kMaxManifestBytes) {
    return SnapshotError::LimitExceeded("snapshot manifest", json.size(), kMaxManifestBytes);
  }
  std::string file(kSnapshotHeaderBytes, '\0');
  file.reserve(kSnapshotHeaderBytes + json.size() + state.size());
  util::EncodeFixed64(file.data(), kSnapshotMagic);
  util::EncodeFixed32(file.data() + 8, static_cast<uint32_t>(json.size()));
  util::EncodeFixed32(file.data() + 12, util::crc32c::Value(json));
  file += json;
  file += state;
  return file;
}

SnapshotResult<DecodedSnapshot> DecodeSnapshot(std::string file) {
  CVN_TRY(CheckLength(file.size()));
  CVN_ASSIGN_OR_RETURN(const uint32_t manifest_bytes, ManifestLength(file, file.size()));
  CVN_ASSIGN_OR_RETURN(SnapshotManifest manifest, ReadManifest(file, manifest_bytes));
  const size_t state_offset = kSnapshotHeaderBytes + manifest_bytes;
  CVN_TRY(CheckState(manifest, std::string_view(file).substr(state_offset)));
  file.erase(0, state_offset);  // the state stays in the buffer it was read into
  return DecodedSnapshot{std::move(manifest), std::move(file)};
}

SnapshotResult<SnapshotManifest> DecodeManifestFile(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(const uint64_t file_bytes, Io(platform::FileSizeOf(path)));
  CVN_TRY(CheckLength(file_bytes));
  CVN_ASSIGN_OR_RETURN(const platform::File file, Io(platform::OpenForRead(path)));
  std::string head(kSnapshotHeaderBytes, '\0');
  CVN_TRY(Io(file.ReadExactAt(0, head.size(), head.data())));
  CVN_ASSIGN_OR_RETURN(const uint32_t manifest_bytes, ManifestLength(head, file_bytes));
  head.resize(kSnapshotHeaderBytes + manifest_bytes);
  CVN_TRY(Io(file.ReadExactAt(kSnapshotHeaderBytes, manifest_bytes,
                              head.data() + kSnapshotHeaderBytes)));
  return ReadManifest(head, manifest_bytes);
}

SnapshotResult<DecodedSnapshot> DecodeFile(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(const uint64_t file_bytes, Io(platform::FileSizeOf(path)));
  CVN_TRY(CheckLength(file_bytes));
  CVN_ASSIGN_OR_RETURN(const platform::File file, Io(platform::OpenForRead(path)));
  std::string bytes(file_bytes, '\0');
  CVN_TRY(Io(file.ReadExactAt(0, bytes.size(), bytes.data())));
  return DecodeSnapshot(std::move(bytes));
}

}  // namespace corvantine::snapshot
