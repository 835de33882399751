// The methods of `Corvantine`, one file per group: database.cc (lifecycle
// and counters), database_append.cc, database_read.cc, database_branches.cc,
// database_views.cc, database_retention.cc and database_watch.cc (watches
// and feed bootstraps). Each follows one pattern: bind and convert the
// arguments with the interpreter lock held, release it around each engine
// call, raise an engine error through RaiseEngineError, convert the reply
// with the lock held again.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "facade/engine/engine.h"

namespace corvantine::python {

// The engine handle of a Corvantine object.
const facade::Engine& EngineOf(PyObject* self);

// The id of the branch of that name, asked with the lock released: one
// engine call of its own ("not_found" for an unknown name).
facade::EngineResult<facade::BranchId> ResolveBranch(const facade::Engine& engine,
                                                     std::string_view name);

// The rows of everything `branch` shows of one stream, from `start` to `end`
// (exclusive), read with the lock released. Without a start the read begins
// at the retention floor, the lowest position still held; without an end it
// goes to the head. The engine reader is closed whatever happens.
PyObject* ReadRows(const facade::Engine& engine, const facade::BranchId& branch,
                   std::string_view stream, std::optional<uint64_t> start,
                   std::optional<uint64_t> end);

// Each a METH_FASTCALL | METH_KEYWORDS method.
PyObject* Append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* AppendReceipt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* AppendBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* AppendBranch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* Replay(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* OpenReader(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* History(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* Fork(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* Diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* BranchHistory(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* BranchAncestry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* ArchiveBranch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* Watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Feed bootstraps (database_watch.cc).
PyObject* ResumeWatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* RegisterFeedBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* FetchFeedBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// Views and snapshots (database_views.cc).
PyObject* RegisterView(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* DeregisterView(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* View(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* RebuildProjection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* CreateSnapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* ListSnapshots(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* VerifySnapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* DeleteSnapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* DeleteAllDerivedState(PyObject* self, PyObject* unused);
// Retention (database_retention.cc).
PyObject* RetentionStatus(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* PlanRetention(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* PlanRetentionPolicy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* CreateRetentionAnchor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* ApplyRetention(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* RegisterBranchBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* RegisterConsumerBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* BranchBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* ConsumerBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace corvantine::python
