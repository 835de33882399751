#include "facade/view/projection_drive.h"

#include <algorithm>
#include <string>
#include <utility>

#include "facade/engine/records.h"
#include "format/metadata.h"
#include "projection/fingerprint.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::facade {

namespace {

using format::ProjectionCursor;
using projection::ProjectionFailure;
using projection::RecordView;

constexpr uint64_t kMaxSnapshotState = 64 << 20;

ProjectionCursor CursorOf(const db::Corvantine& db, const ProjectionDescriptor& descriptor,
                          uint64_t position) {
  return projection::CursorAt(db.database_id(), descriptor, position);
}

bool StreamNamed(const format::FrameView& frame, std::string_view name) {
  format::MetadataEntryReader entries(frame.envelope.metadata_entries);
  std::string_view key;
  std::string_view value;
  while (entries.Next(&key, &value)) {
    if (key == format::kStreamNameKey) return value == name;
  }
  return false;
}

// Which stored events a projection sees; the read itself follows its branch.
bool Selects(const ProjectionDescriptor& descriptor, const format::FrameView& frame) {
  if (descriptor.scope.stream && !StreamNamed(frame, *descriptor.scope.stream)) return false;
  if (descriptor.input_types.empty()) return true;
  const uint32_t version = frame.envelope.schema_version;
  return std::any_of(descriptor.input_types.begin(), descriptor.input_types.end(),
                     [&](const projection::InputType& input) {
                       return input.event_type == frame.envelope.event_type &&
                              input.min_schema_version <= version &&
                              version <= input.max_schema_version;
                     });
}

// The stored engine event read in place, as MakeRecordDto would read it.
Result<RecordView> ViewOf(const format::FrameView& frame) {
  util::BinaryReader reader(frame.payload);
  CVN_ASSIGN_OR_RETURN(const uint32_t codec, reader.VariantIndex(2));
  CVN_ASSIGN_OR_RETURN(const std::string_view body, reader.Bytes());
  return RecordView{frame.envelope.stream_id, codec == static_cast<uint32_t>(EventCodec::kJson),
                    body, frame.position};
}

projection::ProjectionResult<> ApplyGuarded(ProjectionRuntime& runtime, const RecordView& record) {
  try {
    return runtime.Apply(record);
  } catch (...) {
    return ProjectionFailure{"panic", "projection panicked"};
  }
}

ProjectionFailure ReadFailure(const CorvantineError& error) { return {"read", error.ToString()}; }

uint64_t HealTarget(const db::Corvantine& db, QueryConsistency consistency) {
  const uint64_t head = db.durable_head();
  if (consistency.kind != QueryConsistency::Kind::kAtLeast) return head;
  return std::min(head, consistency.position);
}

// Where a replay stopped and why.
struct ReplayFailure {
  uint64_t position;  // of the record that failed, or the next to apply
  ProjectionFailure failure;
};

// Applies every selected event that `request` reads, in log order.
std::optional<ReplayFailure> Replay(const db::Corvantine& db, db::ReadRequest request,
                                    uint64_t start, const QueryState& state) {
  Result<log::reader::LogReader> read = db.Read(std::move(request));
  if (!read.ok()) return ReplayFailure{start, ReadFailure(read.error())};
  uint64_t next = start;
  for (;;) {
    Result<const format::FrameView*> frame = read->NextView();
    if (!frame.ok()) return ReplayFailure{next, ReadFailure(frame.error())};
    if (*frame == nullptr) return std::nullopt;
    if (!Selects(state.descriptor, **frame)) continue;
    const uint64_t position = (*frame)->position;
    Result<RecordView> record = ViewOf(**frame);
    if (!record.ok()) {
      return ReplayFailure{position, {"decode", "codec: " + record.error().Detail()}};
    }
    projection::ProjectionResult<> applied = ApplyGuarded(*state.runtime, *record);
    if (!applied.ok()) return ReplayFailure{position, std::move(applied).error()};
    next = position + 1;
  }
}

// A projection scoped to one stream reads that stream alone, through the
// stream catalog's position index, instead of scanning its whole share.
db::ReadRequest ReadOf(const ProjectionDescriptor& descriptor, uint64_t from, uint64_t to,
                       log::reader::PartitionFilter partition) {
  db::ReadRequest request;
  request.branch_id = descriptor.scope.branch_id;
  request.start = db::StartBound::Included(from);
  request.until = to;
  request.partition = std::move(partition);
  request.stream_name = descriptor.scope.stream;
  return request;
}

// One partition's share of the log; a single partition reads it all.
log::reader::PartitionFilter PartitionOf(uint32_t index, uint32_t count) {
  if (count == 1) return log::reader::PartitionFilter::All();
  return log::reader::PartitionFilter::Modulo(count, index);
}

std::optional<uint32_t> SnapshotPartition(const QueryState& state, uint32_t index) {
  if (state.partitions.size() == 1) return std::nullopt;
  return index;
}

snapshot::RestoreIdentity IdentityOf(const db::Corvantine& db, const QueryState& state,
                                     uint32_t index) {
  const ProjectionDescriptor& descriptor = state.descriptor;
  return snapshot::RestoreIdentity{
      .database_id = db.database_id(),
      .projection_name = descriptor.name,
      .descriptor_fingerprint = projection::DescriptorFingerprint(descriptor),
      .definition_id = descriptor.definition_id,
      .definition_version = descriptor.definition_version,
      .branch_id = descriptor.scope.branch_id,
      .branch_lineage_fingerprint =
          projection::LineageFingerprint(db.branch_catalog(), descriptor.scope.branch_id),
      .state_codec = descriptor.state_codec,
      .state_codec_version = descriptor.state_codec_version,
      .partition_scheme_id = descriptor.partition_scheme.scheme_id,
      .partition_scheme_version = descriptor.partition_scheme.version,
      .partition_count = descriptor.partition_scheme.partition_count,
      .partition = SnapshotPartition(state, index),
      .max_position = db.durable_head(),
  };
}

// Whether a heal may restore from the snapshot: it fits the partition, and
// it stands at or above the retention floor, below which the log it would
// replay from is gone.
bool Usable(const db::Corvantine& db, const SnapshotInfo& listed,
            const snapshot::RestoreIdentity& identity) {
  return listed.manifest.cursor.position >= db.retention_floor() &&
         snapshot::Fits(listed.manifest, identity);
}

// The newest usable snapshot that the runtime accepts makes the partition
// Ready at its cursor; without one it stays Cold. Each state is read once,
// and only when the newer ones failed: a snapshot state can be large. A
// snapshot that cannot be read is the error, the partition left Cold.
EngineResult<> RestoreFromSnapshot(std::string_view root, const db::Corvantine& db,
                                   QueryState& state, uint32_t index) {
  const snapshot::RestoreIdentity identity = IdentityOf(db, state, index);
  const auto count = static_cast<uint32_t>(state.partitions.size());
  CVN_ASSIGN_OR_RETURN(const std::vector<SnapshotInfo> listed,
                       Converted(snapshot::ListManifests(root, identity.descriptor_fingerprint)));
  for (const SnapshotInfo& info : listed) {
    if (!Usable(db, info, identity)) continue;
    CVN_ASSIGN_OR_RETURN(const std::vector<snapshot::SnapshotCandidate> loaded,
                         Converted(snapshot::LoadCandidates(root, {info}, identity)));
    for (const snapshot::SnapshotCandidate& candidate : loaded) {
      const uint64_t cursor = candidate.info.manifest.cursor.position;
      const projection::ProjectionResult<> restored =
          count == 1 ? state.runtime->RestoreCheckpoint(candidate.state, cursor)
                     : state.runtime->RestorePartition(index, count, candidate.state, cursor);
      if (restored.ok()) {
        state.partitions[index] = PartitionStatus::Ready(CursorOf(db, state.descriptor, cursor));
        return {};
      }
    }
  }
  return {};
}

bool Unusable(const PartitionStatus& partition) {
  return partition.kind == PartitionStatus::Kind::kStale ||
         partition.kind == PartitionStatus::Kind::kFailed;
}

EngineResult<> HealPartition(std::optional<std::string_view> snapshot_root,
                            const db::Corvantine& db, QueryState& state, uint32_t index,
                            uint64_t target) {
  if (state.partitions[index].kind == PartitionStatus::Kind::kCold && snapshot_root) {
    CVN_TRY(RestoreFromSnapshot(*snapshot_root, db, state, index));
  }
  PartitionStatus& partition = state.partitions[index];
  if (Unusable(partition)) return {};
  const uint64_t from = partition.cursor.position;
  // A partition past the target keeps its cursor: its state holds more, and
  // a snapshot must never claim a cursor below what its state has applied.
  if (from >= target) {
    partition = PartitionStatus::Ready(partition.cursor);
    return {};
  }
  partition = PartitionStatus::Building(CursorOf(db, state.descriptor, from));
  const auto count = static_cast<uint32_t>(state.partitions.size());
  const db::ReadRequest read = ReadOf(state.descriptor, from, target, PartitionOf(index, count));
  if (std::optional<ReplayFailure> failed = Replay(db, read, from, state)) {
    partition = PartitionStatus::Failed(partition.cursor, std::move(failed->failure));
    return {};
  }
  partition = PartitionStatus::Ready(CursorOf(db, state.descriptor, target));
  return {};
}

EngineResult<std::string> CheckpointBytes(projection::ProjectionResult<std::string> checkpoint) {
  if (!checkpoint.ok()) return ProjectionError(std::move(checkpoint).error());
  if (checkpoint->size() > kMaxSnapshotState) {
    return EngineError::LimitExceeded("snapshot state", checkpoint->size(), kMaxSnapshotState);
  }
  return std::move(checkpoint).value();
}

// The manifest of the query's whole state, or of one partition's.
snapshot::SnapshotManifest ManifestOf(const db::Corvantine& db, const QueryState& state,
                                      const ProjectionCursor& cursor, std::string_view bytes,
                                      std::optional<uint32_t> partition) {
  const ProjectionDescriptor& descriptor = state.descriptor;
  snapshot::SnapshotManifest manifest;
  manifest.format_version =
      partition ? snapshot::kPartitionSnapshotFormat : snapshot::kProjectionSnapshotFormat;
  manifest.database_id = db.database_id();
  manifest.projection_name = descriptor.name;
  manifest.descriptor_fingerprint = projection::DescriptorFingerprint(descriptor);
  manifest.definition_id = descriptor.definition_id;
  manifest.definition_version = descriptor.definition_version;
  manifest.branch_id = descriptor.scope.branch_id;
  manifest.branch_lineage_fingerprint =
      projection::LineageFingerprint(db.branch_catalog(), descriptor.scope.branch_id);
  manifest.cursor = cursor;
  manifest.state_codec = descriptor.state_codec;
  manifest.state_codec_version = descriptor.state_codec_version;
  manifest.created_at_unix_nanos = snapshot::CreatedNow();
  manifest.uncompressed_len = bytes.size();
  manifest.checksum = util::crc32c::Value(bytes);
  if (partition) {
    manifest.partition = partition;
    manifest.partition_scheme_id = descriptor.partition_scheme.scheme_id;
    manifest.partition_scheme_version = descriptor.partition_scheme.version;
    manifest.partition_count = static_cast<uint32_t>(state.partitions.size());
  }
  return manifest;
}

EngineResult<SnapshotInfo> PublishFile(std::string_view root, snapshot::SnapshotManifest manifest,
                                   std::string_view bytes) {
  snapshot::SnapshotResult<SnapshotInfo> published =
      snapshot::Publish(root, std::move(manifest), bytes);
  if (!published.ok()) return FromSnapshot(published.error());
  return std::move(published).value();
}

EngineResult<SnapshotInfo> PublishPartition(std::string_view root, const db::Corvantine& db,
                                            const QueryState& state, uint32_t index) {
  const auto count = static_cast<uint32_t>(state.partitions.size());
  CVN_ASSIGN_OR_RETURN(std::string bytes,
                       CheckpointBytes(state.runtime->CheckpointPartition(index, count)));
  return PublishFile(root, ManifestOf(db, state, state.partitions[index].cursor, bytes, index), bytes);
}

}  // namespace

