#include "projection/checkpoint.h"

#include <array>
#include <cstdint>

#include "util/json_writer.h"

namespace corvantine::projection {

namespace {

namespace json = util::json;

// The decimal text of every byte value: a checkpoint is mostly these.
const std::array<std::string, 256>& ByteTexts() {
  static const std::array<std::string, 256> texts = [] {
    std::array<std::string, 256> all;
    for (size_t i = 0; i < all.size(); ++i) all[i] = std::to_string(i);
    return all;
  }();
  return texts;
}

void AppendBytes(std::string_view bytes, std::string* out) {
  const std::array<std::string, 256>& texts = ByteTexts();
  *out += '[';
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) *out += ',';
    *out += texts[static_cast<uint8_t>(bytes[i])];
  }
  *out += ']';
}

json::Result<> ReadBytes(json::Reader& reader, std::string* out) {
  return reader.ReadSeq("a sequence", [out](json::Reader& r) -> json::Result<> {
    for (;;) {
      r.TakePlainBytes(out);
      CVN_ASSIGN_OR_RETURN(const bool more, r.NextElement());
      if (!more) return {};
      CVN_ASSIGN_OR_RETURN(const uint8_t byte, r.ReadU8());
      out->push_back(static_cast<char>(byte));
    }
  });
}

// [[owner id], [body bytes]]
json::Result<> ReadOwnedBody(json::Reader& reader, format::IdBytes* owner, std::string* body) {
  constexpr std::string_view kExpected = "a tuple of size 2";
  return reader.ReadSeq(kExpected, [&](json::Reader& r) -> json::Result<> {
    CVN_ASSIGN_OR_RETURN(const bool has_owner, r.NextElement());
    if (!has_owner) return json::InvalidLength(0, kExpected);
    CVN_TRY(json::ReadInto(r, owner));
    CVN_ASSIGN_OR_RETURN(const bool has_body, r.NextElement());
    if (!has_body) return json::InvalidLength(1, kExpected);
    return ReadBytes(r, body);
  });
}

// Reads the object of a checkpoint, `read_member` reading each member's
// value after its key.
json::Result<> ReadMembers(
    std::string_view state,
    const std::function<json::Result<>(json::Reader&, std::string key)>& read_member) {
  return json::ReadDocument(state, [&](json::Reader& reader) {
    return reader.ReadMap("a map", [&](json::Reader& r) -> json::Result<> {
      for (;;) {
        std::string_view key;
        CVN_ASSIGN_OR_RETURN(const bool more, r.NextKey(&key));
        if (!more) return {};
        std::string owned_key(key);
        CVN_TRY(r.ReadColon());
        CVN_TRY(read_member(r, std::move(owned_key)));
      }
    });
  });
}

}  // namespace

CheckpointWriter::CheckpointWriter(std::string* out) : out_(out) { *out_ += '{'; }

void CheckpointWriter::AddKey(std::string_view key) {
  if (!first_) *out_ += ',';
  first_ = false;
  json::AppendString(key, out_);
  *out_ += ':';
}

void CheckpointWriter::AddWhole(std::string_view key, std::string_view body) {
  AddKey(key);
  AppendBytes(body, out_);
}

void CheckpointWriter::AddPartition(std::string_view key, const format::StreamId& owner,
                                    std::string_view body) {
  AddKey(key);
  *out_ += '[';
  const format::IdBytes& id = owner.bytes();
  AppendBytes(std::string_view(reinterpret_cast<const char*>(id.data()), id.size()), out_);
  *out_ += ',';
  AppendBytes(body, out_);
  *out_ += ']';
}

void CheckpointWriter::Finish() { *out_ += '}'; }

json::Result<> ReadWholeCheckpoint(
    std::string_view state,
    const std::function<void(std::string_view key, std::string body)>& visit) {
  return ReadMembers(state, [&](json::Reader& reader, std::string key) -> json::Result<> {
    std::string body;
    CVN_TRY(ReadBytes(reader, &body));
    visit(key, std::move(body));
    return {};
  });
}

json::Result<> ReadPartitionCheckpoint(
    std::string_view state,
    const std::function<void(std::string_view key, const format::StreamId& owner,
                             std::string body)>& visit) {
  return ReadMembers(state, [&](json::Reader& reader, std::string key) -> json::Result<> {
    format::IdBytes owner;
    std::string body;
    CVN_TRY(ReadOwnedBody(reader, &owner, &body));
    visit(key, format::StreamId(owner), std::move(body));
    return {};
  });
}

}  // namespace corvantine::projection
