// The binary form of branch infos and of the branch catalog, in the codec of
// util/coding.h.

#include "branch/branch.h"
#include "branch/catalog.h"

namespace corvantine::branch {

namespace {

using format::BranchId;
using format::PutId;
using format::ReadId;
using util::BinaryReader;
using util::BinaryWriter;
using util::PutMap;
using util::PutOptional;
using util::ReadBytes;
using util::ReadMap;
using util::ReadOptional;
using util::ReadString;

}  // namespace

void BranchInfo::Encode(BinaryWriter& writer) const {
  PutId(writer, id);
  writer.PutString(name);
  PutOptional(writer, parent, PutId<format::BranchIdTag>);
  PutOptional(writer, fork_position, &BinaryWriter::PutU64);
  writer.PutI64(created_at_unix_nanos);
  PutMap(writer, metadata, &BinaryWriter::PutString, &BinaryWriter::PutBytes);
  writer.PutVariantIndex(static_cast<uint32_t>(status));
}

Result<BranchInfo> BranchInfo::Decode(BinaryReader& reader) {
  BranchInfo info;
  CVN_ASSIGN_OR_RETURN(info.id, ReadId<BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(info.name, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(info.parent, ReadOptional<BranchId>(reader, ReadId<BranchId>));
  CVN_ASSIGN_OR_RETURN(info.fork_position, ReadOptional<uint64_t>(reader, &BinaryReader::U64));
  CVN_ASSIGN_OR_RETURN(info.created_at_unix_nanos, reader.I64());
  CVN_ASSIGN_OR_RETURN(info.metadata, ReadMap<BranchMetadata>(reader, ReadString, ReadBytes));
  CVN_ASSIGN_OR_RETURN(uint32_t status, reader.VariantIndex(kBranchStatusCount));
  info.status = static_cast<BranchStatus>(status);
  return info;
}

void BranchCatalog::Encode(BinaryWriter& writer) const {
  PutMap(writer, branches_, PutId<format::BranchIdTag>, &BranchInfo::Encode);
  PutMap(writer, names_, &BinaryWriter::PutString, PutId<format::BranchIdTag>);
}

Result<BranchCatalog> BranchCatalog::Decode(BinaryReader& reader) {
  BranchCatalog catalog{Empty{}};
  CVN_ASSIGN_OR_RETURN(catalog.branches_,
                       ReadMap<InfoMap>(reader, ReadId<BranchId>, BranchInfo::Decode));
  CVN_ASSIGN_OR_RETURN(catalog.names_, ReadMap<NameMap>(reader, ReadString, ReadId<BranchId>));
  return catalog;
}

}  // namespace corvantine::branch
