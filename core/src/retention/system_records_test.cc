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

TEST(SystemRecordKeyTest, EachFamilyKeysByWhatReplayKeysBy) {
  RetentionBranchBootstrap branch;
  branch.branch_id = format::BranchId(format::IdBytes{7});
  RetentionConsumerBootstrap consumer;
  consumer.consumer_id = "c";
  struct Case {
    AnchoredSystemRecord record;
    std::optional<std::string> key;
  } cases[] = {
      {Checkpoint("c", 3), "cc"},
      {{"corvantine.consumer.cleared", "c"}, "cc"},
      {Registration("v"), "pv"},
      {{"corvantine.projection.dropped", "v"}, "pv"},
      {{std::string(kConsumerBootstrapEventType), consumer.ToJson()}, "rc"},
      {{std::string(kBranchBootstrapEventType), branch.ToJson()},
       "b" + branch.branch_id.ToHex()},
      {{"corvantine.consumer.checkpoint", "not json"}, std::nullopt},
      {{"corvantine.branch.created", "{}"}, std::nullopt},
      {{"app.note", "c"}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record.event_type + " " + c.record.payload);
    EXPECT_EQ(SystemRecordKey(c.record), c.key);
  }
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

// Random histories of checkpoints, clears, registrations, drops and
// unkeyed records: the compacted list replays to the same state, keeps its
// records in their order, and holds one record per key or unkeyed value.
TEST(LatestPerKeyTest, CompactingChangesNothingThatReplaySees) {
  std::mt19937 random(16);
  for (int round = 0; round < 200; ++round) {
    std::vector<AnchoredSystemRecord> history;
    const int length = static_cast<int>(random() % 30);
    for (int i = 0; i < length; ++i) {
      const std::string id(1, static_cast<char>('a' + random() % 3));
      switch (random() % 5) {
        case 0: history.push_back(Checkpoint(id, random() % 100)); break;
        case 1: history.push_back({"corvantine.consumer.cleared", id}); break;
        case 2: history.push_back(Registration(id)); break;
        case 3: history.push_back({"corvantine.projection.dropped", id}); break;
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
}

}  // namespace
}  // namespace corvantine::retention
