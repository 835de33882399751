#include "retention/retention.h"

#include <cerrno>
#include <memory>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "platform/platform.h"
#include "retention/crash.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::retention {

namespace {

constexpr std::string_view kRetentionDirName = "retention";
constexpr std::string_view kAnchorFileName = "core.anchor";
constexpr std::string_view kPreviousAnchorFileName = "core.anchor.prev";
constexpr std::string_view kTemporaryAnchorFileName = "core.anchor.tmp";

std::string RetentionDir(std::string_view dir) {
  return platform::JoinPath(dir, kRetentionDirName);
}

bool IsIoError(const CorvantineError& error) { return error.kind() == error::Kind::kIo; }

bool IsNotFound(const CorvantineError& error) {
  return error.IsOsError(ENOENT);
}

// The checks ValidateIdentity and ValidateForOpen share: everything but the head.
Result<> ValidateOwner(const CoreRetentionAnchor& anchor, const format::DatabaseId& database_id,
                       uint64_t floor) {
  if (anchor.format_version != kAnchorFormatVersion) {
    return Corrupt(fmt::format("unsupported retention anchor format {}", anchor.format_version));
  }
  if (anchor.database_id != database_id) {
    return Corrupt("retention anchor belongs to another database");
  }
  if (anchor.floor != floor) {
    return Corrupt(fmt::format("retention anchor floor {} does not match required floor {}",
                               anchor.floor, floor));
  }
  return {};
}

CorvantineError HeadMismatch(uint64_t anchor_head, uint64_t head) {
  return Corrupt(
      fmt::format("retention anchor head {} does not match durable head {}", anchor_head, head));
}

// The rules both kinds of bootstrap share.
template <typename Bootstrap>
bool CheckpointIntact(const Bootstrap& bootstrap, uint64_t floor) {
  return bootstrap.floor == floor && bootstrap.checkpoint.size() <= kMaxBootstrapCheckpointBytes &&
         util::crc32c::Value(bootstrap.checkpoint) == bootstrap.checksum;
}

bool ValidBranchBootstraps(uint64_t floor, std::span<const RetentionBranchBootstrap> bootstraps) {
  std::set<format::BranchId> branches;
  for (const RetentionBranchBootstrap& bootstrap : bootstraps) {
    if (!CheckpointIntact(bootstrap, floor) || !branches.insert(bootstrap.branch_id).second) {
      return false;
    }
  }
  return true;
}

bool ValidConsumerBootstraps(uint64_t floor,
                             std::span<const RetentionConsumerBootstrap> bootstraps) {
  constexpr format::IdBytes kZeroId{};
  std::set<std::string_view> consumers;
  std::set<format::IdBytes> checkpoint_ids;
  for (const RetentionConsumerBootstrap& bootstrap : bootstraps) {
    const bool well_formed = CheckpointIntact(bootstrap, floor) &&
                             bootstrap.checkpoint_id != kZeroId && !bootstrap.codec.empty() &&
                             bootstrap.codec.size() <= kMaxBootstrapCodecBytes;
    if (!well_formed || !consumers.insert(bootstrap.consumer_id).second ||
        !checkpoint_ids.insert(bootstrap.checkpoint_id).second) {
      return false;
    }
  }
  return true;
}

// The whole file: header, then the encoded anchor.
Result<std::string> EncodeFile(const CoreRetentionAnchor& anchor) {
  std::string file(kAnchorHeaderBytes, '\0');
  util::BinaryWriter writer(file);
  anchor.Encode(writer);
  const uint64_t payload_bytes = file.size() - kAnchorHeaderBytes;
  if (payload_bytes > kMaxAnchorPayloadBytes) {
    return CorvantineError::ResourceLimit("retention anchor bytes", payload_bytes,
                                          kMaxAnchorPayloadBytes);
  }
  util::EncodeFixed64(file.data(), kAnchorMagic);
  util::EncodeFixed32(file.data() + 8, static_cast<uint32_t>(payload_bytes));
  util::EncodeFixed32(file.data() + 12, util::crc32c::Value(file.data() + kAnchorHeaderBytes,
                                                            payload_bytes));
  return file;
}

Result<> WriteFileDurably(const std::string& path, std::string_view content) {
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::CreateOrTruncate(path));
  CVN_TRY(file.WriteAt(0, content));
  CVN_TRY(file.Sync());
  return file.Close();
}

