// Feeds arbitrary bytes to the JSON helpers. Validate and Parse must agree;
// whatever parses must print compactly to text that parses back to an equal
// value (number kinds included) and prints to the same bytes; the struct
// reader must fail only with a placed message.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "util/json.h"

namespace json = corvantine::util::json;
using corvantine::fuzz::Check;

namespace {

struct Sample {
  uint32_t version = 0;
  std::array<uint8_t, 16> id{};
  std::optional<uint64_t> floor;
  std::vector<uint8_t> bytes;
  std::map<std::string, std::vector<uint8_t>> metadata;
  std::string name;
  int64_t delta = 0;
  bool flag = false;
  size_t status = 0;
};

json::Result<> ReadInner(json::Reader& reader, Sample* sample) {
  static constexpr std::string_view kStatuses[] = {"Active", "Archived"};
  const json::Field fields[] = {
      {"delta", json::Presence::kRequired, json::Into(&sample->delta)},
      {"flag", json::Presence::kDefault, json::Into(&sample->flag)},
      {"status", json::Presence::kDefault,
       [&](json::Reader& r) -> json::Result<> {
         CVN_ASSIGN_OR_RETURN(sample->status, r.ReadVariant(kStatuses));
         return {};
       }},
  };
  return reader.ReadStruct("Inner", fields);
}

void ReadSampleStruct(std::string_view text) {
  Sample sample;
  const json::Field fields[] = {
      {"version", json::Presence::kRequired, json::Into(&sample.version)},
      {"id", json::Presence::kOptional, json::Into(&sample.id)},
      {"floor", json::Presence::kOptional, json::Into(&sample.floor)},
      {"bytes", json::Presence::kDefault, json::Into(&sample.bytes)},
      {"metadata", json::Presence::kDefault, json::Into(&sample.metadata)},
      {"name", json::Presence::kDefault, json::Into(&sample.name)},
      {"inner", json::Presence::kDefault,
       [&](json::Reader& r) { return ReadInner(r, &sample); }},
  };
  const json::Result<> read = json::ReadDocument(
      text, [&](json::Reader& r) { return r.ReadStruct("Sample", fields); });
  Check(read.ok() || (read.error().has_position &&
                      read.error().message.find(" at line ") != std::string::npos));
}

std::string Compact(const nlohmann::json& value) {
  std::string out;
  json::WriteCompact(value, &out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const json::Result<> validated = json::Validate(text);
  const json::Result<nlohmann::json> parsed = json::Parse(text);
  Check(validated.ok() == parsed.ok());
  if (!parsed.ok()) {
    Check(validated.error().message == parsed.error().message);
  } else {
    const std::string printed = Compact(*parsed);
    const json::Result<nlohmann::json> reparsed = json::Parse(printed);
    Check(reparsed.ok());
    Check(json::KindEqual(*parsed, *reparsed));
    Check(Compact(*reparsed) == printed);

    std::string pretty;
    json::WritePretty(*parsed, &pretty);
    const json::Result<nlohmann::json> from_pretty = json::Parse(pretty);
    Check(from_pretty.ok() && json::KindEqual(*parsed, *from_pretty));
  }
  ReadSampleStruct(text);
  return 0;
}
