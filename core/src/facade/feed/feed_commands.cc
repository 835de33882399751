// Feeds, consumer checkpoints and replicated batches.
#include <utility>

#include "db/request.h"
#include "facade/engine/commit_group.h"
#include "facade/feed/feeds.h"
#include "util/utf8.h"

namespace corvantine::facade {

namespace {

EngineError Mismatched() {
  return EngineError::Invalid("replicated event envelope does not match its batch");
}

// The stream name an event was appended under, when it carries a UTF-8 one.
std::optional<std::string_view> Utf8StreamName(const RecordDto& event) {
  std::optional<std::string_view> name = event.stream_name();
  if (name && !util::IsValidUtf8(*name)) return std::nullopt;
  return name;
}

bool ListsStream(const CommittedBatch& batch, const format::StreamId& stream) {
  for (const format::StreamId& listed : batch.stream_ids) {
    if (listed == stream) return true;
  }
  return false;
}

// That the batch is one whole batch of one stream, every envelope agreeing
// with it; returns the stream's name.
EngineResult<std::string> CheckReplicated(const CommittedBatch& batch) {
  if (batch.events.empty()) return EngineError::Invalid("replicated batch has no events");
  if (batch.last_position < batch.first_position ||
      batch.last_position - batch.first_position != batch.events.size() - 1) {
    return EngineError::Invalid("replicated batch position range is invalid");
  }
  const std::optional<std::string_view> name = Utf8StreamName(batch.events.front());
  if (!name) return EngineError::Invalid("replicated event has no stream name");
  for (size_t i = 0; i < batch.events.size(); ++i) {
    const RecordDto& event = batch.events[i];
    if (event.database_id != batch.database_id || event.batch_id != batch.batch_id ||
        event.batch_index != i || event.position != batch.first_position + i ||
        event.branch_id != batch.branch_id || !ListsStream(batch, event.stream_id)) {
      return Mismatched();
    }
    if (Utf8StreamName(event) != name) {
      return EngineError::Invalid("replicated batch spans multiple stream names");
    }
  }
  return std::string(*name);
}

// The event as it was appended, its metadata as stored, system keys and all.
EventData ToEventData(RecordDto& event) {
  EventData data;
  data.event_type = std::move(event.event_type);
  data.body = std::move(event.body);
  data.metadata = std::move(event.metadata);
  data.schema_version = event.schema_version;
  data.event_id = event.event_id;
  data.codec = event.codec;
  return data;
}

}  // namespace

EngineResult<FeedHandle> Feeds::Handle(command::ResumeFeed& command) {
  return Resume(db_, command.descriptor, command.max_batches, command.max_bytes);
}

OpenFeedResult Feeds::Handle(command::OpenFeed& command) {
  return Open(db_, std::move(command.request));
}

EngineResult<FeedPage> Feeds::Handle(command::NextFeedPage& command) {
  return NextPage(db_, command.feed);
}

EngineResult<uint64_t> Feeds::Handle(command::AcknowledgeFeed& command) {
  return Acknowledge(db_, command.feed, command.position);
}

EngineResult<> Feeds::Handle(command::CancelFeed& command) {
  return Cancel(command.feed);
}

EngineResult<> Feeds::Handle(command::CloseFeed& command) { return Close(command.feed); }

EngineResult<> Feeds::Handle(command::ClearConsumer& command) {
  return ClearConsumer(db_, command.consumer_id);
}

// A replicated batch takes the append road, with its limits and checks,
// under its own batch id and event ids, synced, its metadata kept whole.
// Ingesting it again is a retry that returns the stored receipt. It is no
// append of this database's callers: the views follow it, but it counts
// toward no automatic snapshot.
EngineResult<AppendReceiptDto> CommitGroup::Handle(command::IngestBatch& command) {
  CommittedBatch& batch = command.batch;
  CVN_ASSIGN_OR_RETURN(std::string stream, CheckReplicated(batch));
  AppendBatch append;
  append.stream = std::move(stream);
  append.branch = batch.branch_id;
  append.durability = RequestDurability::kSync;
  append.events.reserve(batch.events.size());
  for (RecordDto& event : batch.events) append.events.push_back(ToEventData(event));
  CVN_ASSIGN_OR_RETURN(WrittenAppend written, Write(std::move(append), batch.batch_id));
  projections_.DriveAll();
  return std::move(written.receipt);
}

}  // namespace corvantine::facade
