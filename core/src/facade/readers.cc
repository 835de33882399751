// Paged readers. A reader is a cursor kept by the sequencer; each page plans
// a fresh read of the log from the reader's position up to its end, so a
// reader holds no file between pages.
#include <algorithm>
#include <utility>

#include "facade/sequencer.h"

namespace corvantine::facade {

namespace {

db::ReadRequest PlannedRead(const format::BranchId& branch, uint64_t start, uint64_t end) {
  db::ReadRequest read;
  read.branch_id = branch;
  read.start = db::StartBound::Included(start);
  read.until = end;
  return read;
}

bool BelongsTo(const format::StoredRecord& record, const std::string& stream) {
  const format::Metadata& metadata = record.envelope.metadata;
  const auto name = metadata.find(format::kStreamNameKey);
  return name != metadata.end() && name->second == stream;
}

// What a record costs of a page's byte budget: its body and metadata values.
uint64_t PageBytes(const RecordDto& record) {
  uint64_t bytes = record.body.size();
  for (const auto& [key, value] : record.metadata) bytes += value.size();
  return bytes;
}

}  // namespace

EngineResult<ReaderHandle> Sequencer::Handle(command::OpenReader& command) {
  ReaderRequest& request = command.request;
  CVN_TRY(CheckPageLimits(request.page_events, request.page_bytes));
  const uint64_t end = request.end.value_or(db_->log().head());
  // Planning the whole range checks it; the plan itself is not kept.
  Result<log::reader::LogReader> range = db_->Read(PlannedRead(request.branch, request.start, end));
  if (!range.ok()) return EngineError::FromCore(range.error());
  const ReaderHandle handle = next_handle_++;
  readers_.emplace(handle, ReaderState{request.branch, std::move(request.stream), end,
                                       request.page_bytes, request.page_events, request.start});
  return handle;
}

EngineResult<ReplayPage> Sequencer::Handle(command::NextPage& command) {
  CVN_ASSIGN_OR_RETURN(ReaderState* reader, FindReader(command.reader));
  if (reader->cancelled) return EngineError::Cancelled("reader was cancelled");
  CVN_ASSIGN_OR_RETURN(ReplayPage page, ReadPage(*reader));
  reader->position = page.continuation;
  return page;
}

EngineResult<> Sequencer::Handle(command::CancelReader& command) {
  CVN_ASSIGN_OR_RETURN(ReaderState* reader, FindReader(command.reader));
  reader->cancelled = true;
  return {};
}

EngineResult<> Sequencer::Handle(command::CloseReader& command) {
  if (readers_.erase(command.reader) == 0) return EngineError::HandleNotFound("reader");
  return {};
}

EngineResult<Sequencer::ReaderState*> Sequencer::FindReader(ReaderHandle handle) {
  const auto reader = readers_.find(handle);
  if (reader == readers_.end()) return EngineError::HandleNotFound("reader");
  return &reader->second;
}

// The first record that passes the stream filter is always taken; the page
// then ends before a record that would overrun the byte budget (continuing
// at it), or after the record that fills the event budget (continuing after
// it). When the plan runs out, the page continues where the log reader
// stopped examining the log, which is never behind the reader's position:
// records of other streams and branches are passed over for good.
EngineResult<ReplayPage> Sequencer::ReadPage(const ReaderState& reader) const {
  Result<log::reader::LogReader> planned =
      db_->Read(PlannedRead(reader.branch, reader.position, reader.end));
  if (!planned.ok()) return EngineError::FromCore(planned.error());
  log::reader::LogReader& log_reader = *planned;
  ReplayPage page;
  uint64_t bytes = 0;
  for (;;) {
    Result<std::optional<format::StoredRecord>> next = log_reader.Next();
    if (!next.ok()) return EngineError::FromCore(next.error());
    if (!*next) {
      page.continuation = std::max(reader.position, log_reader.scanned_position());
      break;
    }
    if (reader.stream && !BelongsTo(**next, *reader.stream)) continue;
    const uint64_t position = (*next)->position;
    CVN_ASSIGN_OR_RETURN(RecordDto record, MakeRecordDto(format::ToOwned(std::move(**next))));
    const uint64_t size = PageBytes(record);
    if (!page.records.empty() && bytes + size > reader.page_bytes) {
      page.continuation = position;
      break;
    }
    page.records.push_back(std::move(record));
    bytes += size;
    if (page.records.size() == reader.page_events) {
      page.continuation = position + 1;
      break;
    }
  }
  page.done = page.continuation >= reader.end;
  return page;
}

}  // namespace corvantine::facade
