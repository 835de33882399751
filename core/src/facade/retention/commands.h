// The retention commands (facade/retention/retention_commands.h), and the
// fetch of a feed bootstrap's checkpoint.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "facade/engine/expects.h"
#include "facade/feed/feed_records.h"
#include "facade/retention/retention_records.h"
#include "format/ids.h"

namespace corvantine::facade::command {

struct RetentionFloor : Expects<uint64_t> {};
struct RetentionStatus : Expects<RetentionStatusDto> {
  std::optional<uint64_t> keep_from;
};
struct PlanRetention : Expects<RetentionPlan> {
  uint64_t keep_from = 0;
};
struct PlanRetentionPolicy : Expects<RetentionPolicyPreview> {
  RetentionPolicy policy = RetentionPolicy::kKeepFrom;
  uint64_t value = 0;
};
struct CreateRetentionAnchor : Expects<RetentionAnchorInfo> {
  uint64_t keep_from = 0;
};
struct ApplyRetention : Expects<RetentionApplyResult> {
  format::IdBytes plan_id{};
};
struct RegisterBranchBootstrap : Expects<uint64_t> {
  format::BranchId branch;
  uint64_t keep_from = 0;
  std::string checkpoint;
};
struct RegisterConsumerBootstrap : Expects<uint64_t> {
  std::string consumer_id;
  uint64_t keep_from = 0;
  FeedFilter scope;
  std::string codec;
  uint32_t codec_version = 0;
  std::string checkpoint;
};
struct BranchBootstrap : Expects<std::optional<std::string>> {
  format::BranchId branch;
};
struct ConsumerBootstrap : Expects<std::optional<std::string>> {
  std::string consumer_id;
};
struct FetchFeedBootstrap : Expects<std::string> {
  FeedBootstrapDescriptor descriptor;
  uint64_t maximum_bytes = 0;
};

}  // namespace corvantine::facade::command