EngineError FromSnapshot(const snapshot::SnapshotError& error) {
  return EngineError(error.message(), error.engine_code());
}

EngineError ProjectionError(ProjectionFailure failure) {
  return EngineError(failure.code + ": " + failure.message, code::kProjection);
}

EngineResult<> ResetQuery(const db::Corvantine& db, QueryState& state) {
  projection::ProjectionResult<> reset = state.runtime->Reset();
  if (!reset.ok()) return ProjectionError(std::move(reset).error());
  state.partitions = projection::ColdPartitions(db.database_id(), state.descriptor);
  state.status = ProjectionStatus::Building(CursorOf(db, state.descriptor, 0));
  return {};
}

void DriveProjection(const db::Corvantine& db, QueryState& state) {
  const uint64_t start = state.status.kind == ProjectionStatus::Kind::kDropping
                             ? 0
                             : state.status.cursor.position;
  const uint64_t head = db.durable_head();
  if (start < head) {
    state.status = ProjectionStatus::Building(CursorOf(db, state.descriptor, start));
    const db::ReadRequest read =
        ReadOf(state.descriptor, start, head, log::reader::PartitionFilter::All());
    if (std::optional<ReplayFailure> failed = Replay(db, read, start, state)) {
      state.status = ProjectionStatus::Failed(CursorOf(db, state.descriptor, failed->position),
                                              std::move(failed->failure));
      return;
    }
  }
  const ProjectionCursor at_head = CursorOf(db, state.descriptor, head);
  state.status = ProjectionStatus::Ready(at_head);
  // The whole log is applied: every partition has its share.
  for (PartitionStatus& partition : state.partitions) partition = PartitionStatus::Ready(at_head);
}

