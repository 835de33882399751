// The JSON form of a branch info: the payload of the branch system records.

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "branch/branch.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace corvantine::branch {

namespace {

namespace json = util::json;

constexpr std::array<std::string_view, kBranchStatusCount> kStatusNames = {"Active", "Archived"};

// The info's fields in the shapes the JSON form gives them.
struct InfoDocument {
  format::IdBytes id{};
  std::string name;
  std::optional<format::IdBytes> parent;
  std::optional<uint64_t> fork_position;
  int64_t created_at_unix_nanos = 0;
  std::map<std::string, std::vector<uint8_t>> metadata;
  size_t status = 0;

  BranchInfo ToInfo() &&;
};

BranchInfo InfoDocument::ToInfo() && {
  BranchInfo info;
  info.id = format::BranchId(id);
  info.name = std::move(name);
  if (parent) info.parent = format::BranchId(*parent);
  info.fork_position = fork_position;
  info.created_at_unix_nanos = created_at_unix_nanos;
  for (auto& [key, bytes] : metadata) {
    info.metadata.emplace(key, std::string(bytes.begin(), bytes.end()));
  }
  info.status = static_cast<BranchStatus>(status);
  return info;
}

json::Result<> ReadInfoDocument(json::Reader& reader, InfoDocument& document) {
  using json::Presence;
  const json::Field fields[] = {
      {"id", Presence::kRequired, json::Into(&document.id)},
      {"name", Presence::kRequired, json::Into(&document.name)},
      {"parent", Presence::kOptional, json::Into(&document.parent)},
      {"fork_position", Presence::kOptional, json::Into(&document.fork_position)},
      {"created_at_unix_nanos", Presence::kRequired, json::Into(&document.created_at_unix_nanos)},
      {"metadata", Presence::kRequired, json::Into(&document.metadata)},
      {"status", Presence::kRequired,
       [&document](json::Reader& r) -> json::Result<> {
         CVN_ASSIGN_OR_RETURN(document.status, r.ReadVariant(kStatusNames));
         return {};
       }},
  };
  return reader.ReadStruct("BranchInfo", fields);
}

}  // namespace

std::string BranchInfo::ToJson() const {
  std::string out;
  json::Writer writer(&out);
  writer.BeginObject();
  writer.Key("id");
  writer.Bytes(id.bytes());
  writer.Key("name");
  writer.String(name);
  writer.Key("parent");
  if (parent) {
    writer.Bytes(parent->bytes());
  } else {
    writer.Null();
  }
  writer.Key("fork_position");
  if (fork_position) {
    writer.Uint(*fork_position);
  } else {
    writer.Null();
  }
  writer.Key("created_at_unix_nanos");
  writer.Int(created_at_unix_nanos);
  writer.Key("metadata");
  writer.BeginObject();
  for (const auto& [key, value] : metadata) {
    writer.Key(key);
    writer.Bytes(value);
  }
  writer.EndObject();
  writer.Key("status");
  writer.String(kStatusNames[static_cast<size_t>(status)]);
  writer.EndObject();
  return out;
}

Result<BranchInfo> BranchInfo::FromJson(std::string_view text) {
  InfoDocument document;
  json::Result<> read = json::ReadDocument(
      text, [&document](json::Reader& reader) { return ReadInfoDocument(reader, document); });
  if (!read.ok()) return CorvantineError::InvalidFormat(std::move(read).error().message);
  return std::move(document).ToInfo();
}

}  // namespace corvantine::branch
