#include "facade/engine/engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "facade/engine/channel.h"
#include "facade/engine/command.h"
#include "facade/engine/sequencer.h"

namespace corvantine::facade {

namespace {

// How long a caller spins for an append's answer: the sequencer takes up to
// two microseconds for each event of a batch, and a sync waits for the disk,
// commonly a few hundred microseconds. Sleeping instead would add a
// wake-up, tens of microseconds, to every such append.
std::chrono::nanoseconds ReplySpinFor(const AppendBatch& batch) {
  constexpr std::chrono::nanoseconds kPerEvent = std::chrono::microseconds(2);
  constexpr std::chrono::nanoseconds kMaxBatchSpin = std::chrono::microseconds(500);
  constexpr std::chrono::nanoseconds kSyncSpin = std::chrono::milliseconds(1);
  if (batch.durability == stream::RequestDurability::kSync) return kSyncSpin;
  const auto events = static_cast<int64_t>(batch.events.size());
  return std::clamp<std::chrono::nanoseconds>(kPerEvent * events, channel_internal::kReplySpin,
                                              kMaxBatchSpin);
}

// A caller's leave to spin longer than the usual round trip. At most half
// the processors hold one at once, so that many waiting callers cannot
// starve the sequencer; a caller without one sleeps sooner.
class LongSpinPermit {
 public:
  explicit LongSpinPermit(std::atomic<int>& holders)
      : holders_(holders), held_(holders.fetch_add(1, std::memory_order_relaxed) < MaxHolders()) {
    if (!held_) holders_.fetch_sub(1, std::memory_order_relaxed);
  }
  ~LongSpinPermit() {
    if (held_) holders_.fetch_sub(1, std::memory_order_relaxed);
  }
  LongSpinPermit(const LongSpinPermit&) = delete;
  LongSpinPermit& operator=(const LongSpinPermit&) = delete;

  bool held() const { return held_; }

 private:
  static int MaxHolders() {
    static const int max = std::max(1, static_cast<int>(std::thread::hardware_concurrency() / 2));
    return max;
  }

  std::atomic<int>& holders_;
  const bool held_;
};

}  // namespace

// The record that every copy of a handle shares. The sequencer never holds
// it, so its destruction, which stops and joins the sequencer, cannot run on
// the sequencer itself.
struct Engine::Inner {
  Inner(std::shared_ptr<EngineShared> shared, std::thread sequencer)
      : shared(std::move(shared)), sequencer(std::move(sequencer)) {}

  // The last handle is gone: stops the sequencer, unacknowledged, and
  // waits for it to end.
  ~Inner() {
    shared->feed.Notify();
    shared->commands.Push(command::Shutdown{});
    if (sequencer.joinable()) sequencer.join();
  }

  // Returns once the sequencer has ended, whoever stopped it.
  void JoinSequencer() {
    std::lock_guard<std::mutex> lock(join_mutex);
    if (sequencer.joinable()) sequencer.join();
  }