bool InStep(const db::Corvantine& db, const QueryState& state, QueryConsistency consistency) {
  return state.status.kind == ProjectionStatus::Kind::kReady &&
         state.status.cursor.position >= HealTarget(db, consistency);
}

EngineResult<> HealPartitions(std::optional<std::string_view> snapshot_root,
                             const db::Corvantine& db, QueryState& state,
                             const std::vector<uint32_t>& partitions,
                             QueryConsistency consistency) {
  if (partitions.empty() || InStep(db, state, consistency)) return {};
  const uint64_t target = HealTarget(db, consistency);
  EngineResult<> healed;
  for (const uint32_t index : partitions) {
    healed = HealPartition(snapshot_root, db, state, index, target);
    if (!healed.ok()) break;
  }
  state.status = AggregateStatus(state.partitions);
  return healed;
}

EngineResult<std::vector<SnapshotInfo>> UsableSnapshots(std::string_view root,
                                                        const db::Corvantine& db,
                                                        const QueryState& state, uint32_t index) {
  const snapshot::RestoreIdentity identity = IdentityOf(db, state, index);
  CVN_ASSIGN_OR_RETURN(std::vector<SnapshotInfo> listed,
                       Converted(snapshot::List(root, identity.descriptor_fingerprint)));
  std::erase_if(listed, [&](const SnapshotInfo& info) { return !Usable(db, info, identity); });
  return listed;
}

