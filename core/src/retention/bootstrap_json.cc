// The JSON form of the bootstraps: the payload of the system records that
// register them.

#include <string>

#include "format/id_json.h"
#include "retention/anchor.h"
#include "util/json_struct.h"

namespace corvantine::retention {

namespace {

namespace json = util::json;
using json::Bind;
using json::BindBytes;
using json::Presence;

constexpr json::Member<RetentionFeedScope> kScopeFields[] = {
    Bind<&RetentionFeedScope::branches>("branches"),
    Bind<&RetentionFeedScope::streams>("streams"),
    Bind<&RetentionFeedScope::event_types>("event_types"),
};

}  // namespace

// The scope inside a consumer bootstrap, found by argument-dependent lookup.
json::Result<> ReadInto(json::Reader& reader, RetentionFeedScope* out) {
  return json::ReadStruct(reader, "RetentionFeedScope", kScopeFields, out);
}

void WriteJson(json::Writer& writer, const RetentionFeedScope& scope) {
  json::WriteStruct(writer, scope, kScopeFields);
}

namespace {

constexpr json::Member<RetentionBranchBootstrap> kBranchFields[] = {
    Bind<&RetentionBranchBootstrap::branch_id>("branch_id"),
    Bind<&RetentionBranchBootstrap::floor>("floor"),
    Bind<&RetentionBranchBootstrap::checksum>("checksum"),
    BindBytes<&RetentionBranchBootstrap::checkpoint>("checkpoint"),
};

using Consumer = RetentionConsumerBootstrap;
constexpr json::Member<Consumer> kConsumerFields[] = {
    Bind<&Consumer::consumer_id>("consumer_id"),
    Bind<&Consumer::floor>("floor"),
    Bind<&Consumer::checksum>("checksum"),
    BindBytes<&Consumer::checkpoint>("checkpoint"),
    Bind<&Consumer::checkpoint_id>("checkpoint_id"),
    Bind<&Consumer::scope>("scope"),
    Bind<&Consumer::codec>("codec", Presence::kDefault),  // the default codec until read
    Bind<&Consumer::codec_version>("codec_version"),
};

// Reads `text` as one struct document; the reader's message becomes a
// Serialization error.
template <typename S, size_t N>
Result<S> ReadDocument(std::string_view text, std::string_view name,
                       const json::Member<S> (&fields)[N]) {
  S value;
  json::Result<> read = json::ReadStructText(text, name, fields, &value);
  if (!read.ok()) return CorvantineError::Serialization(std::move(read).error().message);
  return value;
}

}  // namespace

std::string RetentionBranchBootstrap::ToJson() const {
  return json::WriteStructText(*this, kBranchFields);
}

Result<RetentionBranchBootstrap> RetentionBranchBootstrap::FromJson(std::string_view text) {
  return ReadDocument(text, "RetentionBranchBootstrap", kBranchFields);
}

std::string RetentionConsumerBootstrap::ToJson() const {
  return json::WriteStructText(*this, kConsumerFields);
}

Result<RetentionConsumerBootstrap> RetentionConsumerBootstrap::FromJson(std::string_view text) {
  return ReadDocument(text, "RetentionConsumerBootstrap", kConsumerFields);
}

}  // namespace corvantine::retention
