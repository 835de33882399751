// The requests that engine handles send to the sequencer. Every command that
// expects an answer carries, after its arguments, the sender of the caller's
// reply slot; the sequencer answers it exactly once, or drops it unanswered
// when it stops, which the caller reads as a closed engine. Each feature
// declares its own commands (feed/, retention/, view/ commands.h); those of
// the engine itself are here, and `Command` holds them all.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "branch/branch.h"
#include "facade/engine/channel.h"
#include "facade/engine/error.h"
#include "facade/engine/expects.h"
#include "facade/engine/records.h"
#include "facade/feed/commands.h"
#include "facade/retention/commands.h"
#include "facade/view/commands.h"
#include "format/ids.h"

namespace corvantine::facade {

namespace command {

struct Append : Expects<AppendReceiptDto> {
  AppendBatch batch;
};
struct Commit : Expects<uint64_t> {};
struct Head : Expects<uint64_t> {};
struct DurableHead : Expects<uint64_t> {};
struct UncommittedCount : Expects<uint64_t> {};
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
