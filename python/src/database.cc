// The Corvantine class itself: its type, `open`, lifecycle and counters.
#include "database.h"

#include <cerrno>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <system_error>

#include "args.h"
#include "class_support.h"
#include "database_methods.h"
#include "engine_call.h"
#include "engine_registry.h"
#include "keys.h"
#include "py_ref.h"
#include "reader.h"
#include "view.h"
#include "watch.h"

namespace corvantine::python {

namespace {

struct DatabaseObject {
  PyObject ob_base;
  TrackedEngine* engine;  // owned
};

PyTypeObject* database_type;

PyObject* NewDatabase(facade::Engine engine) {
  PyObject* self = AllocInstance(database_type);
  if (self == nullptr) return nullptr;
  auto* owned = new (std::nothrow) TrackedEngine(std::move(engine));
  if (owned == nullptr) {
    FreeInstance(self);
    return PyErr_NoMemory();
  }
  reinterpret_cast<DatabaseObject*>(self)->engine = owned;
  return self;
}

// With the interpreter lock held: when this was the engine's last handle,
// its sequencer stops and is joined here.
void Dealloc(PyObject* self) {
  delete reinterpret_cast<DatabaseObject*>(self)->engine;
  FreeInstance(self);
}

// A relative path is made absolute now, so that a later change of the
// working directory cannot split one database over two directories.
bool AbsolutePath(std::string_view path, std::string* out) {
  if (path.empty() || path.front() == '/') {
    out->assign(path);
    return true;
  }
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) {
    errno = error.value();
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  *out = absolute.string();
  return true;
}

constexpr const char* kOpenNames[] = {"path",
                                      "commit_every_bytes",
                                      "commit_every_count",
                                      "commit_every_millis",
                                      "snapshot_every_events",
                                      "snapshot_every_bytes",
                                      "snapshot_every_millis"};
constexpr Parameters kOpen{"open", kOpenNames, 7, 1};
constexpr Parameters kStaticOpen{"Corvantine.open", kOpenNames, 7, 1};

PyObject* OpenWith(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  PyObject* values[7];
  std::string_view path;
  facade::OpenConfig config;
  if (!Bind(parameters, args, nargs, kwnames, values) || !ArgText(values[0], "path", &path) ||
      !ArgOptionalU64(values[1], "commit_every_bytes", &config.commit_every_bytes) ||
      !ArgOptionalU64(values[2], "commit_every_count", &config.commit_every_count) ||
      !ArgOptionalU64(values[3], "commit_every_millis", &config.commit_every_millis) ||
      !ArgOptionalU64(values[4], "snapshot_every_events", &config.snapshot_every_events) ||
      !ArgOptionalU64(values[5], "snapshot_every_bytes", &config.snapshot_every_bytes) ||
      !ArgOptionalU64(values[6], "snapshot_every_millis", &config.snapshot_every_millis) ||
      !AbsolutePath(path, &config.path)) {
    return nullptr;
  }
  return OpenDatabase(std::move(config));
}

PyObject* Open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return OpenWith(kOpen, args, nargs, kwnames);
}

PyObject* StaticOpen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return OpenWith(kStaticOpen, args, nargs, kwnames);
}

PyObject* Close(PyObject* self, PyObject*) {
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.Close(); }, NoneReply);
}

PyObject* Enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* Exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return ExitByClosing("Corvantine.__exit__", Close, self, args, nargs, kwnames);
}

// One of the engine's counters, as an int.
template <facade::EngineResult<uint64_t> (facade::Engine::*Query)() const>
PyObject* Counter(PyObject* self, PyObject*) {
  const facade::Engine& engine = EngineOf(self);
  return CallEngineQuick([&] { return (engine.*Query)(); }, PyLong_FromUnsignedLongLong);
}

// The one call that asks the engine with the interpreter lock held.
PyObject* Repr(PyObject* self) {
  auto head = EngineOf(self).Head();
  if (!head.ok()) return PyUnicode_FromString("<corvantine.Corvantine closed>");
  return PyUnicode_FromFormat("<corvantine.Corvantine head=%llu>",
                              static_cast<unsigned long long>(*head));
}

// The function and the static method share their text signature.
constexpr char kOpenDoc[] =
    "open(path, commit_every_bytes=None, commit_every_count=None, commit_every_millis=None, "
    "snapshot_every_events=None, snapshot_every_bytes=None, snapshot_every_millis=None)\n--\n\n";

constexpr char kOpenReaderDoc[] =
    "open_reader($self, namespace, start=0, end=None, page_events=256, "
    "page_bytes=1048576)\n--\n\n";

constexpr char kDiffDoc[] =
    "diff($self, left, right, namespace=None, left_until=None, right_until=None, "
    "page_events=256, page_bytes=1048576)\n--\n\n"
    "Compare two timelines named by branch (the default timeline is \"main\"). Returns a "
    "summary dict plus three pre-scoped Reader objects: the shared history and each "
    "side's own events after the divergence. Nothing is materialized until a reader is "
    "drained.";

