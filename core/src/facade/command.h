// The requests that engine handles send to the sequencer. Every command that
// expects an answer carries, after its arguments, the sender of the caller's
// reply slot; the sequencer answers it exactly once, or drops it unanswered
// when it stops, which the caller reads as a closed engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "branch/branch.h"
#include "facade/channel.h"
#include "facade/error.h"
#include "facade/feed_records.h"
#include "facade/records.h"
#include "format/ids.h"

namespace corvantine::facade {

namespace command {

template <typename T>
struct Expects {
  using Value = T;
  ReplySender<EngineResult<T>> reply;
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
struct OpenFeed : Expects<FeedHandle> {
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
                 command::CloseReader, command::OpenFeed, command::NextFeedPage,
                 command::AcknowledgeFeed, command::CancelFeed, command::CloseFeed,
                 command::ClearConsumer, command::IngestBatch, command::Shutdown>;

}  // namespace corvantine::facade
