#include "retention/system_records.h"

#include "projection/json.h"
#include "projection/records.h"

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace corvantine::retention {
namespace {

AnchoredSystemRecord Checkpoint(std::string_view consumer, uint64_t position) {
  return {"corvantine.consumer.checkpoint",
          fmt::format(R"({{"consumer_id":"{}","position":{}}})", consumer, position)};
}

AnchoredSystemRecord Registration(std::string name) {
  projection::QueryDefinition definition;
  definition.key_field = "id";
  projection::DurableProjectionRegistration registration{
      projection::QueryDescriptor(std::move(name), definition, 1), definition};
  return {"corvantine.projection.registered", projection::ToJson(registration)};
}

AnchoredSystemRecord ConsumerBootstrap(std::string id, uint64_t floor) {
  RetentionConsumerBootstrap bootstrap;
  bootstrap.consumer_id = std::move(id);
  bootstrap.floor = floor;
  return {std::string(kConsumerBootstrapEventType), bootstrap.ToJson()};
}

AnchoredSystemRecord BranchBootstrap(uint8_t id, uint64_t floor) {
  return {std::string(kBranchBootstrapEventType),
          RetentionBranchBootstrap{format::BranchId(format::IdBytes{id}), floor, 0, {}}.ToJson()};
}

// What replay makes of a record list: the latest record per key, and every
// distinct record without one.
std::map<std::string, AnchoredSystemRecord> Replayed(const std::vector<AnchoredSystemRecord>& all,
                                                     std::vector<AnchoredSystemRecord>& unkeyed) {
  std::map<std::string, AnchoredSystemRecord> latest;
  for (const AnchoredSystemRecord& record : all) {
    if (std::optional<std::string> key = SystemRecordKey(record)) {
      latest.insert_or_assign(*key, record);
    } else if (std::find(unkeyed.begin(), unkeyed.end(), record) == unkeyed.end()) {
      unkeyed.push_back(record);
    }
  }
  return latest;
}

// Random histories of checkpoints, clears, registrations, drops,
// bootstraps and unkeyed records (each family keyed as its replay keys it): the compacted list replays to the same state, keeps its
// records in their order, and holds one record per key or unkeyed value.
TEST(LatestPerKeyTest, CompactingChangesNothingThatReplaySees) {
  std::mt19937 random(16);
  for (int round = 0; round < 200; ++round) {
    std::vector<AnchoredSystemRecord> history;
    const int length = static_cast<int>(random() % 30);
    for (int i = 0; i < length; ++i) {
      const std::string id(1, static_cast<char>('a' + random() % 3));
      switch (random() % 7) {
        case 0: history.push_back(Checkpoint(id, random() % 100)); break;
        case 1: history.push_back({"corvantine.consumer.cleared", id}); break;
        case 2: history.push_back(Registration(id)); break;
        case 3: history.push_back({"corvantine.projection.dropped", id}); break;
        case 4: history.push_back(ConsumerBootstrap(id, random() % 100)); break;
        case 5: history.push_back(BranchBootstrap(id[0], random() % 100)); break;
        default: history.push_back({"app.note", std::to_string(random() % 3)}); break;
      }
    }
    std::vector<AnchoredSystemRecord> compacted = LatestPerKey(history);
    std::vector<AnchoredSystemRecord> unkeyed_before;
    std::vector<AnchoredSystemRecord> unkeyed_after;
    const auto before = Replayed(history, unkeyed_before);
    EXPECT_EQ(Replayed(compacted, unkeyed_after), before);
    EXPECT_EQ(unkeyed_after, unkeyed_before);
    EXPECT_EQ(compacted.size(), before.size() + unkeyed_before.size());
    // A subsequence of the history.
    size_t at = 0;
    for (const AnchoredSystemRecord& record : history) {
      if (at < compacted.size() && compacted[at] == record) ++at;
    }
    EXPECT_EQ(at, compacted.size());
  }
  EXPECT_EQ(SystemRecordKey({"corvantine.consumer.checkpoint", "not json"}), std::nullopt);
}

}  // namespace
}  // namespace corvantine::retention
