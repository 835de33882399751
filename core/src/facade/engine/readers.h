// Paged readers. A reader is a cursor kept by the sequencer: its read of the
// log, from its position up to the end fixed when it opened, is planned by
// the first page and goes on page after page.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "db/db.h"
#include "facade/engine/command.h"
#include "facade/engine/error.h"
#include "facade/engine/records.h"

namespace corvantine::facade {

// Page events outside 1..4096 ("page events"), then page bytes outside
// 1..16 MiB ("page bytes"): "resource_limit".
EngineResult<> CheckPageLimits(uint32_t page_events, uint64_t page_bytes);

class Readers {
 public:
  // Reader handles are taken from `next_handle`, the engine's one counter.
  Readers(db::Corvantine& db, uint64_t& next_handle) : db_(db), next_handle_(next_handle) {}

  Readers(const Readers&) = delete;
  Readers& operator=(const Readers&) = delete;

  EngineResult<ReaderHandle> Handle(command::OpenReader& command);
  EngineResult<ReplayPage> Handle(command::NextPage& command);
  EngineResult<> Handle(command::CancelReader& command);
  EngineResult<> Handle(command::CloseReader& command);

  size_t open_count() const { return readers_.size(); }

 private:
  struct ReaderState {
    format::BranchId branch;
    std::optional<std::string> stream;
    uint64_t end = 0;  // fixed when the reader opens
    uint64_t page_bytes = 0;
    uint32_t page_events = 0;
    uint64_t position = 0;  // where the next page starts
    bool cancelled = false;
    // The read that the last page stopped in, kept so that the next page
    // goes on from there instead of scanning the log again; absent before
    // the first page and after an error.
    std::optional<log::reader::LogReader> log_reader;
    // A record the read handed out that did not fit the last page: the
    // first of the next one.
    std::optional<RecordDto> held;
  };

  EngineResult<ReplayPage> ReadPage(ReaderState& reader) const;
  EngineResult<std::optional<RecordDto>> NextRecord(ReaderState& reader) const;
  EngineResult<ReaderState*> FindReader(ReaderHandle handle);

  db::Corvantine& db_;
  uint64_t& next_handle_;
  std::unordered_map<ReaderHandle, ReaderState> readers_;
};

}  // namespace corvantine::facade
