// The JSON form of the bootstraps: the payload of the system records that
// register them.

#include <span>
#include <utility>
#include <vector>

#include "format/id_json.h"
#include "retention/anchor.h"
#include "util/json_writer.h"

namespace corvantine::retention {

namespace {

namespace json = util::json;
using json::Presence;

template <typename Tag>
void WriteIds(json::Writer& writer, const std::vector<format::Id<Tag>>& ids) {
  writer.BeginArray();
  for (const format::Id<Tag>& id : ids) writer.Bytes(id.bytes());
  writer.EndArray();
}

void WriteScope(json::Writer& writer, const RetentionFeedScope& scope) {
  writer.BeginObject();
  writer.Key("branches");
  WriteIds(writer, scope.branches);
  writer.Key("streams");
  WriteIds(writer, scope.streams);
  writer.Key("event_types");
  writer.BeginArray();
  for (const std::string& event_type : scope.event_types) writer.String(event_type);
  writer.EndArray();
  writer.EndObject();
}

json::ReadFn IntoScope(RetentionFeedScope* scope) {
  return [scope](json::Reader& reader) {
    const json::Field fields[] = {
        {"branches", Presence::kRequired, json::Into(&scope->branches)},
        {"streams", Presence::kRequired, json::Into(&scope->streams)},
        {"event_types", Presence::kRequired, json::Into(&scope->event_types)},
    };
    return reader.ReadStruct("RetentionFeedScope", fields);
  };
}

// Reads `text` as one struct document; the reader's message becomes a
// Serialization error.
Result<> ReadStructDocument(std::string_view text, std::string_view name,
                            std::span<const json::Field> fields) {
  json::Result<> read = json::ReadDocument(
      text, [&](json::Reader& reader) { return reader.ReadStruct(name, fields); });
  if (!read.ok()) return CorvantineError::Serialization(std::move(read).error().message);
  return {};
}

}  // namespace

std::string RetentionBranchBootstrap::ToJson() const {
  std::string out;
  json::Writer writer(&out);
  writer.BeginObject();
  writer.Key("branch_id");
  writer.Bytes(branch_id.bytes());
  writer.Key("floor");
  writer.Uint(floor);
  writer.Key("checksum");
  writer.Uint(checksum);
  writer.Key("checkpoint");
  writer.Bytes(checkpoint);
  writer.EndObject();
  return out;
}

Result<RetentionBranchBootstrap> RetentionBranchBootstrap::FromJson(std::string_view text) {
  RetentionBranchBootstrap bootstrap;
  const json::Field fields[] = {
      {"branch_id", Presence::kRequired, json::Into(&bootstrap.branch_id)},
      {"floor", Presence::kRequired, json::Into(&bootstrap.floor)},
      {"checksum", Presence::kRequired, json::Into(&bootstrap.checksum)},
      {"checkpoint", Presence::kRequired, json::IntoByteString(&bootstrap.checkpoint)},
  };
  CVN_TRY(ReadStructDocument(text, "RetentionBranchBootstrap", fields));
  return bootstrap;
}

std::string RetentionConsumerBootstrap::ToJson() const {
  std::string out;
  json::Writer writer(&out);
  writer.BeginObject();
  writer.Key("consumer_id");
  writer.String(consumer_id);
  writer.Key("floor");
  writer.Uint(floor);
  writer.Key("checksum");
  writer.Uint(checksum);
  writer.Key("checkpoint");
  writer.Bytes(checkpoint);
  writer.Key("checkpoint_id");
  writer.Bytes(checkpoint_id);
  writer.Key("scope");
  WriteScope(writer, scope);
  writer.Key("codec");
  writer.String(codec);
  writer.Key("codec_version");
  writer.Uint(codec_version);
  writer.EndObject();
  return out;
}

Result<RetentionConsumerBootstrap> RetentionConsumerBootstrap::FromJson(std::string_view text) {
  RetentionConsumerBootstrap bootstrap;  // its codec is the default until read
  const json::Field fields[] = {
      {"consumer_id", Presence::kRequired, json::Into(&bootstrap.consumer_id)},
      {"floor", Presence::kRequired, json::Into(&bootstrap.floor)},
      {"checksum", Presence::kRequired, json::Into(&bootstrap.checksum)},
      {"checkpoint", Presence::kRequired, json::IntoByteString(&bootstrap.checkpoint)},
      {"checkpoint_id", Presence::kRequired, json::Into(&bootstrap.checkpoint_id)},
      {"scope", Presence::kRequired, IntoScope(&bootstrap.scope)},
      {"codec", Presence::kDefault, json::Into(&bootstrap.codec)},
      {"codec_version", Presence::kRequired, json::Into(&bootstrap.codec_version)},
  };
  CVN_TRY(ReadStructDocument(text, "RetentionConsumerBootstrap", fields));
  return bootstrap;
}

}  // namespace corvantine::retention