// Whether `doc` gives `parameter` the default `value`, in decimal.
constexpr bool ShowsDefault(std::string_view doc, std::string_view parameter, uint64_t value) {
  size_t at = doc.find(parameter);
  if (at == std::string_view::npos || doc.substr(at + parameter.size(), 1) != "=") return false;
  uint64_t shown = 0;
  size_t digits = 0;
  for (at += parameter.size() + 1; at < doc.size() && doc[at] >= '0' && doc[at] <= '9'; ++at) {
    shown = 10 * shown + static_cast<uint64_t>(doc[at] - '0');
    ++digits;
  }
  return digits > 0 && shown == value;
}

constexpr char kWatchDoc[] =
    "watch($self, namespace=None, branch=None, start=None, consumer_id=None, timeout=None, "
    "page_batches=128, page_bytes=1048576)\n--\n\n"
    "A blocking iterator over events as they become durable \xe2\x80\x94 `tail -f`\n"
    "for the log, over the engine's committed-batch feed. `start=None`\n"
    "tails live from the durable head (or resumes a `consumer_id`'s\n"
    "acknowledged checkpoint); `start=0` replays all durable history\n"
    "first, then follows. `timeout` (seconds) ends the iteration after\n"
    "that long without a matching event; `None` blocks until closed.";

constexpr char kResumeWatchDoc[] =
    "resume_watch($self, descriptor, namespace=None, timeout=None, page_batches=128, "
    "page_bytes=1048576)\n--\n\n";

// The text signatures show the page defaults that the methods apply.
static_assert(ShowsDefault(kOpenReaderDoc, "page_events", facade::kDefaultPageEvents));
static_assert(ShowsDefault(kOpenReaderDoc, "page_bytes", facade::kDefaultPageBytes));
static_assert(ShowsDefault(kDiffDoc, "page_events", facade::kDefaultPageEvents));
static_assert(ShowsDefault(kDiffDoc, "page_bytes", facade::kDefaultPageBytes));
static_assert(ShowsDefault(kWatchDoc, "page_batches", facade::kDefaultFeedPageBatches));
static_assert(ShowsDefault(kWatchDoc, "page_bytes", facade::kDefaultFeedPageBytes));
static_assert(ShowsDefault(kResumeWatchDoc, "page_batches", facade::kDefaultFeedPageBatches));
static_assert(ShowsDefault(kResumeWatchDoc, "page_bytes", facade::kDefaultFeedPageBytes));