// Publish's keep rule: an existing anchor with the same identity, coverage
// and bootstraps serves as well as a new one. Catalogs and system records
// are deliberately not compared.
bool ServesAs(const CoreRetentionAnchor& existing, const CoreRetentionAnchor& wanted) {
  return ValidateIdentity(existing, wanted.database_id, wanted.floor, wanted.head).ok() &&
         existing.projection_coverage == wanted.projection_coverage &&
         existing.branch_bootstraps == wanted.branch_bootstraps &&
         existing.consumer_bootstraps == wanted.consumer_bootstraps;
}

// Whether the set-aside anchor is certainly not the one the manifest names.
// One that cannot be read just now proves nothing and stays.
bool IsStale(const std::string& previous, std::optional<uint32_t> manifest_checksum) {
  if (!manifest_checksum) return true;
  const Result<LoadedAnchor> loaded = Decode(previous);
  if (loaded.ok()) return loaded->info.checksum != *manifest_checksum;
  return !IsIoError(loaded.error());
}

// Before the new file replaces core.anchor: the anchor the manifest names
// must survive until the manifest names another, so it moves aside when it
// is about to be replaced; a set-aside anchor the manifest no longer names
// is dropped.
Result<> SetAsideManifestAnchor(std::string_view dir, std::optional<uint32_t> current_checksum,
                                uint32_t new_checksum, std::optional<uint32_t> manifest_checksum) {
  const std::string previous = PreviousAnchorPath(dir);
  if (manifest_checksum && current_checksum == manifest_checksum &&
      new_checksum != *manifest_checksum) {
    return platform::Rename(AnchorPath(dir), previous);
  }
  if (platform::PathExists(previous) && IsStale(previous, manifest_checksum)) {
    return platform::RemoveFile(previous);
  }
  return {};
}

}  // namespace

std::string AnchorPath(std::string_view dir) {
  return platform::JoinPath(RetentionDir(dir), kAnchorFileName);
}

std::string PreviousAnchorPath(std::string_view dir) {
  return platform::JoinPath(RetentionDir(dir), kPreviousAnchorFileName);
}

CorvantineError Corrupt(std::string message) {
  return CorvantineError::InvalidFormat(std::move(message));
}

Result<> ValidateIdentity(const CoreRetentionAnchor& anchor, const format::DatabaseId& database_id,
                          uint64_t floor, uint64_t head) {
  CVN_TRY(ValidateOwner(anchor, database_id, floor));
  if (anchor.head != head) return HeadMismatch(anchor.head, head);
  return {};
}

Result<> ValidateForOpen(const CoreRetentionAnchor& anchor, const format::DatabaseId& database_id,
                         uint64_t floor, uint64_t log_head) {
  CVN_TRY(ValidateOwner(anchor, database_id, floor));
  if (anchor.head > log_head) return HeadMismatch(anchor.head, log_head);
  if (anchor.head < floor) {
    return Corrupt(fmt::format("retention anchor head {} is below floor {}", anchor.head, floor));
  }
  return {};
}

Result<> ValidateBootstraps(uint64_t floor,
                            std::span<const RetentionBranchBootstrap> branch_bootstraps,
                            std::span<const RetentionConsumerBootstrap> consumer_bootstraps) {
  if (!ValidBranchBootstraps(floor, branch_bootstraps)) {
    return Corrupt("invalid or duplicate branch bootstrap coverage");
  }
  if (!ValidConsumerBootstraps(floor, consumer_bootstraps)) {
    return Corrupt("invalid or duplicate consumer bootstrap coverage");
  }
  return {};
}

