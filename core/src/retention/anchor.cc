// The binary form of the anchor document, in the codec of util/coding.h.

#include "retention/anchor.h"

#include <utility>

namespace corvantine::retention {

namespace {

using format::PutId;
using format::ReadId;
using util::BinaryReader;
using util::BinaryWriter;

// The fewest bytes each encoded element takes, by which the decoder bounds a
// count before it reserves room for it. An empty string or list is its
// length alone.
constexpr size_t kIdBytes = format::kEncodedIdBytes;
constexpr size_t kLengthBytes = util::kLengthPrefixBytes;
constexpr size_t kMinCoverageBytes = kLengthBytes + kIdBytes + kIdBytes + 8 + kLengthBytes;
constexpr size_t kMinBranchBootstrapBytes = kIdBytes + 8 + 4 + kLengthBytes;
constexpr size_t kMinScopeBytes = 3 * kLengthBytes;
constexpr size_t kMinConsumerBootstrapBytes =
    kLengthBytes + 8 + 4 + kLengthBytes + kIdBytes + kMinScopeBytes + kLengthBytes + 4;
constexpr size_t kMinSystemRecordBytes = kLengthBytes + kLengthBytes;

Result<std::string> ReadString(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(const std::string_view text, reader.String());
  return std::string(text);
}

Result<std::string> ReadBytes(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(const std::string_view bytes, reader.Bytes());
  return std::string(bytes);
}

template <typename T, typename PutElement>
void PutList(BinaryWriter& writer, const std::vector<T>& list, PutElement put_element) {
  writer.PutLength(list.size());
  for (const T& element : list) put_element(writer, element);
}

template <typename T>
void PutList(BinaryWriter& writer, const std::vector<T>& list) {
  PutList(writer, list, [](BinaryWriter& w, const T& element) { element.Encode(w); });
}

// `read_element` returns Result<T>. The list grows with the elements that
// actually decode rather than reserving for the count: an element in memory
// is several times larger than its smallest encoding.
template <typename T, typename ReadElement>
Result<std::vector<T>> ReadList(BinaryReader& reader, size_t min_element_bytes,
                                ReadElement read_element) {
  CVN_ASSIGN_OR_RETURN(const size_t count, reader.Length(min_element_bytes));
  std::vector<T> list;
  for (size_t i = 0; i < count; ++i) {
    CVN_ASSIGN_OR_RETURN(T element, read_element(reader));
    list.push_back(std::move(element));
  }
  return list;
}

template <typename T>
Result<std::vector<T>> ReadList(BinaryReader& reader, size_t min_element_bytes) {
  return ReadList<T>(reader, min_element_bytes, &T::Decode);
}

void PutString(BinaryWriter& writer, const std::string& text) { writer.PutString(text); }

}  // namespace

void RetentionProjectionCoverage::Encode(BinaryWriter& writer) const {
  writer.PutString(name);
  writer.PutArray16(descriptor_fingerprint);
  PutId(writer, branch_id);
  writer.PutU64(cursor);
  PutList(writer, snapshot_ids, PutString);
}

Result<RetentionProjectionCoverage> RetentionProjectionCoverage::Decode(BinaryReader& reader) {
  RetentionProjectionCoverage coverage;
  CVN_ASSIGN_OR_RETURN(coverage.name, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(coverage.descriptor_fingerprint, reader.Array16());
  CVN_ASSIGN_OR_RETURN(coverage.branch_id, ReadId<format::BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(coverage.cursor, reader.U64());
  CVN_ASSIGN_OR_RETURN(coverage.snapshot_ids,
                       ReadList<std::string>(reader, kLengthBytes, ReadString));
  return coverage;
}

void RetentionBranchBootstrap::Encode(BinaryWriter& writer) const {
  PutId(writer, branch_id);
  writer.PutU64(floor);
  writer.PutU32(checksum);
  writer.PutBytes(checkpoint);
}

Result<RetentionBranchBootstrap> RetentionBranchBootstrap::Decode(BinaryReader& reader) {
  RetentionBranchBootstrap bootstrap;
  CVN_ASSIGN_OR_RETURN(bootstrap.branch_id, ReadId<format::BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(bootstrap.floor, reader.U64());
  CVN_ASSIGN_OR_RETURN(bootstrap.checksum, reader.U32());
  CVN_ASSIGN_OR_RETURN(bootstrap.checkpoint, ReadBytes(reader));
  return bootstrap;
}

void RetentionFeedScope::Encode(BinaryWriter& writer) const {
  PutList(writer, branches, PutId<format::BranchIdTag>);
  PutList(writer, streams, PutId<format::StreamIdTag>);
  PutList(writer, event_types, PutString);
}

Result<RetentionFeedScope> RetentionFeedScope::Decode(BinaryReader& reader) {
  RetentionFeedScope scope;
  CVN_ASSIGN_OR_RETURN(scope.branches, ReadList<format::BranchId>(
                                           reader, kIdBytes, ReadId<format::BranchId>));
  CVN_ASSIGN_OR_RETURN(scope.streams, ReadList<format::StreamId>(
                                          reader, kIdBytes, ReadId<format::StreamId>));
  CVN_ASSIGN_OR_RETURN(scope.event_types,
                       ReadList<std::string>(reader, kLengthBytes, ReadString));
  return scope;
}

void RetentionConsumerBootstrap::Encode(BinaryWriter& writer) const {
  writer.PutString(consumer_id);
  writer.PutU64(floor);
  writer.PutU32(checksum);
  writer.PutBytes(checkpoint);
  writer.PutArray16(checkpoint_id);
  scope.Encode(writer);
  writer.PutString(codec);
  writer.PutU32(codec_version);
}

Result<RetentionConsumerBootstrap> RetentionConsumerBootstrap::Decode(BinaryReader& reader) {
  RetentionConsumerBootstrap bootstrap;
  CVN_ASSIGN_OR_RETURN(bootstrap.consumer_id, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(bootstrap.floor, reader.U64());
  CVN_ASSIGN_OR_RETURN(bootstrap.checksum, reader.U32());
  CVN_ASSIGN_OR_RETURN(bootstrap.checkpoint, ReadBytes(reader));
  CVN_ASSIGN_OR_RETURN(bootstrap.checkpoint_id, reader.Array16());
  CVN_ASSIGN_OR_RETURN(bootstrap.scope, RetentionFeedScope::Decode(reader));
  CVN_ASSIGN_OR_RETURN(bootstrap.codec, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(bootstrap.codec_version, reader.U32());
  return bootstrap;
}

void AnchoredSystemRecord::Encode(BinaryWriter& writer) const {
  writer.PutString(event_type);
  writer.PutBytes(payload);
}

Result<AnchoredSystemRecord> AnchoredSystemRecord::Decode(BinaryReader& reader) {
  AnchoredSystemRecord record;
  CVN_ASSIGN_OR_RETURN(record.event_type, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(record.payload, ReadBytes(reader));
  return record;
}

void CoreRetentionAnchor::Encode(BinaryWriter& writer) const {
  writer.PutU32(format_version);
  PutId(writer, database_id);
  writer.PutU64(floor);
  writer.PutU64(head);
  stream_catalog.Encode(writer);
  branch_catalog.Encode(writer);
  PutList(writer, projection_coverage);
  PutList(writer, branch_bootstraps);
  PutList(writer, consumer_bootstraps);
  PutList(writer, system_records);
}

Result<CoreRetentionAnchor> CoreRetentionAnchor::Decode(BinaryReader& reader) {
  CoreRetentionAnchor anchor;
  CVN_ASSIGN_OR_RETURN(anchor.format_version, reader.U32());
  CVN_ASSIGN_OR_RETURN(anchor.database_id, ReadId<format::DatabaseId>(reader));
  CVN_ASSIGN_OR_RETURN(anchor.floor, reader.U64());
  CVN_ASSIGN_OR_RETURN(anchor.head, reader.U64());
  CVN_ASSIGN_OR_RETURN(anchor.stream_catalog, stream::StreamCatalog::Decode(reader));
  CVN_ASSIGN_OR_RETURN(anchor.branch_catalog, branch::BranchCatalog::Decode(reader));
  CVN_ASSIGN_OR_RETURN(anchor.projection_coverage,
                       ReadList<RetentionProjectionCoverage>(reader, kMinCoverageBytes));
  CVN_ASSIGN_OR_RETURN(anchor.branch_bootstraps,
                       ReadList<RetentionBranchBootstrap>(reader, kMinBranchBootstrapBytes));
  CVN_ASSIGN_OR_RETURN(anchor.consumer_bootstraps,
                       ReadList<RetentionConsumerBootstrap>(reader, kMinConsumerBootstrapBytes));
  CVN_ASSIGN_OR_RETURN(anchor.system_records,
                       ReadList<AnchoredSystemRecord>(reader, kMinSystemRecordBytes));
  return anchor;
}

RetentionAnchorInfo RetentionAnchorInfo::Of(const CoreRetentionAnchor& anchor,
                                            uint64_t file_bytes, uint32_t checksum) {
  RetentionAnchorInfo info;
  info.format_version = anchor.format_version;
  info.database_id = anchor.database_id;
  info.floor = anchor.floor;
  info.head = anchor.head;
  info.bytes = file_bytes;
  info.checksum = checksum;
  for (const RetentionProjectionCoverage& coverage : anchor.projection_coverage) {
    info.projection_checkpoints += coverage.snapshot_ids.size();
  }
  info.branch_bootstraps = anchor.branch_bootstraps.size();
  info.consumer_bootstraps = anchor.consumer_bootstraps.size();
  for (const RetentionBranchBootstrap& bootstrap : anchor.branch_bootstraps) {
    info.bootstrap_bytes += bootstrap.checkpoint.size();
  }
  for (const RetentionConsumerBootstrap& bootstrap : anchor.consumer_bootstraps) {
    info.bootstrap_bytes += bootstrap.checkpoint.size();
  }
  info.system_records = anchor.system_records.size();
  return info;
}

}  // namespace corvantine::retention
