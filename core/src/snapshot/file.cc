#include "snapshot/file.h"

#include <memory>
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

// The length of the file at `path`, checked before it is opened. Anything
// but a regular file is no snapshot and is never opened: a FIFO would block
// the open, and a symbolic link could lead out of the directory.
SnapshotResult<uint64_t> FileLength(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(const platform::EntryStat entry, Io(platform::StatEntry(path)));
  if (!entry.regular_file) return SnapshotError::Corrupt("snapshot is not a regular file");
  CVN_TRY(CheckLength(entry.size));
  return entry.size;
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

// The manifest of an open file and where the state after it begins.
struct FileHead {
  SnapshotManifest manifest;
  uint64_t state_offset;
};

// Reads and checks the header and manifest only; `file_bytes` has passed
// CheckLength.
SnapshotResult<FileHead> ReadHead(const platform::File& file, uint64_t file_bytes) {
  std::string head(kSnapshotHeaderBytes, '\0');
  CVN_TRY(Io(file.ReadExactAt(0, head.size(), head.data())));
  CVN_ASSIGN_OR_RETURN(const uint32_t manifest_bytes, ManifestLength(head, file_bytes));
  head.resize(kSnapshotHeaderBytes + manifest_bytes);
  CVN_TRY(Io(file.ReadExactAt(kSnapshotHeaderBytes, manifest_bytes,
                              head.data() + kSnapshotHeaderBytes)));
  CVN_ASSIGN_OR_RETURN(SnapshotManifest manifest, ReadManifest(head, manifest_bytes));
  return FileHead{std::move(manifest), head.size()};
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
  auto held = std::make_shared<const std::string>(std::move(file));
  const std::string_view state = std::string_view(*held).substr(state_offset);
  return DecodedSnapshot{std::move(manifest), StateBytes(std::move(held), state)};
}

SnapshotResult<SnapshotManifest> DecodeManifestFile(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(const uint64_t file_bytes, FileLength(path));
  CVN_ASSIGN_OR_RETURN(const platform::File file, Io(platform::OpenForRead(path)));
  CVN_ASSIGN_OR_RETURN(FileHead head, ReadHead(file, file_bytes));
  return std::move(head.manifest);
}

SnapshotResult<DecodedSnapshot> DecodeFile(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(const uint64_t file_bytes, FileLength(path));
  CVN_ASSIGN_OR_RETURN(const platform::File file, Io(platform::OpenForRead(path)));
  CVN_ASSIGN_OR_RETURN(FileHead head, ReadHead(file, file_bytes));
  CVN_ASSIGN_OR_RETURN(platform::MappedFile mapped, Io(platform::MapForRead(path)));
  if (mapped.bytes().size() < file_bytes) {
    return SnapshotError::Io(CorvantineError::Io(error::IoError::UnexpectedEof()));
  }
  auto held = std::make_shared<const platform::MappedFile>(std::move(mapped));
  const std::string_view state =
      held->bytes().substr(head.state_offset, file_bytes - head.state_offset);
  CVN_TRY(CheckState(head.manifest, state));
  return DecodedSnapshot{std::move(head.manifest), StateBytes(std::move(held), state)};
}

}  // namespace corvantine::snapshot