Result<LoadedAnchor> Decode(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(const uint64_t file_bytes, platform::FileSizeOf(path));
  // Wraps for files shorter than the header, which fail here too.
  if (file_bytes - kAnchorHeaderBytes > kMaxAnchorPayloadBytes) {
    return Corrupt("retention anchor length is invalid");
  }
  CVN_ASSIGN_OR_RETURN(const platform::File file, platform::OpenForRead(path));
  char header[kAnchorHeaderBytes];
  CVN_TRY(file.ReadExactAt(0, sizeof header, header));
  if (util::DecodeFixed64(header) != kAnchorMagic) {
    return Corrupt("retention anchor magic is invalid");
  }
  const uint32_t payload_bytes = util::DecodeFixed32(header + 8);
  if (payload_bytes == 0 || payload_bytes > kMaxAnchorPayloadBytes ||
      payload_bytes + kAnchorHeaderBytes != file_bytes) {
    return Corrupt("retention anchor payload length is invalid");
  }
  // Left unfilled: the read fills it.
  const std::shared_ptr<char[]> buffer = std::make_shared_for_overwrite<char[]>(payload_bytes);
  CVN_TRY(file.ReadExactAt(kAnchorHeaderBytes, payload_bytes, buffer.get()));
  const std::string_view payload(buffer.get(), payload_bytes);
  const uint32_t checksum = util::DecodeFixed32(header + 12);
  if (util::crc32c::Value(payload) != checksum) {
    return Corrupt("retention anchor checksum mismatch");
  }
  Result<CoreRetentionAnchor> anchor = CoreRetentionAnchor::DecodeDeferring(payload, buffer);
  if (!anchor.ok()) {
    const std::string reason = anchor.error().Detail();
    return Corrupt(fmt::format("retention anchor decode: {}", reason));
  }
  CVN_TRY(ValidateBootstraps(anchor->floor, anchor->branch_bootstraps,
                             anchor->consumer_bootstraps));
  RetentionAnchorInfo info = RetentionAnchorInfo::Of(*anchor, file_bytes, checksum);
  return LoadedAnchor{std::move(anchor).value(), info};
}

Result<std::optional<LoadedAnchor>> Load(std::string_view dir) {
  Result<LoadedAnchor> loaded = Decode(AnchorPath(dir));
  if (loaded.ok()) return std::optional<LoadedAnchor>(std::move(loaded).value());
  if (IsNotFound(loaded.error())) return std::optional<LoadedAnchor>();
  return std::move(loaded).error();
}

Result<std::optional<LoadedAnchor>> LoadAuthoritative(
    std::string_view dir, std::optional<uint32_t> manifest_checksum) {
  Result<std::optional<LoadedAnchor>> current = Load(dir);
  const bool current_named =
      current.ok() && current->has_value() && (*current)->info.checksum == manifest_checksum;
  if (!manifest_checksum || current_named) return current;
  Result<LoadedAnchor> previous = Decode(PreviousAnchorPath(dir));
  if (previous.ok() && previous->info.checksum == *manifest_checksum) {
    return std::optional<LoadedAnchor>(std::move(previous).value());
  }
  return current;
}

Result<RetentionAnchorInfo> Publish(std::string_view dir, const CoreRetentionAnchor& anchor,
                                    std::optional<uint32_t> manifest_checksum) {
  CVN_TRY(ValidateBootstraps(anchor.floor, anchor.branch_bootstraps, anchor.consumer_bootstraps));
  // A damaged current anchor is simply replaced. One that cannot be read
  // just now may be the anchor the manifest names, which must not be lost.
  const Result<std::optional<LoadedAnchor>> current = Load(dir);
  if (!current.ok() && manifest_checksum && IsIoError(current.error())) return current.error();
  std::optional<uint32_t> current_checksum;
  if (current.ok() && current->has_value()) {
    const LoadedAnchor& loaded = **current;
    if (ServesAs(loaded.anchor, anchor)) return loaded.info;
    current_checksum = loaded.info.checksum;
  }

  CVN_ASSIGN_OR_RETURN(const std::string file, EncodeFile(anchor));
  const std::string retention_dir = RetentionDir(dir);
  CVN_TRY(platform::CreateDirs(retention_dir));
  CrashPoint(kCrashBeforeAnchorPublish);

  const std::string temporary = platform::JoinPath(retention_dir, kTemporaryAnchorFileName);
  CVN_TRY(WriteFileDurably(temporary, file));
  CrashPoint(kCrashAfterAnchorFsync);

  // What the disk gave back, not what was meant to be written, is published.
  CVN_ASSIGN_OR_RETURN(const LoadedAnchor written, Decode(temporary));
  CVN_TRY(ValidateIdentity(written.anchor, anchor.database_id, anchor.floor, anchor.head));

  CVN_TRY(SetAsideManifestAnchor(dir, current_checksum, written.info.checksum,
                                 manifest_checksum));
  CVN_TRY(platform::Rename(temporary, AnchorPath(dir)));
  CVN_TRY(SyncDir(retention_dir));
  CrashPoint(kCrashAfterAnchorPublish);
  return written.info;
}

Result<> SyncDir(const std::string& path) { return platform::SyncDir(path); }

}  // namespace corvantine::retention
