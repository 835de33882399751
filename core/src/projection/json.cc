#include "projection/json.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "format/id_json.h"
#include "util/utf8.h"

namespace corvantine::projection {

namespace {

namespace json = util::json;
using json::Presence;

template <typename Tag>
void WriteId(json::Writer& writer, const format::Id<Tag>& id) {
  writer.Bytes(id.bytes());
}

void WriteId(json::Writer& writer, const format::IdBytes& id) { writer.Bytes(id); }

void WriteJson(json::Writer& writer, const std::string& value) { writer.String(value); }

template <typename T>
void WriteOptional(json::Writer& writer, const std::optional<T>& value) {
  if (value) {
    WriteJson(writer, *value);
  } else {
    writer.Null();
  }
}

}  // namespace

void WriteJson(json::Writer& writer, const InputType& value) {
  writer.BeginObject();
  writer.Key("event_type");
  writer.String(value.event_type);
  writer.Key("min_schema_version");
  writer.Uint(value.min_schema_version);
  writer.Key("max_schema_version");
  writer.Uint(value.max_schema_version);
  writer.EndObject();
}

void WriteJson(json::Writer& writer, const ProjectionScope& value) {
  writer.BeginObject();
  writer.Key("branch_id");
  WriteId(writer, value.branch_id);
  writer.Key("stream");
  WriteOptional(writer, value.stream);
  writer.EndObject();
}

void WriteJson(json::Writer& writer, const PartitionScheme& value) {
  writer.BeginObject();
  writer.Key("scheme_id");
  writer.String(value.scheme_id);
  writer.Key("version");
  writer.Uint(value.version);
  writer.Key("partition_count");
  writer.Uint(value.partition_count);
  writer.EndObject();
}

void WriteJson(json::Writer& writer, const ProjectionDescriptor& value) {
  writer.BeginObject();
  writer.Key("name");
  writer.String(value.name);
  writer.Key("definition_id");
  WriteId(writer, value.definition_id);
  writer.Key("definition_version");
  writer.Uint(value.definition_version);
  writer.Key("input_types");
  writer.BeginArray();
  for (const InputType& input : value.input_types) WriteJson(writer, input);
  writer.EndArray();
  writer.Key("state_codec");
  writer.Uint(value.state_codec);
  writer.Key("state_codec_version");
  writer.Uint(value.state_codec_version);
  writer.Key("scope");
  WriteJson(writer, value.scope);
  writer.Key("partition_scheme");
  WriteJson(writer, value.partition_scheme);
  writer.EndObject();
}

void WriteJson(json::Writer& writer, const QueryFilter& value) {
  writer.BeginArray();
  writer.String(value.field);
  writer.BeginArray();
  for (const char byte : value.value) writer.Uint(static_cast<uint8_t>(byte));
  writer.EndArray();
  writer.EndArray();
}

void WriteJson(json::Writer& writer, const QueryDefinition& value) {
  writer.BeginObject();
  writer.Key("key_field");
  writer.String(value.key_field);
  writer.Key("indexes");
  writer.BeginObject();
  for (const auto& [name, field] : value.indexes) {
    writer.Key(name);
    writer.String(field);
  }
  writer.EndObject();
  writer.Key("filter");
  WriteOptional(writer, value.filter);
  writer.EndObject();
}

void WriteJson(json::Writer& writer, const DurableProjectionRegistration& value) {
  writer.BeginObject();
  writer.Key("descriptor");
  WriteJson(writer, value.descriptor);
  writer.Key("definition");
  WriteOptional(writer, value.definition);
  writer.EndObject();
}

void WriteJson(json::Writer& writer, const ConsumerCheckpoint& value) {
  writer.BeginObject();
  writer.Key("consumer_id");
  writer.String(value.consumer_id);
  writer.Key("position");
  writer.Uint(value.position);
  writer.EndObject();
}

bool HasUtf8Texts(const DurableProjectionRegistration& value) {
  const ProjectionDescriptor& descriptor = value.descriptor;
  std::vector<std::string_view> texts = {descriptor.name, descriptor.partition_scheme.scheme_id};
  for (const InputType& input : descriptor.input_types) texts.push_back(input.event_type);
  if (descriptor.scope.stream) texts.push_back(*descriptor.scope.stream);
  if (const std::optional<QueryDefinition>& definition = value.definition) {
    texts.push_back(definition->key_field);
    for (const auto& [name, field] : definition->indexes) texts.insert(texts.end(), {name, field});
    if (definition->filter) texts.push_back(definition->filter->field);
  }
  return std::all_of(texts.begin(), texts.end(), util::IsValidUtf8);
}

bool HasUtf8Texts(const ConsumerCheckpoint& value) { return util::IsValidUtf8(value.consumer_id); }

json::Result<> ReadInto(json::Reader& reader, InputType* out) {
  const json::Field fields[] = {
      {"event_type", Presence::kRequired, json::Into(&out->event_type)},
      {"min_schema_version", Presence::kRequired, json::Into(&out->min_schema_version)},
      {"max_schema_version", Presence::kRequired, json::Into(&out->max_schema_version)},
  };
  return reader.ReadStruct("InputType", fields);
}

json::Result<> ReadInto(json::Reader& reader, ProjectionScope* out) {
  const json::Field fields[] = {
      {"branch_id", Presence::kRequired, json::Into(&out->branch_id)},
      {"stream", Presence::kOptional, json::Into(&out->stream)},
  };
  return reader.ReadStruct("ProjectionScope", fields);
}

json::Result<> ReadInto(json::Reader& reader, PartitionScheme* out) {
  const json::Field fields[] = {
      {"scheme_id", Presence::kRequired, json::Into(&out->scheme_id)},
      {"version", Presence::kRequired, json::Into(&out->version)},
      {"partition_count", Presence::kRequired, json::Into(&out->partition_count)},
  };
  return reader.ReadStruct("PartitionScheme", fields);
}

json::Result<> ReadInto(json::Reader& reader, ProjectionDescriptor* out) {
  const json::Field fields[] = {
      {"name", Presence::kRequired, json::Into(&out->name)},
      {"definition_id", Presence::kRequired, json::Into(&out->definition_id)},
      {"definition_version", Presence::kRequired, json::Into(&out->definition_version)},
      {"input_types", Presence::kRequired, json::Into(&out->input_types)},
      {"state_codec", Presence::kRequired, json::Into(&out->state_codec)},
      {"state_codec_version", Presence::kRequired, json::Into(&out->state_codec_version)},
      {"scope", Presence::kRequired, json::Into(&out->scope)},
      {"partition_scheme", Presence::kDefault, json::Into(&out->partition_scheme)},
  };
  return reader.ReadStruct("ProjectionDescriptor", fields);
}

json::Result<> ReadInto(json::Reader& reader, QueryFilter* out) {
  constexpr std::string_view kExpected = "a tuple of size 2";
  return reader.ReadSeq(kExpected, [out, kExpected](json::Reader& r) -> json::Result<> {
    const json::ReadFn parts[] = {json::Into(&out->field), json::IntoByteString(&out->value)};
    for (size_t i = 0; i < std::size(parts); ++i) {
      CVN_ASSIGN_OR_RETURN(const bool more, r.NextElement());
      if (!more) return json::InvalidLength(i, kExpected);
      CVN_TRY(parts[i](r));
    }
    return {};
  });
}

json::Result<> ReadInto(json::Reader& reader, QueryDefinition* out) {
  const json::Field fields[] = {
      {"key_field", Presence::kRequired, json::Into(&out->key_field)},
      {"indexes", Presence::kRequired, json::Into(&out->indexes)},
      {"filter", Presence::kOptional, json::Into(&out->filter)},
  };
  return reader.ReadStruct("QueryDefinition", fields);
}

json::Result<> ReadInto(json::Reader& reader, DurableProjectionRegistration* out) {
  const json::Field fields[] = {
      {"descriptor", Presence::kRequired, json::Into(&out->descriptor)},
      {"definition", Presence::kOptional, json::Into(&out->definition)},
  };
  return reader.ReadStruct("DurableProjectionRegistration", fields);
}

json::Result<> ReadInto(json::Reader& reader, ConsumerCheckpoint* out) {
  const json::Field fields[] = {
      {"consumer_id", Presence::kRequired, json::Into(&out->consumer_id)},
      {"position", Presence::kRequired, json::Into(&out->position)},
  };
  return reader.ReadStruct("ConsumerCheckpoint", fields);
}

}  // namespace corvantine::projection
