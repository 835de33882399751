#include "projection/json.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "format/id_json.h"
#include "util/json_struct.h"
#include "util/utf8.h"

namespace corvantine::projection {

namespace {

namespace json = util::json;
using json::Bind;
using json::Presence;

constexpr json::Member<InputType> kInputTypeFields[] = {
    Bind<&InputType::event_type>("event_type"),
    Bind<&InputType::min_schema_version>("min_schema_version"),
    Bind<&InputType::max_schema_version>("max_schema_version"),
};

constexpr json::Member<ProjectionScope> kScopeFields[] = {
    Bind<&ProjectionScope::branch_id>("branch_id"),
    Bind<&ProjectionScope::stream>("stream", Presence::kOptional),
};

constexpr json::Member<PartitionScheme> kSchemeFields[] = {
    Bind<&PartitionScheme::scheme_id>("scheme_id"),
    Bind<&PartitionScheme::version>("version"),
    Bind<&PartitionScheme::partition_count>("partition_count"),
};

// A descriptor without partition_scheme has the default scheme.
using Descriptor = ProjectionDescriptor;
constexpr json::Member<Descriptor> kDescriptorFields[] = {
    Bind<&Descriptor::name>("name"),
    Bind<&Descriptor::definition_id>("definition_id"),
    Bind<&Descriptor::definition_version>("definition_version"),
    Bind<&Descriptor::input_types>("input_types"),
    Bind<&Descriptor::state_codec>("state_codec"),
    Bind<&Descriptor::state_codec_version>("state_codec_version"),
    Bind<&Descriptor::scope>("scope"),
    Bind<&Descriptor::partition_scheme>("partition_scheme", Presence::kDefault),
};

constexpr json::Member<QueryDefinition> kDefinitionFields[] = {
    Bind<&QueryDefinition::key_field>("key_field"),
    Bind<&QueryDefinition::indexes>("indexes"),
    Bind<&QueryDefinition::filter>("filter", Presence::kOptional),
};

using Registration = DurableProjectionRegistration;
constexpr json::Member<Registration> kRegistrationFields[] = {
    Bind<&Registration::descriptor>("descriptor"),
    Bind<&Registration::definition>("definition", Presence::kOptional),
};

constexpr json::Member<ConsumerCheckpoint> kCheckpointFields[] = {
    Bind<&ConsumerCheckpoint::consumer_id>("consumer_id"),
    Bind<&ConsumerCheckpoint::position>("position"),
};

}  // namespace

void WriteJson(json::Writer& writer, const InputType& value) {
  json::WriteStruct(writer, value, kInputTypeFields);
}

void WriteJson(json::Writer& writer, const ProjectionScope& value) {
  json::WriteStruct(writer, value, kScopeFields);
}

void WriteJson(json::Writer& writer, const PartitionScheme& value) {
  json::WriteStruct(writer, value, kSchemeFields);
}

void WriteJson(json::Writer& writer, const ProjectionDescriptor& value) {
  json::WriteStruct(writer, value, kDescriptorFields);
}

void WriteJson(json::Writer& writer, const QueryFilter& value) {
  writer.BeginArray();
  writer.String(value.field);
  writer.Bytes(value.value);
  writer.EndArray();
}

void WriteJson(json::Writer& writer, const QueryDefinition& value) {
  json::WriteStruct(writer, value, kDefinitionFields);
}

void WriteJson(json::Writer& writer, const DurableProjectionRegistration& value) {
  json::WriteStruct(writer, value, kRegistrationFields);
}

void WriteJson(json::Writer& writer, const ConsumerCheckpoint& value) {
  json::WriteStruct(writer, value, kCheckpointFields);
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
  return json::ReadStruct(reader, "InputType", kInputTypeFields, out);
}

json::Result<> ReadInto(json::Reader& reader, ProjectionScope* out) {
  return json::ReadStruct(reader, "ProjectionScope", kScopeFields, out);
}

json::Result<> ReadInto(json::Reader& reader, PartitionScheme* out) {
  return json::ReadStruct(reader, "PartitionScheme", kSchemeFields, out);
}

json::Result<> ReadInto(json::Reader& reader, ProjectionDescriptor* out) {
  return json::ReadStruct(reader, "ProjectionDescriptor", kDescriptorFields, out);
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
  return json::ReadStruct(reader, "QueryDefinition", kDefinitionFields, out);
}

json::Result<> ReadInto(json::Reader& reader, DurableProjectionRegistration* out) {
  return json::ReadStruct(reader, "DurableProjectionRegistration", kRegistrationFields, out);
}

json::Result<> ReadInto(json::Reader& reader, ConsumerCheckpoint* out) {
  return json::ReadStruct(reader, "ConsumerCheckpoint", kCheckpointFields, out);
}

}  // namespace corvantine::projection
