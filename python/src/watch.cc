#include "watch.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <new>
#include <optional>
#include <string>

#include "args.h"
#include "borrow.h"
#include "class_support.h"
#include "engine_call.h"
#include "engine_registry.h"
#include "errors.h"
#include "gil.h"
#include "py_ref.h"
#include "records.h"

namespace corvantine::python {

namespace {

// The longest one engine call of __next__ waits for new durable events:
// how late a signal handler or the deadline may take effect.
constexpr uint64_t kWaitChunkMillis = 200;

using Clock = std::chrono::steady_clock;

struct WatchState {
  WatchState(const facade::Engine& engine, facade::FeedHandle feed,
             std::optional<std::string_view> stream, std::optional<uint64_t> timeout_millis)
      : engine(engine), feed(feed), timeout_millis(timeout_millis) {
    if (stream) this->stream.emplace(*stream);
  }

  TrackedEngine engine;
  std::optional<facade::FeedHandle> feed;  // present while open
  std::optional<std::string> stream;       // only events of this stream
  std::optional<uint64_t> timeout_millis;
  std::deque<facade::RecordDto> queue;  // fetched, not yet returned
  RowWriter rows;
};

struct WatchObject {
  PyObject ob_base;
  WatchState* state;  // owned
  int borrows;        // see Borrow
};

PyTypeObject* watch_type;

WatchObject* AsWatch(PyObject* self) { return reinterpret_cast<WatchObject*>(self); }

PyObject* RaiseClosed() {
  PyErr_SetString(PyExc_RuntimeError, "watch is closed");
  return nullptr;
}

uint64_t MillisSince(Clock::time_point start) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return static_cast<uint64_t>(std::max<int64_t>(elapsed.count(), 0));
}

// How long the next fetch may wait; nothing once the deadline has passed.
std::optional<uint64_t> WaitBudget(const WatchState& watch, Clock::time_point start) {
  if (!watch.timeout_millis) return kWaitChunkMillis;
  const uint64_t elapsed = MillisSince(start);
  if (elapsed >= *watch.timeout_millis) return std::nullopt;
  return std::min(*watch.timeout_millis - elapsed, kWaitChunkMillis);
}

bool DeadlinePassed(const WatchState& watch, Clock::time_point start) {
  return watch.timeout_millis && MillisSince(start) >= *watch.timeout_millis;
}

void Enqueue(WatchState& watch, facade::FeedPage& page) {
  for (facade::CommittedBatch& batch : page.batches) {
    for (facade::RecordDto& event : batch.events) {
      if (watch.stream && event.stream_name() != std::string_view(*watch.stream)) continue;
      watch.queue.push_back(std::move(event));
    }
  }
}

// Fetches one page into the queue, waiting up to `wait_millis` when nothing
// is durable yet; false with the error set.
bool Fetch(WatchState& watch, uint64_t wait_millis) {
  const facade::Engine& engine = watch.engine.get();
  const facade::FeedHandle feed = *watch.feed;
  auto page = WithoutGil([&] { return engine.NextFeedPage(feed, wait_millis); });
  if (!page.ok()) {
    RaiseEngineError(page.error());
    return false;
  }
  Enqueue(watch, *page);
  return PyErr_CheckSignals() == 0;
}

PyObject* PopRow(WatchState& watch) {
  facade::RecordDto record = std::move(watch.queue.front());
  watch.queue.pop_front();
  return watch.rows.Row(record);
}

// The first fetch of a call goes ahead even when the deadline has passed,
// without waiting, so a timeout of 0 still returns what is durable. Ending
// the iteration is returning null with no error set.
PyObject* Next(PyObject* self) {
  WatchObject* object = AsWatch(self);
  Borrow borrow(object->borrows, Borrow::kAlone);
  if (!borrow.ok()) return nullptr;
  WatchState& watch = *object->state;
  const Clock::time_point start = Clock::now();
  for (bool fetched = false;; fetched = true) {
    if (!watch.queue.empty()) return PopRow(watch);
    if (!watch.feed) return RaiseClosed();
    const std::optional<uint64_t> budget = WaitBudget(watch, start);
    if (fetched && !budget) return nullptr;
    if (!Fetch(watch, budget.value_or(0))) return nullptr;
    if (watch.queue.empty() && DeadlinePassed(watch, start)) return nullptr;
  }
}

PyObject* Ack(PyObject* self, PyObject*) {
  WatchObject* object = AsWatch(self);
  Borrow borrow(object->borrows, Borrow::kShared);
  if (!borrow.ok()) return nullptr;
  WatchState& watch = *object->state;
  if (!watch.feed) return RaiseClosed();
  // With rows queued, the batch of the first of them is not yet wholly
  // returned: acknowledge its start, so that a restart sees it again.
  std::optional<uint64_t> position;
  if (!watch.queue.empty()) {
    const facade::RecordDto& next = watch.queue.front();
    position = next.position - next.batch_index;
  }
  const facade::Engine& engine = watch.engine.get();
  const facade::FeedHandle feed = *watch.feed;
  return CallEngine([&] { return engine.AcknowledgeFeed(feed, position); },
                    PyLong_FromUnsignedLongLong);
}

PyObject* Close(PyObject* self, PyObject*) {
  WatchObject* object = AsWatch(self);
  Borrow borrow(object->borrows, Borrow::kAlone);
  if (!borrow.ok()) return nullptr;
  WatchState& watch = *object->state;
  if (!watch.feed) Py_RETURN_NONE;
  const facade::FeedHandle feed = *watch.feed;
  watch.feed.reset();  // closed from here on, whatever the engine answers
  const facade::Engine& engine = watch.engine.get();
  return CallEngine([&] { return engine.CloseFeed(feed); }, NoneReply);
}

PyObject* Exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return ExitByClosing("Watch.__exit__", Close, self, args, nargs, kwnames);
}

