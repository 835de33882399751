// The feed-bootstrap descriptor in Python: what a consumer presents to
// resume above the retention floor. It reaches Python as the `bootstrap`
// attribute of a PositionUnavailableError and comes back, unchanged, to
// fetch_feed_bootstrap and resume_watch. A dict of thirteen keys, in this
// order: database_id, generation, floor, consumer_id, checkpoint_id,
// branches, streams, event_types, byte_length, checksum, resume_from, codec,
// codec_version. Ids are 32 hexadecimal characters, "branches" and "streams"
// lists of such ids, "event_types" a list of str.
#pragma once

#include <Python.h>

#include "facade/engine/engine.h"

namespace corvantine::python {

// A new descriptor dict, or null with the error set.
PyObject* FeedBootstrapDict(const facade::FeedBootstrapDescriptor& descriptor);

// Reads the thirteen keys of `dict` in their order; other keys are ignored.
// The first key that fails decides the error: ValueError "missing bootstrap
// field {key}", or the value's own conversion error, which does not name the
// key (TypeError for a wrong type, OverflowError for an int out of range,
// InvalidArgumentError for a malformed id). Sequences other than a str are
// taken for the lists.
bool FeedBootstrapFromPy(PyObject* dict, facade::FeedBootstrapDescriptor* out);

}  // namespace corvantine::python
