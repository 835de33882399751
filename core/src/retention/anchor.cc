// The binary form of the anchor document, in the codec of util/coding.h.

#include "retention/anchor.h"

#include <future>

namespace corvantine::retention {

namespace {

using format::BranchId;
using format::PutId;
using format::ReadId;
using format::StreamId;
using util::BinaryReader;
using util::BinaryWriter;
using util::PutList;
using util::ReadBytes;
using util::ReadList;
using util::ReadString;

}  // namespace

void RetentionProjectionCoverage::Encode(BinaryWriter& writer) const {
  writer.PutString(name);
  writer.PutArray16(descriptor_fingerprint);
  PutId(writer, branch_id);
  writer.PutU64(cursor);
  PutList(writer, snapshot_ids, &BinaryWriter::PutString);
}

Result<RetentionProjectionCoverage> RetentionProjectionCoverage::Decode(BinaryReader& reader) {
  RetentionProjectionCoverage coverage;
  CVN_ASSIGN_OR_RETURN(coverage.name, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(coverage.descriptor_fingerprint, reader.Array16());
  CVN_ASSIGN_OR_RETURN(coverage.branch_id, ReadId<BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(coverage.cursor, reader.U64());
  CVN_ASSIGN_OR_RETURN(coverage.snapshot_ids, ReadList<std::string>(reader, ReadString));
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
  CVN_ASSIGN_OR_RETURN(bootstrap.branch_id, ReadId<BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(bootstrap.floor, reader.U64());
  CVN_ASSIGN_OR_RETURN(bootstrap.checksum, reader.U32());
  CVN_ASSIGN_OR_RETURN(bootstrap.checkpoint, ReadBytes(reader));
  return bootstrap;
}

void RetentionFeedScope::Encode(BinaryWriter& writer) const {
  PutList(writer, branches, PutId<format::BranchIdTag>);
  PutList(writer, streams, PutId<format::StreamIdTag>);
  PutList(writer, event_types, &BinaryWriter::PutString);
}

Result<RetentionFeedScope> RetentionFeedScope::Decode(BinaryReader& reader) {
  RetentionFeedScope scope;
  CVN_ASSIGN_OR_RETURN(scope.branches, ReadList<BranchId>(reader, ReadId<BranchId>));
  CVN_ASSIGN_OR_RETURN(scope.streams, ReadList<StreamId>(reader, ReadId<StreamId>));
  CVN_ASSIGN_OR_RETURN(scope.event_types, ReadList<std::string>(reader, ReadString));
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

namespace {

// The anchor's fields in order, its stream catalog as `decode_catalog` reads it.
template <typename DecodeCatalog>
Result<CoreRetentionAnchor> DecodeWith(BinaryReader& reader, DecodeCatalog decode_catalog) {
  CoreRetentionAnchor anchor;
  CVN_ASSIGN_OR_RETURN(anchor.format_version, reader.U32());
  CVN_ASSIGN_OR_RETURN(anchor.database_id, ReadId<format::DatabaseId>(reader));
  CVN_ASSIGN_OR_RETURN(anchor.floor, reader.U64());
  CVN_ASSIGN_OR_RETURN(anchor.head, reader.U64());
  CVN_ASSIGN_OR_RETURN(anchor.stream_catalog, decode_catalog(reader));
  CVN_ASSIGN_OR_RETURN(anchor.branch_catalog, branch::BranchCatalog::Decode(reader));
  CVN_ASSIGN_OR_RETURN(anchor.projection_coverage, ReadList<RetentionProjectionCoverage>(reader));
  CVN_ASSIGN_OR_RETURN(anchor.branch_bootstraps, ReadList<RetentionBranchBootstrap>(reader));
  CVN_ASSIGN_OR_RETURN(anchor.consumer_bootstraps, ReadList<RetentionConsumerBootstrap>(reader));
  CVN_ASSIGN_OR_RETURN(anchor.system_records, ReadList<AnchoredSystemRecord>(reader));
  return anchor;
}

}  // namespace

Result<CoreRetentionAnchor> CoreRetentionAnchor::Decode(BinaryReader& reader) {
  return DecodeWith(reader, stream::StreamCatalog::Decode);
}

Result<CoreRetentionAnchor> CoreRetentionAnchor::DecodeDeferring(
    std::string_view bytes, std::shared_ptr<const void> keeper) {
  auto on_first_use = [bytes, keeper](stream::StreamCatalog::AppendTablesJob job) {
    return std::async(std::launch::deferred, [bytes, keeper, job = std::move(job)]() mutable {
      return std::move(job).Run(bytes, [](size_t) {});
    });
  };
  BinaryReader reader(bytes);
  return DecodeWith(reader, [&](BinaryReader& catalog_reader) {
    return stream::StreamCatalog::DecodeDeferring(catalog_reader, {}, on_first_use);
  });
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
