// The binary form of branch infos and of the branch catalog, in the codec of
// util/coding.h.

#include <utility>

#include "branch/branch.h"
#include "branch/catalog.h"

namespace corvantine::branch {

namespace {

using format::ReadId;
using util::BinaryReader;
using util::BinaryWriter;

// The fewest bytes each encoded item takes, by which the decoder bounds a
// count before it reserves room for it.
constexpr size_t kIdBytes = format::kEncodedIdBytes;
constexpr size_t kLengthBytes = util::kLengthPrefixBytes;
constexpr size_t kMinMetadataEntryBytes = kLengthBytes + kLengthBytes;
// Id, name length, two option tags, creation time, metadata count, status.
constexpr size_t kMinInfoBytes = kIdBytes + kLengthBytes + 1 + 1 + 8 + kLengthBytes + 4;
constexpr size_t kMinInfoEntryBytes = kIdBytes + kMinInfoBytes;
constexpr size_t kMinNameEntryBytes = kLengthBytes + kIdBytes;

Result<std::string> ReadString(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(std::string_view text, reader.String());
  return std::string(text);
}

Result<BranchMetadata> ReadMetadata(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(size_t count, reader.Length(kMinMetadataEntryBytes));
  BranchMetadata metadata;
  for (size_t i = 0; i < count; ++i) {
    CVN_ASSIGN_OR_RETURN(std::string key, ReadString(reader));
    CVN_ASSIGN_OR_RETURN(std::string_view value, reader.Bytes());
    metadata.insert_or_assign(std::move(key), std::string(value));
  }
  return metadata;
}

// `read_entry` returns Result<std::pair<key, value>>; a repeated key keeps
// the last value.
template <typename Map, typename ReadEntry>
Result<> ReadMap(BinaryReader& reader, size_t min_entry_bytes, ReadEntry read_entry, Map& map) {
  CVN_ASSIGN_OR_RETURN(size_t count, reader.Length(min_entry_bytes));
  for (size_t i = 0; i < count; ++i) {
    CVN_ASSIGN_OR_RETURN(auto entry, read_entry(reader));
    map.insert_or_assign(std::move(entry.first), std::move(entry.second));
  }
  return {};
}

Result<std::pair<format::BranchId, BranchInfo>> ReadInfoEntry(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(format::BranchId id, ReadId<format::BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(BranchInfo info, BranchInfo::Decode(reader));
  return std::pair(id, std::move(info));
}

Result<std::pair<std::string, format::BranchId>> ReadNameEntry(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(std::string name, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(format::BranchId id, ReadId<format::BranchId>(reader));
  return std::pair(std::move(name), id);
}

}  // namespace

void BranchInfo::Encode(BinaryWriter& writer) const {
  writer.PutArray16(id.bytes());
  writer.PutString(name);
  writer.PutOptionTag(parent.has_value());
  if (parent) writer.PutArray16(parent->bytes());
  writer.PutOptionTag(fork_position.has_value());
  if (fork_position) writer.PutU64(*fork_position);
  writer.PutI64(created_at_unix_nanos);
  writer.PutLength(metadata.size());
  for (const auto& [key, value] : metadata) {
    writer.PutString(key);
    writer.PutBytes(value);
  }
  writer.PutVariantIndex(static_cast<uint32_t>(status));
}

Result<BranchInfo> BranchInfo::Decode(BinaryReader& reader) {
  BranchInfo info;
  CVN_ASSIGN_OR_RETURN(info.id, ReadId<format::BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(info.name, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(bool has_parent, reader.OptionTag());
  if (has_parent) {
    CVN_ASSIGN_OR_RETURN(info.parent, ReadId<format::BranchId>(reader));
  }
  CVN_ASSIGN_OR_RETURN(bool has_fork_position, reader.OptionTag());
  if (has_fork_position) {
    CVN_ASSIGN_OR_RETURN(info.fork_position, reader.U64());
  }
  CVN_ASSIGN_OR_RETURN(info.created_at_unix_nanos, reader.I64());
  CVN_ASSIGN_OR_RETURN(info.metadata, ReadMetadata(reader));
  CVN_ASSIGN_OR_RETURN(uint32_t status, reader.VariantIndex(kBranchStatusCount));
  info.status = static_cast<BranchStatus>(status);
  return info;
}

void BranchCatalog::Encode(BinaryWriter& writer) const {
  writer.PutLength(branches_.size());
  for (const auto& [id, info] : branches_) {
    writer.PutArray16(id.bytes());
    info.Encode(writer);
  }
  writer.PutLength(names_.size());
  for (const auto& [name, id] : names_) {
    writer.PutString(name);
    writer.PutArray16(id.bytes());
  }
}

Result<BranchCatalog> BranchCatalog::Decode(BinaryReader& reader) {
  BranchCatalog catalog{Empty{}};
  CVN_TRY(ReadMap(reader, kMinInfoEntryBytes, ReadInfoEntry, catalog.branches_));
  CVN_TRY(ReadMap(reader, kMinNameEntryBytes, ReadNameEntry, catalog.names_));
  return catalog;
}

}  // namespace corvantine::branch
