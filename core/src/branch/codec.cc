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
using util::ReadBytes;
using util::ReadMap;
using util::ReadString;

}  // namespace

void BranchInfo::Encode(BinaryWriter& writer) const {
  PutId(writer, id);
  writer.PutString(name);
  writer.PutOptionTag(parent.has_value());
  if (parent) PutId(writer, *parent);
  writer.PutOptionTag(fork_position.has_value());
  if (fork_position) writer.PutU64(*fork_position);
  writer.PutI64(created_at_unix_nanos);
  PutMap(writer, metadata, &BinaryWriter::PutString, &BinaryWriter::PutBytes);
  writer.PutVariantIndex(static_cast<uint32_t>(status));
}

Result<BranchInfo> BranchInfo::Decode(BinaryReader& reader) {
  BranchInfo info;
  CVN_ASSIGN_OR_RETURN(info.id, ReadId<BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(info.name, ReadString(reader));
  CVN_ASSIGN_OR_RETURN(bool has_parent, reader.OptionTag());
  if (has_parent) {
    CVN_ASSIGN_OR_RETURN(info.parent, ReadId<BranchId>(reader));
  }
  CVN_ASSIGN_OR_RETURN(bool has_fork_position, reader.OptionTag());
  if (has_fork_position) {
    CVN_ASSIGN_OR_RETURN(info.fork_position, reader.U64());
  }
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
