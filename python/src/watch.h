// The class `Watch`: a blocking iterator over events as they become durable,
// over one engine feed. Iterating it yields one row dict per event, fetching
// a page whenever its own queue runs dry and waiting for new durable events
// with the interpreter lock released, in steps of at most 200 ms between
// which pending signals run (so Ctrl+C reaches a waiting watch). A watch
// holds its own copy of the engine handle and the feed while it is open.
//
//   __next__   the next row; StopIteration once `timeout` passes without a
//              matching event (after at least one fetch that does not
//              wait); RuntimeError "watch is closed" on a closed watch
//              whose queue is empty;
//   ack()      stores the consumer checkpoint (see its docstring);
//   close()    closes the feed; the rows already queued are still returned.
// Leaving a `with` block closes it; destroying an open Watch closes its feed.
//
// __next__, close and __exit__ need the object alone; ack, __enter__ and
// __iter__ share it. A call that meets a conflicting one in another thread
// fails at once with RuntimeError "Already borrowed" or "Already mutably
// borrowed"; closing the database wakes a waiting __next__, which raises
// CancelledError.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "facade/engine/engine.h"

namespace corvantine::python {

bool AddWatchClass(PyObject* module);

// A new open Watch of the engine feed `feed`, returning only events of
// `stream` when one is given, and ending an iteration after `timeout_millis`
// without one when given. When the object cannot be made, the feed is
// closed, so nothing is left open.
PyObject* NewWatch(const facade::Engine& engine, facade::FeedHandle feed,
                   std::optional<std::string_view> stream, std::optional<uint64_t> timeout_millis);

}  // namespace corvantine::python
