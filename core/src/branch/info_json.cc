// The JSON form of a branch info: the payload of the branch system records.

#include <array>
#include <map>
#include <string>
#include <vector>

#include "branch/branch.h"
#include "format/id_json.h"
#include "util/json_struct.h"

namespace corvantine::branch {

namespace {

namespace json = util::json;
using json::Bind;
using json::Presence;

constexpr std::array<std::string_view, kBranchStatusCount> kStatusNames = {"Active", "Archived"};

// Metadata values are byte strings: arrays of numbers.
json::Result<> ReadMetadata(json::Reader& reader, BranchInfo* out) {
  std::map<std::string, std::vector<uint8_t>> metadata;
  CVN_TRY(json::ReadInto(reader, &metadata));
  out->metadata.clear();
  for (auto& [key, bytes] : metadata) {
    out->metadata.emplace(key, std::string(bytes.begin(), bytes.end()));
  }
  return {};
}

void WriteMetadata(json::Writer& writer, const BranchInfo& info) {
  writer.BeginObject();
  for (const auto& [key, value] : info.metadata) {
    writer.Key(key);
    writer.Bytes(value);
  }
  writer.EndObject();
}

json::Result<> ReadStatus(json::Reader& reader, BranchInfo* out) {
  CVN_ASSIGN_OR_RETURN(const size_t index, reader.ReadVariant(kStatusNames));
  out->status = static_cast<BranchStatus>(index);
  return {};
}

void WriteStatus(json::Writer& writer, const BranchInfo& info) {
  writer.String(kStatusNames[static_cast<size_t>(info.status)]);
}

constexpr json::Member<BranchInfo> kFields[] = {
    Bind<&BranchInfo::id>("id"),
    Bind<&BranchInfo::name>("name"),
    Bind<&BranchInfo::parent>("parent", Presence::kOptional),
    Bind<&BranchInfo::fork_position>("fork_position", Presence::kOptional),
    Bind<&BranchInfo::created_at_unix_nanos>("created_at_unix_nanos"),
    {"metadata", Presence::kRequired, ReadMetadata, WriteMetadata},
    {"status", Presence::kRequired, ReadStatus, WriteStatus},
};

}  // namespace

std::string BranchInfo::ToJson() const {
  return json::WriteStructText(*this, kFields);
}

Result<BranchInfo> BranchInfo::FromJson(std::string_view text) {
  BranchInfo info;
  json::Result<> read = json::ReadStructText(text, "BranchInfo", kFields, &info);
  if (!read.ok()) return CorvantineError::InvalidFormat(std::move(read).error().message);
  return info;
}

}  // namespace corvantine::branch
