#include "retention/system_records.h"

#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "projection/json.h"
#include "projection/records.h"

namespace corvantine::retention {

namespace {

// Families keep checkpoints and bootstraps of one consumer apart.
std::string Keyed(char family, std::string_view key) {
  std::string keyed(1, family);
  keyed.append(key);
  return keyed;
}

std::optional<std::string> CheckpointKey(const std::string& payload) {
  auto checkpoint = projection::FromJson<projection::ConsumerCheckpoint>(payload);
  if (!checkpoint.ok()) return std::nullopt;
  return Keyed('c', checkpoint->consumer_id);
}

std::optional<std::string> RegistrationKey(const std::string& payload) {
  auto registration = projection::FromJson<projection::DurableProjectionRegistration>(payload);
  if (!registration.ok()) return std::nullopt;
  return Keyed('p', registration->descriptor.name);
}

std::optional<std::string> BranchBootstrapKey(const std::string& payload) {
  Result<RetentionBranchBootstrap> bootstrap = RetentionBranchBootstrap::FromJson(payload);
  if (!bootstrap.ok()) return std::nullopt;
  return Keyed('b', bootstrap->branch_id.ToHex());
}

std::optional<std::string> ConsumerBootstrapKey(const std::string& payload) {
  Result<RetentionConsumerBootstrap> bootstrap = RetentionConsumerBootstrap::FromJson(payload);
  if (!bootstrap.ok()) return std::nullopt;
  return Keyed('r', bootstrap->consumer_id);
}

}  // namespace

std::optional<std::string> SystemRecordKey(const AnchoredSystemRecord& record) {
  const std::string& type = record.event_type;
  if (type == projection::kConsumerCheckpointEventType) return CheckpointKey(record.payload);
  if (type == projection::kConsumerClearedEventType) return Keyed('c', record.payload);
  if (type == projection::kProjectionRegisteredEventType) return RegistrationKey(record.payload);
  if (type == projection::kProjectionDroppedEventType) return Keyed('p', record.payload);
  if (type == kBranchBootstrapEventType) return BranchBootstrapKey(record.payload);
  if (type == kConsumerBootstrapEventType) return ConsumerBootstrapKey(record.payload);
  return std::nullopt;
}

std::vector<AnchoredSystemRecord> LatestPerKey(std::vector<AnchoredSystemRecord> records) {
  std::vector<std::optional<std::string>> keys;
  std::unordered_map<std::string, size_t> last;
  for (size_t i = 0; i < records.size(); ++i) {
    keys.push_back(SystemRecordKey(records[i]));
    if (keys.back()) last.insert_or_assign(*keys.back(), i);
  }
  std::vector<AnchoredSystemRecord> latest;
  std::set<std::pair<std::string_view, std::string_view>> unkeyed;
  for (size_t i = 0; i < records.size(); ++i) {
    const AnchoredSystemRecord& record = records[i];
    const bool kept = keys[i] ? last.at(*keys[i]) == i
                              : unkeyed.emplace(record.event_type, record.payload).second;
    if (kept) latest.push_back(record);
  }
  return latest;
}

}  // namespace corvantine::retention