PyObject* Itself(PyObject* self, PyObject*) {
  Borrow borrow(AsWatch(self)->borrows, Borrow::kShared);
  if (!borrow.ok()) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* Iter(PyObject* self) { return Itself(self, nullptr); }

// With the interpreter lock held, as the engine's last handle may go here.
void Dealloc(PyObject* self) {
  WatchState* watch = AsWatch(self)->state;
  if (watch->feed) static_cast<void>(watch->engine.get().CloseFeed(*watch->feed));
  delete watch;
  FreeInstance(self);
}

PyObject* GuardedNext(PyObject* self) {
  try {
    return Next(self);
  } catch (const std::exception& exception) {
    return RaiseCppException(exception);
  }
}

constexpr char kAckDoc[] =
    "ack($self)\n--\n\n"
    "Persists the consumer checkpoint at the current feed position, so a\n"
    "later `db.watch(consumer_id=...)` resumes exactly here. Meaningful\n"
    "only when the watch was opened with a `consumer_id`.\n\n"
    "It never acknowledges an event this watch has fetched but not yet\n"
    "returned: while such events wait in the watch, it acknowledges the\n"
    "start of the batch that holds the next one. A consumer that acks\n"
    "after each event and is killed loses nothing; after a restart it may\n"
    "see the rest of one batch again.";

PyMethodDef methods[] = {
    NoArgsEntry<Ack>("ack", kAckDoc),
    NoArgsEntry<Close>("close", "close($self)\n--\n\n"),
    NoArgsEntry<Itself>("__enter__", "__enter__($self)\n--\n\n"),
    FastCallEntry<Exit>(
        "__exit__", "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kWatchDoc[] =
    "A blocking iterator over events as they become durable \xe2\x80\x94 the\n"
    "committed-batch feed worn as `tail -f`. Yields the same row dicts as\n"
    "`replay`, releases the GIL while waiting, and stays responsive to\n"
    "Ctrl+C by waking every `WATCH_WAIT_CHUNK_MILLIS` to deliver signals.";

const ClassSpec watch_class = {.name = "builtins.Watch",
                               .basic_size = sizeof(WatchObject),
                               .dealloc = Dealloc,
                               .methods = methods,
                               .doc = kWatchDoc,
                               .iter = Iter,
                               .iternext = GuardedNext};

}  // namespace

bool AddWatchClass(PyObject* module) {
  return AddType(module, watch_class, &watch_type);
}

PyObject* NewWatch(const facade::Engine& engine, facade::FeedHandle feed,
                   std::optional<std::string_view> stream, std::optional<uint64_t> timeout_millis) {
  PyObject* self = AllocInstance(watch_type);
  WatchState* state = nullptr;
  try {
    if (self != nullptr) state = new WatchState(engine, feed, stream, timeout_millis);
  } catch (const std::bad_alloc&) {
  }
  if (state == nullptr) {
    if (self != nullptr) {
      FreeInstance(self);
      PyErr_NoMemory();
    }
    static_cast<void>(WithoutGil([&] { return engine.CloseFeed(feed); }));
    return nullptr;
  }
  AsWatch(self)->state = state;
  return self;
}

}  // namespace corvantine::python
