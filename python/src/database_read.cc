// Corvantine.replay, history and open_reader.
#include <optional>
#include <string>
#include <utility>

#include "args.h"
#include "database_methods.h"
#include "engine_call.h"
#include "errors.h"
#include "py_ref.h"
#include "reader.h"
#include "records.h"

namespace corvantine::python {

namespace {

// The page limits of a whole-stream read.
constexpr uint32_t kCollectPageEvents = 1024;
constexpr uint64_t kCollectPageBytes = 8 << 20;

// Drains one engine reader into a new list of rows, in log order, making
// each page's rows while the sequencer reads the next. The reader is closed
// on every path; an error of closing counts only when the read succeeded.
PyObject* CollectRows(const facade::Engine& engine, facade::ReaderRequest request) {
  auto reader = WithoutGil([&] { return engine.OpenReader(std::move(request)); });
  if (!reader.ok()) return RaiseEngineError(reader.error());
  Ref rows = Ref::Steal(PyList_New(0));
  RowWriter writer;
  std::optional<facade::EngineError> failure;
  std::optional<facade::PendingPage> pending;
  if (rows) pending.emplace(engine.RequestPage(*reader));
  while (pending) {
    auto page = WithoutGil([&] { return pending->Get(); });
    pending.reset();
    if (!page.ok()) {
      failure = std::move(page).error();
      break;
    }
    if (!page->done) pending.emplace(engine.RequestPage(*reader));
    if (!writer.Append(page->records, rows.get())) {
      rows = Ref();
      break;
    }
  }
  auto closed = WithoutGil([&] {
    pending.reset();  // a page still on its way is waited for
    return engine.CloseReader(*reader);
  });
  if (!rows) return nullptr;
  if (failure) return RaiseEngineError(*failure);
  if (!closed.ok()) return RaiseEngineError(closed.error());
  return rows.Release();
}

// A whole-stream read from `start`, or from the retention floor, which the
// engine resolves as it opens the reader: a retention applied meanwhile
// cannot leave the read below the floor.
facade::ReaderRequest StreamRequest(const facade::BranchId& branch, std::string_view stream,
                                    std::optional<uint64_t> start, std::optional<uint64_t> end) {
  facade::ReaderRequest request;
  request.branch = branch;
  request.stream.emplace(stream);
  request.start = start;
  request.end = end;
  request.page_bytes = kCollectPageBytes;
  request.page_events = kCollectPageEvents;
  return request;
}

constexpr const char* kReplayNames[] = {"namespace", "start", "end"};
constexpr Parameters kReplay{"Corvantine.replay", kReplayNames, 3, 1};

constexpr const char* kHistoryNames[] = {"namespace"};
constexpr Parameters kHistory{"Corvantine.history", kHistoryNames, 1, 1};

constexpr const char* kOpenReaderNames[] = {"namespace", "start", "end", "page_events",
                                            "page_bytes"};
constexpr Parameters kOpenReader{"Corvantine.open_reader", kOpenReaderNames, 5, 1};

}  // namespace

PyObject* ReadRows(const facade::Engine& engine, const facade::BranchId& branch,
                   std::string_view stream, std::optional<uint64_t> start,
                   std::optional<uint64_t> end) {
  return CollectRows(engine, StreamRequest(branch, stream, start, end));
}

PyObject* Replay(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[3];
  std::string_view stream;
  std::optional<uint64_t> start;
  std::optional<uint64_t> end;
  if (!Bind(kReplay, args, nargs, kwnames, values) || !ArgText(values[0], "namespace", &stream) ||
      (values[1] != nullptr && !ArgU64(values[1], "start", 0, &start.emplace())) ||
      !ArgOptionalU64(values[2], "end", &end)) {
    return nullptr;
  }
  return ReadRows(EngineOf(self), facade::BranchId(), stream, start, end);
}

PyObject* History(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  std::string_view stream;
  if (!Bind(kHistory, args, nargs, kwnames, values) || !ArgText(values[0], "namespace", &stream)) {
    return nullptr;
  }
  return ReadRows(EngineOf(self), facade::BranchId(), stream, std::nullopt, std::nullopt);
}

PyObject* OpenReader(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[5];
  std::string_view stream;
  facade::ReaderRequest request;
  if (!Bind(kOpenReader, args, nargs, kwnames, values) ||
      !ArgText(values[0], "namespace", &stream) || !ArgU64(values[1], "start", 0, &request.start.emplace()) ||
      !ArgOptionalU64(values[2], "end", &request.end) ||
      !ArgU32(values[3], "page_events", facade::kDefaultPageEvents, &request.page_events) ||
      !ArgU64(values[4], "page_bytes", facade::kDefaultPageBytes, &request.page_bytes)) {
    return nullptr;
  }
  request.stream.emplace(stream);
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.OpenReader(std::move(request)); },
                    [&](facade::ReaderHandle reader) { return NewReader(engine, reader); });
}

}  // namespace corvantine::python
