// The requests that engine handles send to the sequencer. Every command that
// expects an answer carries, after its arguments, the sender of the caller's
// reply slot; the sequencer answers it exactly once, or drops it unanswered
// when it stops, which the caller reads as a closed engine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "branch/branch.h"
#include "facade/engine/channel.h"
#include "facade/engine/error.h"
#include "facade/feed/feed_records.h"
#include "facade/view/query.h"
#include "facade/engine/records.h"
#include "facade/retention/retention_records.h"
#include "format/ids.h"

namespace corvantine::facade {

namespace command {

// A command answered with a T or an E.
template <typename T, typename E = EngineError>
struct Expects {
  using Reply = error::Expected<T, E>;
  ReplySender<Reply> reply;
};

struct Append : Expects<AppendReceiptDto> {
  AppendBatch batch;
};
struct Commit : Expects<uint64_t> {};
struct Head : Expects<uint64_t> {};
struct DurableHead : Expects<uint64_t> {};
struct UncommittedCount : Expects<uint64_t> {};
struct RetentionFloor : Expects<uint64_t> {};
struct Fork : Expects<BranchDto> {
  format::BranchId parent;
  uint64_t position = 0;
  std::string name;
  branch::BranchMetadata metadata;
};
struct BranchNamed : Expects<BranchDto> {
  std::string name;
};
struct Ancestry : Expects<std::vector<BranchDto>> {
  format::BranchId branch;
};
struct Archive : Expects<BranchDto> {
  format::BranchId branch;
};
struct Diff : Expects<DiffDto> {
  DiffRequest request;
};
struct OpenReader : Expects<ReaderHandle> {
  ReaderRequest request;
};
struct NextPage : Expects<ReplayPage> {
  ReaderHandle reader = 0;
};
struct CancelReader : Expects<void> {
  ReaderHandle reader = 0;
};
struct CloseReader : Expects<void> {
  ReaderHandle reader = 0;
};
struct OpenFeed : Expects<FeedHandle, FeedRefusal> {
  FeedRequest request;
};
struct NextFeedPage : Expects<FeedPage> {
  FeedHandle feed = 0;
};
struct AcknowledgeFeed : Expects<uint64_t> {
  FeedHandle feed = 0;
  std::optional<uint64_t> position;  // nothing: the feed position
};
struct CancelFeed : Expects<void> {
  FeedHandle feed = 0;
};
struct CloseFeed : Expects<void> {
  FeedHandle feed = 0;
};
struct ClearConsumer : Expects<void> {
  std::string consumer_id;
};
struct IngestBatch : Expects<AppendReceiptDto> {
  CommittedBatch batch;
};
// Feed bootstraps: resuming a consumer above the retention floor.
struct FetchFeedBootstrap : Expects<std::string> {
  FeedBootstrapDescriptor descriptor;
  uint64_t maximum_bytes = 0;
};
struct ResumeFeed : Expects<FeedHandle> {
  FeedBootstrapDescriptor descriptor;
  uint32_t max_batches = kDefaultFeedPageBatches;
  uint64_t max_bytes = kDefaultFeedPageBytes;
};
// Retention.
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
// Queries (views) and their snapshots.
struct RegisterQuery : Expects<QueryHandle> {
  std::string name;
  QueryDefinition definition;
  uint32_t partition_count = 1;
};
struct RegisterProjection : Expects<QueryHandle> {
  ProjectionDescriptor descriptor;
  std::unique_ptr<ProjectionRuntime> runtime;
};
struct RemoveQuery : Expects<bool> {
  std::string name;
};
struct QueryNamed : Expects<QueryHandle> {
  std::string name;
};
struct QueryConsistent : Expects<QueryResult> {
  QueryHandle query = 0;
  QueryOperation operation;
  QueryConsistency consistency;
};
struct QueryPartitions : Expects<QueryResult> {
  QueryHandle query = 0;
  std::vector<uint32_t> partitions;
  QueryOperation operation;
  QueryConsistency consistency;
};
struct QueryStatus : Expects<ProjectionStatus> {
  QueryHandle query = 0;
};
struct PartitionStatuses : Expects<std::vector<PartitionStatus>> {
  QueryHandle query = 0;
};
struct CreateSnapshot : Expects<SnapshotInfo> {
  QueryHandle query = 0;
};
struct CreatePartitionSnapshot : Expects<SnapshotInfo> {
  QueryHandle query = 0;
  uint32_t partition = 0;
};
struct ListSnapshots : Expects<std::vector<SnapshotInfo>> {
  QueryHandle query = 0;
};
struct VerifySnapshot : Expects<SnapshotInfo> {
  std::string id;
};
struct DeleteSnapshot : Expects<bool> {
  std::string id;
};
struct DeleteAllDerivedState : Expects<void> {};
struct RebuildProjection : Expects<void> {
  QueryHandle query = 0;
};
// Stops the sequencer; the commands queued behind it are dropped unanswered.
// `ack` (connected to nothing when the last handle is dropped) is answered
// before the sequencer lets go of the database.
struct Shutdown {
  ReplySender<EngineResult<>> ack;
};

}  // namespace command

using Command =
    std::variant<command::Append, command::Commit, command::Head, command::DurableHead,
                 command::UncommittedCount, command::RetentionFloor, command::Fork,
                 command::BranchNamed, command::Ancestry, command::Archive, command::Diff,
                 command::OpenReader, command::NextPage, command::CancelReader,
                 command::CloseReader, command::RegisterQuery, command::RegisterProjection,
                 command::RemoveQuery, command::QueryNamed, command::QueryConsistent,
                 command::QueryPartitions, command::QueryStatus, command::PartitionStatuses,
                 command::CreateSnapshot, command::CreatePartitionSnapshot,
                 command::ListSnapshots, command::VerifySnapshot, command::DeleteSnapshot,
                 command::DeleteAllDerivedState, command::RebuildProjection, command::OpenFeed,
                 command::NextFeedPage, command::AcknowledgeFeed, command::CancelFeed,
                 command::CloseFeed, command::ClearConsumer, command::IngestBatch,
                 command::FetchFeedBootstrap, command::ResumeFeed, command::RetentionStatus,
                 command::PlanRetention, command::PlanRetentionPolicy,
                 command::CreateRetentionAnchor, command::ApplyRetention,
                 command::RegisterBranchBootstrap, command::RegisterConsumerBootstrap,
                 command::BranchBootstrap, command::ConsumerBootstrap, command::Shutdown>;

}  // namespace corvantine::facade