ProjectionStatus AggregateStatus(const std::vector<PartitionStatus>& partitions) {
  for (const PartitionStatus& partition : partitions) {
    if (partition.kind == PartitionStatus::Kind::kFailed) {
      return ProjectionStatus::Failed(partition.cursor, partition.error);
    }
  }
  for (const PartitionStatus& partition : partitions) {
    if (partition.kind == PartitionStatus::Kind::kStale) {
      return ProjectionStatus::Stale(partition.cursor, partition.reason);
    }
  }
  const auto lowest = std::min_element(
      partitions.begin(), partitions.end(), [](const auto& a, const auto& b) {
        return a.cursor.position < b.cursor.position;
      });
  const bool ready = std::all_of(partitions.begin(), partitions.end(), [](const auto& partition) {
    return partition.kind == PartitionStatus::Kind::kReady;
  });
  return ready ? ProjectionStatus::Ready(lowest->cursor) : ProjectionStatus::Building(lowest->cursor);
}

EngineResult<SnapshotInfo> CreateSnapshot(std::string_view root, const db::Corvantine& db,
                                          const QueryState& state) {
  if (state.status.kind != ProjectionStatus::Kind::kReady) {
    return EngineError("only a ready projection can be snapshotted", code::kProjectionNotReady);
  }
  if (state.descriptor.partition_scheme.partition_count <= 1) {
    CVN_ASSIGN_OR_RETURN(std::string bytes, CheckpointBytes(state.runtime->Checkpoint()));
    return PublishFile(root, ManifestOf(db, state, state.status.cursor, bytes, std::nullopt), bytes);
  }
  EngineResult<SnapshotInfo> last = EngineError::Internal("no partition to snapshot");
  for (uint32_t index = 0; index < state.partitions.size(); ++index) {
    last = PublishPartition(root, db, state, index);
    if (!last.ok()) return last;
  }
  return last;
}

EngineResult<SnapshotInfo> CreatePartitionSnapshot(std::string_view root,
                                                   const db::Corvantine& db,
                                                   const QueryState& state, uint32_t partition) {
  if (state.partitions[partition].kind != PartitionStatus::Kind::kReady) {
    return EngineError("only a ready partition can be snapshotted", code::kPartitionNotReady);
  }
  return PublishPartition(root, db, state, partition);
}

}  // namespace corvantine::facade