PyMethodDef methods[] = {
    FastCallEntry<StaticOpen>("open", kOpenDoc, METH_STATIC),
    FastCallEntry<Append>("append", "append($self, namespace, event)\n--\n\n"),
    FastCallEntry<AppendReceipt>(
        "append_receipt",
        "append_receipt($self, namespace, event)\n--\n\n"
        "Append one JSON event and return the complete stable engine receipt."),
    FastCallEntry<AppendBatch>(
        "append_batch",
        "append_batch($self, namespace, events, *, branch=None, expected_revision=None, "
        "idempotency_key=None, durability=\"buffered\")\n--\n\n"
        "Atomically append a batch of fully described JSON events."),
    FastCallEntry<AppendBranch>("append_branch",
                                "append_branch($self, branch, namespace, event)\n--\n\n"),
    NoArgsEntry<Counter<&facade::Engine::Commit>>("commit", "commit($self)\n--\n\n"),
    NoArgsEntry<Counter<&facade::Engine::Head>>("head", "head($self)\n--\n\n"),
    NoArgsEntry<Counter<&facade::Engine::DurableHead>>("durable_head",
                                                       "durable_head($self)\n--\n\n"),
    NoArgsEntry<Counter<&facade::Engine::RetentionFloor>>("retention_floor",
                                                          "retention_floor($self)\n--\n\n"),
    FastCallEntry<RetentionStatus>("retention_status",
                                   "retention_status($self, keep_from=None)\n--\n\n"),
    FastCallEntry<PlanRetention>("plan_retention", "plan_retention($self, keep_from)\n--\n\n"),
    FastCallEntry<PlanRetentionPolicy>("plan_retention_policy",
                                       "plan_retention_policy($self, policy, value)\n--\n\n"),
    FastCallEntry<CreateRetentionAnchor>("create_retention_anchor",
                                         "create_retention_anchor($self, keep_from)\n--\n\n"),
    FastCallEntry<ApplyRetention>("apply_retention", "apply_retention($self, plan_id)\n--\n\n"),
    FastCallEntry<RegisterBranchBootstrap>(
        "register_branch_bootstrap",
        "register_branch_bootstrap($self, branch, keep_from, checkpoint)\n--\n\n"),
    FastCallEntry<RegisterConsumerBootstrap>(
        "register_consumer_bootstrap",
        "register_consumer_bootstrap($self, consumer_id, keep_from, checkpoint)\n--\n\n"),
    FastCallEntry<RegisterFeedBootstrap>(
        "register_feed_bootstrap",
        "register_feed_bootstrap($self, consumer_id, keep_from, checkpoint, branch=None, "
        "codec=\"opaque\", codec_version=1)\n--\n\n"),
    FastCallEntry<FetchFeedBootstrap>(
        "fetch_feed_bootstrap", "fetch_feed_bootstrap($self, descriptor, maximum_bytes)\n--\n\n"),
    FastCallEntry<ResumeWatch>("resume_watch", kResumeWatchDoc),
    FastCallEntry<BranchBootstrap>("branch_bootstrap", "branch_bootstrap($self, branch)\n--\n\n"),
    FastCallEntry<ConsumerBootstrap>("consumer_bootstrap",
                                     "consumer_bootstrap($self, consumer_id)\n--\n\n"),
    NoArgsEntry<Counter<&facade::Engine::UncommittedCount>>("uncommitted_count",
                                                            "uncommitted_count($self)\n--\n\n"),
    NoArgsEntry<Close>("close", "close($self)\n--\n\n"),
    NoArgsEntry<Enter>("__enter__", "__enter__($self)\n--\n\n"),
    FastCallEntry<Exit>(
        "__exit__", "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"),
    FastCallEntry<Replay>("replay", "replay($self, namespace, start=0, end=None)\n--\n\n"),
    FastCallEntry<OpenReader>("open_reader", kOpenReaderDoc),
    FastCallEntry<RegisterView>("register_view",
                                "register_view($self, name, key, indexes=None, where_field=None, "
                                "where_value=None)\n--\n\n"),
    FastCallEntry<DeregisterView>("deregister_view", "deregister_view($self, name)\n--\n\n"),
    FastCallEntry<View>("view", "view($self, name)\n--\n\n"),
    FastCallEntry<Fork>("fork", "fork($self, namespace, at, parent=None)\n--\n\n"),
    FastCallEntry<Watch>("watch", kWatchDoc),
    FastCallEntry<Diff>("diff", kDiffDoc),
    FastCallEntry<History>("history", "history($self, namespace)\n--\n\n"),
    FastCallEntry<BranchHistory>("branch_history",
                                 "branch_history($self, branch, namespace)\n--\n\n"),
    FastCallEntry<BranchAncestry>("branch_ancestry", "branch_ancestry($self, branch)\n--\n\n"),
    FastCallEntry<ArchiveBranch>("archive_branch", "archive_branch($self, branch)\n--\n\n"),
    FastCallEntry<CreateSnapshot>("create_snapshot", "create_snapshot($self, projection)\n--\n\n"),
    FastCallEntry<ListSnapshots>("list_snapshots", "list_snapshots($self, projection)\n--\n\n"),
    FastCallEntry<VerifySnapshot>("verify_snapshot",
                                  "verify_snapshot($self, snapshot_id)\n--\n\n"),
    FastCallEntry<DeleteSnapshot>("delete_snapshot",
                                  "delete_snapshot($self, snapshot_id)\n--\n\n"),
    NoArgsEntry<DeleteAllDerivedState>("delete_all_derived_state",
                                       "delete_all_derived_state($self)\n--\n\n"),
    FastCallEntry<RebuildProjection>("rebuild_projection",
                                     "rebuild_projection($self, projection)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef open_function = FastCallEntry<Open>("open", kOpenDoc);

const ClassSpec database_class = {.name = "builtins.Corvantine",
                                  .basic_size = sizeof(DatabaseObject),
                                  .dealloc = Dealloc,
                                  .methods = methods,
                                  .repr = Repr};

}  // namespace

PyObject* OpenDatabase(facade::OpenConfig config) {
  return CallEngine([&] { return facade::Engine::Open(std::move(config)); },
                    [](facade::Engine& engine) { return NewDatabase(std::move(engine)); });
}

const facade::Engine& EngineOf(PyObject* self) {
  return reinterpret_cast<DatabaseObject*>(self)->engine->get();
}

bool AddClasses(PyObject* module) {
  return InitKeys() && AddType(module, database_class, &database_type) &&
         AddViewClass(module) && AddReaderClass(module) && AddWatchClass(module);
}

bool AddOpenFunction(PyObject* module) {
  Ref name = Ref::Steal(PyModule_GetNameObject(module));
  if (!name) return false;
  Ref function = Ref::Steal(PyCFunction_NewEx(&open_function, nullptr, name.get()));
  return function && PyModule_AddObjectRef(module, "open", function.get()) == 0;
}

}  // namespace corvantine::python
