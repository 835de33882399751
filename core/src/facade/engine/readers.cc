#include "facade/engine/readers.h"

#include <algorithm>
#include <utility>

namespace corvantine::facade {

namespace {

// A read of one stream goes straight to its batches through the position
// index; the stream filter below still picks the records.
db::ReadRequest PlannedRead(const format::BranchId& branch,
                            const std::optional<std::string>& stream, uint64_t start,
                            uint64_t end) {
  db::ReadRequest read;
  read.branch_id = branch;
  read.stream_name = stream;
  read.start = db::StartBound::Included(start);
  read.until = end;
  return read;
}

// Read from the frame in place, so that records of other streams cost no
// allocation.
bool BelongsTo(const format::FrameView& frame, const std::string& stream) {
  format::MetadataEntryReader entries(frame.envelope.metadata_entries);
  std::string_view key;
  std::string_view value;
  while (entries.Next(&key, &value)) {
    if (key == format::kStreamNameKey) return value == stream;
  }
  return false;
}

// What a record costs of a page's byte budget: its body and metadata values.
uint64_t PageBytes(const RecordDto& record) {
  uint64_t bytes = record.body.size();
  for (const auto& [key, value] : record.metadata) bytes += value.size();
  return bytes;
}

}  // namespace

EngineResult<> CheckPageLimits(uint32_t page_events, uint64_t page_bytes) {
  if (page_events < 1 || page_events > kMaxPageEvents) {
    return EngineError::LimitExceeded("page events", page_events, kMaxPageEvents);
  }
  if (page_bytes < 1 || page_bytes > kMaxPageBytes) {
    return EngineError::LimitExceeded("page bytes", page_bytes, kMaxPageBytes);
  }
  return {};
}

EngineResult<ReaderHandle> Readers::Handle(command::OpenReader& command) {
  ReaderRequest& request = command.request;
  CVN_TRY(CheckPageLimits(request.page_events, request.page_bytes));
  const uint64_t start = request.start.value_or(db_.retention_floor());
  const uint64_t end = request.end.value_or(db_.head());
  // Planning the whole range checks it; the first page goes on with it.
  Result<log::reader::LogReader> range =
      db_.Read(PlannedRead(request.branch, request.stream, start, end));
  if (!range.ok()) return EngineError::FromCore(range.error());
  const ReaderHandle handle = next_handle_++;
  readers_.emplace(handle, ReaderState{request.branch, std::move(request.stream), end,
                                       request.page_bytes, request.page_events, start,
                                       /*cancelled=*/false, std::move(range).value(),
                                       /*held=*/std::nullopt});
  return handle;
}

EngineResult<ReplayPage> Readers::Handle(command::NextPage& command) {
  CVN_ASSIGN_OR_RETURN(ReaderState* reader, FindReader(command.reader));
  if (reader->cancelled) return EngineError::Cancelled("reader was cancelled");
  CVN_ASSIGN_OR_RETURN(ReplayPage page, ReadPage(*reader));
  reader->position = page.continuation;
  return page;
}

EngineResult<> Readers::Handle(command::CancelReader& command) {
  CVN_ASSIGN_OR_RETURN(ReaderState* reader, FindReader(command.reader));
  reader->cancelled = true;
  return {};
}

EngineResult<> Readers::Handle(command::CloseReader& command) {
  if (readers_.erase(command.reader) == 0) return EngineError::HandleNotFound("reader");
  return {};
}

EngineResult<Readers::ReaderState*> Readers::FindReader(ReaderHandle handle) {
  const auto reader = readers_.find(handle);
  if (reader == readers_.end()) return EngineError::HandleNotFound("reader");
  return &reader->second;
}

// The next record of the reader's stream, or nothing when its read is used
// up. The read is planned again from the reader's position after an error.
EngineResult<std::optional<RecordDto>> Readers::NextRecord(ReaderState& reader) const {
  if (reader.held) return std::exchange(reader.held, std::nullopt);
  if (!reader.log_reader) {
    Result<log::reader::LogReader> planned =
        db_.Read(PlannedRead(reader.branch, reader.stream, reader.position, reader.end));
    if (!planned.ok()) return EngineError::FromCore(planned.error());
    reader.log_reader.emplace(std::move(planned).value());
  }
  for (;;) {
    Result<const format::FrameView*> next = reader.log_reader->NextView();
    if (!next.ok()) return EngineError::FromCore(next.error());
    const format::FrameView* frame = *next;
    if (frame == nullptr) return std::optional<RecordDto>();
    if (reader.stream && !BelongsTo(*frame, *reader.stream)) continue;
    CVN_ASSIGN_OR_RETURN(RecordDto record,
                         MakeRecordDto(format::ToOwned(format::MakeRecord(*frame))));
    return std::optional<RecordDto>(std::move(record));
  }
}

// The first record that passes the stream filter is always taken; the page
// then ends before a record that would overrun the byte budget (continuing
// at it), or after the record that fills the event budget (continuing after
// it). When the read runs out, the page continues where the log reader
// stopped examining the log, which is never behind the reader's position:
// records of other streams and branches are passed over for good. After an
// error the next page plans its read afresh from the reader's position.
EngineResult<ReplayPage> Readers::ReadPage(ReaderState& reader) const {
  ReplayPage page;
  uint64_t bytes = 0;
  for (;;) {
    EngineResult<std::optional<RecordDto>> next = NextRecord(reader);
    if (!next.ok()) {
      reader.log_reader.reset();
      return std::move(next).error();
    }
    if (!*next) {
      page.continuation = std::max(reader.position, reader.log_reader->scanned_position());
      break;
    }
    RecordDto& record = **next;
    const uint64_t size = PageBytes(record);
    if (!page.records.empty() && bytes + size > reader.page_bytes) {
      page.continuation = record.position;
      reader.held = std::move(record);
      break;
    }
    page.records.push_back(std::move(record));
    bytes += size;
    if (page.records.size() == reader.page_events) {
      page.continuation = page.records.back().position + 1;
      break;
    }
  }
  page.done = page.continuation >= reader.end;
  return page;
}

}  // namespace corvantine::facade