  std::shared_ptr<EngineShared> shared;
  std::atomic<bool> closed{false};
  std::atomic<int> long_spinners{0};  // holders of a LongSpinPermit
  std::mutex join_mutex;
  std::thread sequencer;  // guarded by join_mutex once the engine is shared
};

EngineResult<Engine> Engine::Open(OpenConfig config) {
  auto shared = std::make_shared<EngineShared>();
  ReplySlot<EngineResult<>> ready;
  std::thread sequencer;
  try {
    sequencer = std::thread(RunSequencer, std::move(config), shared,
                            ReplySender<EngineResult<>>(&ready));
  } catch (const std::system_error& error) {
    return EngineError::Internal(error.code().message());
  }
  std::optional<EngineResult<>> started = ready.Wait();
  if (!started || !started->ok()) {
    // The sequencer has let go of the directory before it answered, and
    // ends right after.
    sequencer.join();
    if (!started) return EngineError::Internal("sequencer stopped during open");
    return std::move(*started).error();
  }
  return Engine(std::make_shared<Inner>(std::move(shared), std::move(sequencer)));
}

EngineResult<> Engine::Close() const {
  Inner& inner = *inner_;
  if (inner.closed.exchange(true, std::memory_order_acq_rel)) {
    // Another Close is stopping the sequencer; return only once it has ended,
    // so that the directory is free whichever Close returns first.
    inner.JoinSequencer();
    return {};
  }
  inner.shared->feed.Notify();
  ReplySlot<EngineResult<>> ack;
  const bool acknowledged =
      inner.shared->commands.Push(command::Shutdown{ReplySender<EngineResult<>>(&ack)}) &&
      ack.Wait().has_value();
  inner.JoinSequencer();
  if (inner.shared->panicked.load(std::memory_order_acquire)) {
    return EngineError::Internal("sequencer panicked");
  }
  if (!acknowledged) return EngineError::Closed();
  return {};
}

template <typename C>
bool Engine::Send(C command, ReplySlot<typename C::Reply>* slot) const {
  if (inner_->closed.load(std::memory_order_acquire)) return false;
  command.reply = ReplySender<typename C::Reply>(slot);
  return inner_->shared->commands.Push(std::move(command));
}

template <typename C>
typename C::Reply Engine::Call(C command, std::chrono::nanoseconds spin) const {
  using Reply = typename C::Reply;
  ReplySlot<Reply> slot;
  if (!Send(std::move(command), &slot)) return Reply(EngineError::Closed());
  std::optional<LongSpinPermit> permit;
  if (spin > channel_internal::kReplySpin) {
    permit.emplace(inner_->long_spinners);
    if (!permit->held()) spin = channel_internal::kReplySpin;
  }
  auto reply = slot.Wait(spin);
  if (!reply) return Reply(EngineError::Closed());
  return std::move(*reply);
}

template <typename C>
typename C::Reply Engine::Call(C command) const {
  return Call(std::move(command), channel_internal::kReplySpin);
}

EngineResult<AppendReceiptDto> Engine::Append(AppendBatch batch) const {
  const std::chrono::nanoseconds spin = ReplySpinFor(batch);
  return Call(command::Append{{}, std::move(batch)}, spin);
}

EngineResult<uint64_t> Engine::Commit() const { return Call(command::Commit{}); }

EngineResult<uint64_t> Engine::Head() const { return Call(command::Head{}); }

EngineResult<uint64_t> Engine::DurableHead() const { return Call(command::DurableHead{}); }

EngineResult<uint64_t> Engine::UncommittedCount() const {
  return Call(command::UncommittedCount{});
}

EngineResult<uint64_t> Engine::RetentionFloor() const { return Call(command::RetentionFloor{}); }

EngineResult<BranchDto> Engine::Fork(const format::BranchId& parent, uint64_t position,
                                     std::string name, branch::BranchMetadata metadata) const {
  return Call(command::Fork{{}, parent, position, std::move(name), std::move(metadata)});
}

EngineResult<BranchDto> Engine::BranchNamed(std::string name) const {
  return Call(command::BranchNamed{{}, std::move(name)});
}

EngineResult<std::vector<BranchDto>> Engine::Ancestry(const format::BranchId& branch) const {
  return Call(command::Ancestry{{}, branch});
}

EngineResult<BranchDto> Engine::Archive(const format::BranchId& branch) const {
  return Call(command::Archive{{}, branch});
}

EngineResult<DiffDto> Engine::Diff(DiffRequest request) const {
  return Call(command::Diff{{}, std::move(request)});
}

EngineResult<ReaderHandle> Engine::OpenReader(ReaderRequest request) const {
  return Call(command::OpenReader{{}, std::move(request)});
}

EngineResult<ReplayPage> Engine::NextPage(ReaderHandle reader) const {
  return Call(command::NextPage{{}, reader});
}

PendingPage Engine::RequestPage(ReaderHandle reader) const {
  PendingPage pending;
  pending.slot_ = std::make_unique<ReplySlot<PendingPage::Reply>>();
  if (!Send(command::NextPage{{}, reader}, pending.slot_.get())) {
    pending.slot_.reset();
    pending.answer_.emplace(EngineError::Closed());
  }
  return pending;
}

PendingPage::PendingPage(PendingPage&&) = default;

PendingPage::~PendingPage() {
  if (slot_) slot_->Wait();
}

EngineResult<ReplayPage> PendingPage::Get() {
  if (slot_) {
    std::optional<Reply> reply = slot_->Wait();
    slot_.reset();
    answer_.emplace(reply ? std::move(*reply) : EngineError::Closed());
  }
  return std::move(*answer_);
}

EngineResult<> Engine::CancelReader(ReaderHandle reader) const {
  return Call(command::CancelReader{{}, reader});
}

EngineResult<> Engine::CloseReader(ReaderHandle reader) const {
  return Call(command::CloseReader{{}, reader});
}

OpenFeedResult Engine::OpenFeed(FeedRequest request) const {
  return Call(command::OpenFeed{{}, std::move(request)});
}

EngineResult<FeedPage> Engine::NextFeedPage(FeedHandle feed,
                                            std::optional<uint64_t> wait_millis) const {
  constexpr uint64_t kMaxWaitMillis = 24 * 60 * 60 * 1000;
  EngineResult<FeedPage> page = Call(command::NextFeedPage{{}, feed});
  if (!page.ok() || !page->batches.empty() || wait_millis.value_or(0) == 0) return page;
  const std::chrono::milliseconds wait(std::min(*wait_millis, kMaxWaitMillis));
  switch (inner_->shared->feed.WaitPast(page->next_position, wait, inner_->closed)) {
    case FeedSignal::Wake::kClosed:
      return EngineError::Closed();
    case FeedSignal::Wake::kTimedOut:
      page->timed_out = true;
      return page;
    case FeedSignal::Wake::kPublishedBeyond:
    case FeedSignal::Wake::kWoken:
      break;
  }
  return Call(command::NextFeedPage{{}, feed});
}

EngineResult<uint64_t> Engine::AcknowledgeFeed(FeedHandle feed,
                                               std::optional<uint64_t> position) const {
  return Call(command::AcknowledgeFeed{{}, feed, position});
}

EngineResult<> Engine::CancelFeed(FeedHandle feed) const {
  return Call(command::CancelFeed{{}, feed});
}

EngineResult<> Engine::CloseFeed(FeedHandle feed) const {
  return Call(command::CloseFeed{{}, feed});
}

EngineResult<> Engine::ClearConsumer(std::string consumer_id) const {
  return Call(command::ClearConsumer{{}, std::move(consumer_id)});
}

EngineResult<AppendReceiptDto> Engine::IngestBatch(CommittedBatch batch) const {
  return Call(command::IngestBatch{{}, std::move(batch)});
}

EngineResult<std::string> Engine::FetchFeedBootstrap(FeedBootstrapDescriptor descriptor,
                                                     uint64_t maximum_bytes) const {
  return Call(command::FetchFeedBootstrap{{}, std::move(descriptor), maximum_bytes});
}

EngineResult<FeedHandle> Engine::ResumeFeed(FeedBootstrapDescriptor descriptor,
                                            uint32_t max_batches, uint64_t max_bytes) const {
  return Call(command::ResumeFeed{{}, std::move(descriptor), max_batches, max_bytes});
}

EngineResult<RetentionStatusDto> Engine::RetentionStatus(std::optional<uint64_t> keep_from) const {
  return Call(command::RetentionStatus{{}, keep_from});
}

EngineResult<RetentionPlan> Engine::PlanRetention(uint64_t keep_from) const {
  return Call(command::PlanRetention{{}, keep_from});
}

EngineResult<RetentionPolicyPreview> Engine::PlanRetentionPolicy(RetentionPolicy policy,
                                                                 uint64_t value) const {
  return Call(command::PlanRetentionPolicy{{}, policy, value});
}

EngineResult<RetentionAnchorInfo> Engine::CreateRetentionAnchor(uint64_t keep_from) const {
  return Call(command::CreateRetentionAnchor{{}, keep_from});
}

EngineResult<RetentionApplyResult> Engine::ApplyRetention(const format::IdBytes& plan_id) const {
  return Call(command::ApplyRetention{{}, plan_id});
}

EngineResult<uint64_t> Engine::RegisterBranchBootstrap(const format::BranchId& branch,
                                                       uint64_t keep_from,
                                                       std::string checkpoint) const {
  return Call(command::RegisterBranchBootstrap{{}, branch, keep_from, std::move(checkpoint)});
}

EngineResult<uint64_t> Engine::RegisterConsumerBootstrap(std::string consumer_id,
                                                         uint64_t keep_from,
                                                         std::string checkpoint) const {
  return RegisterConsumerBootstrapForFeed(std::move(consumer_id), keep_from, {},
                                          std::string(retention::kDefaultBootstrapCodec),
                                          retention::kDefaultBootstrapCodecVersion,
                                          std::move(checkpoint));
}

EngineResult<uint64_t> Engine::RegisterConsumerBootstrapForFeed(
    std::string consumer_id, uint64_t keep_from, FeedFilter scope, std::string codec,
    uint32_t codec_version, std::string checkpoint) const {
  return Call(command::RegisterConsumerBootstrap{{},
                                                 std::move(consumer_id),
                                                 keep_from,
                                                 std::move(scope),
                                                 std::move(codec),
                                                 codec_version,
                                                 std::move(checkpoint)});
}

EngineResult<std::optional<std::string>> Engine::BranchBootstrap(
    const format::BranchId& branch) const {
  return Call(command::BranchBootstrap{{}, branch});
}

EngineResult<std::optional<std::string>> Engine::ConsumerBootstrap(
    std::string consumer_id) const {
  return Call(command::ConsumerBootstrap{{}, std::move(consumer_id)});
}

EngineResult<QueryHandle> Engine::RegisterQuery(std::string name, QueryDefinition definition,
                                                uint32_t partition_count) const {
  return Call(command::RegisterQuery{{}, std::move(name), std::move(definition), partition_count});
}

EngineResult<QueryHandle> Engine::RegisterProjection(
    ProjectionDescriptor descriptor, std::unique_ptr<ProjectionRuntime> runtime) const {
  return Call(command::RegisterProjection{{}, std::move(descriptor), std::move(runtime)});
}

EngineResult<bool> Engine::RemoveQuery(std::string name) const {
  return Call(command::RemoveQuery{{}, std::move(name)});
}

EngineResult<QueryHandle> Engine::QueryNamed(std::string name) const {
  return Call(command::QueryNamed{{}, std::move(name)});
}

EngineResult<QueryResult> Engine::Query(QueryHandle query, QueryOperation operation,
                                        QueryConsistency consistency) const {
  return Call(command::QueryConsistent{{}, query, std::move(operation), consistency});
}

EngineResult<QueryResult> Engine::QueryPartitions(QueryHandle query,
                                                  std::vector<uint32_t> partitions,
                                                  QueryOperation operation,
                                                  QueryConsistency consistency) const {
  return Call(command::QueryPartitions{
      {}, query, std::move(partitions), std::move(operation), consistency});
}

EngineResult<ProjectionStatus> Engine::QueryStatus(QueryHandle query) const {
  return Call(command::QueryStatus{{}, query});
}

EngineResult<std::vector<PartitionStatus>> Engine::PartitionStatuses(QueryHandle query) const {
  return Call(command::PartitionStatuses{{}, query});
}

EngineResult<> Engine::RebuildProjection(QueryHandle query) const {
  return Call(command::RebuildProjection{{}, query});
}

EngineResult<SnapshotInfo> Engine::CreateSnapshot(QueryHandle query) const {
  return Call(command::CreateSnapshot{{}, query});
}

EngineResult<SnapshotInfo> Engine::CreatePartitionSnapshot(QueryHandle query,
                                                           uint32_t partition) const {
  return Call(command::CreatePartitionSnapshot{{}, query, partition});
}

EngineResult<std::vector<SnapshotInfo>> Engine::ListSnapshots(QueryHandle query) const {
  return Call(command::ListSnapshots{{}, query});
}

EngineResult<SnapshotInfo> Engine::VerifySnapshot(std::string id) const {
  return Call(command::VerifySnapshot{{}, std::move(id)});
}

EngineResult<bool> Engine::DeleteSnapshot(std::string id) const {
  return Call(command::DeleteSnapshot{{}, std::move(id)});
}

EngineResult<> Engine::DeleteAllDerivedState() const {
  return Call(command::DeleteAllDerivedState{});
}

const FeedSignal& Engine::feed_signal() const { return inner_->shared->feed; }

}  // namespace corvantine::facade
