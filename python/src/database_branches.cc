// Corvantine.fork, archive_branch, branch_ancestry, branch_history and diff.
// Python names branches by name; each is resolved to its id by an engine
// call of its own, so other requests may run between the lookup and the
// operation, whose own checks then apply.
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "args.h"
#include "database_methods.h"
#include "engine_call.h"
#include "errors.h"
#include "py_ref.h"
#include "reader.h"
#include "records.h"

namespace corvantine::python {

namespace {

constexpr const char* kForkNames[] = {"namespace", "at", "parent"};
constexpr Parameters kFork{"Corvantine.fork", kForkNames, 3, 2};

constexpr const char* kBranchNames[] = {"branch"};
constexpr Parameters kArchiveBranch{"Corvantine.archive_branch", kBranchNames, 1, 1};
constexpr Parameters kBranchAncestry{"Corvantine.branch_ancestry", kBranchNames, 1, 1};

constexpr const char* kBranchHistoryNames[] = {"branch", "namespace"};
constexpr Parameters kBranchHistory{"Corvantine.branch_history", kBranchHistoryNames, 2, 2};

constexpr const char* kDiffNames[] = {"left",        "right",       "namespace", "left_until",
                                      "right_until", "page_events", "page_bytes"};
constexpr Parameters kDiff{"Corvantine.diff", kDiffNames, 7, 2};

// Binds the one parameter `branch` and resolves it.
bool BindBranch(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, const facade::Engine& engine, facade::BranchId* out) {
  PyObject* values[1];
  std::string_view name;
  if (!Bind(parameters, args, nargs, kwnames, values) || !ArgStr(values[0], "branch", &name)) {
    return false;
  }
  auto branch = ResolveBranch(engine, name);
  if (!branch.ok()) {
    RaiseEngineError(branch.error());
    return false;
  }
  *out = *branch;
  return true;
}

// A Reader over one of the requests that a diff answers with.
PyObject* OpenDiffReader(const facade::Engine& engine, const facade::ReaderRequest& request) {
  facade::ReaderRequest copy = request;
  return CallEngine([&] { return engine.OpenReader(std::move(copy)); },
                    [&](facade::ReaderHandle reader) { return NewReader(engine, reader); });
}

bool SetItem(PyObject* dict, const char* key, PyObject* value) {
  Ref owned = Ref::Steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// {"branch": name, "until": int, "suffix": Reader}.
PyObject* SideDict(const facade::Engine& engine, const facade::DiffSideDto& side) {
  Ref dict = Ref::Steal(PyDict_New());
  if (!dict || !SetItem(dict.get(), "branch", DecodeLossy(side.branch.name)) ||
      !SetItem(dict.get(), "until", PyLong_FromUnsignedLongLong(side.until)) ||
      !SetItem(dict.get(), "suffix", OpenDiffReader(engine, side.reader))) {
    return nullptr;
  }
  return dict.Release();
}

// {"common_ancestor": name, "divergence_offset": int, "shared": Reader,
//  "left": side, "right": side}. On a failure the Readers already made are
// dropped with the dict, which closes their engine readers.
PyObject* DiffDict(const facade::Engine& engine, const facade::DiffDto& diff) {
  Ref dict = Ref::Steal(PyDict_New());
  if (!dict || !SetItem(dict.get(), "common_ancestor", DecodeLossy(diff.common_ancestor.name)) ||
      !SetItem(dict.get(), "divergence_offset", PyLong_FromUnsignedLongLong(diff.divergence)) ||
      !SetItem(dict.get(), "shared", OpenDiffReader(engine, diff.shared)) ||
      !SetItem(dict.get(), "left", SideDict(engine, diff.left)) ||
      !SetItem(dict.get(), "right", SideDict(engine, diff.right))) {
    return nullptr;
  }
  return dict.Release();
}

// The lineage as a list of branch dicts, in its order.
PyObject* BranchList(const std::vector<facade::BranchDto>& lineage) {
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(lineage.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < lineage.size(); ++i) {
    PyObject* branch = BranchDict(lineage[i]);
    if (branch == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), branch);
  }
  return list.Release();
}

}  // namespace

facade::EngineResult<facade::BranchId> ResolveBranch(const facade::Engine& engine,
                                                     std::string_view name) {
  std::string owned(name);
  auto branch = WithoutGil([&] { return engine.BranchNamed(std::move(owned)); });
  if (!branch.ok()) return std::move(branch).error();
  return branch->id;
}

// The new branch is named "{namespace}-fork-{at}"; the namespace only names
// it: the branch is not limited to that stream. Without a parent it forks
// from the default branch "main".
PyObject* Fork(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[3];
  std::string_view stream;
  uint64_t at = 0;
  std::optional<std::string_view> parent;
  if (!Bind(kFork, args, nargs, kwnames, values) || !ArgText(values[0], "namespace", &stream) ||
      !ArgU64(values[1], "at", 0, &at) || !ArgOptionalStr(values[2], "parent", &parent)) {
    return nullptr;
  }
  std::string name = fmt::format("{}-fork-{}", stream, at);
  std::optional<std::string> parent_name(parent);
  const facade::Engine& engine = EngineOf(self);
  const auto fork = [&]() -> facade::EngineResult<facade::BranchDto> {
    facade::BranchId parent_id;
    if (parent_name) {
      auto branch = engine.BranchNamed(std::move(*parent_name));
      if (!branch.ok()) return std::move(branch).error();
      parent_id = branch->id;
    }
    return engine.Fork(parent_id, at, std::move(name), {});
  };
  return CallEngine(fork, [](const facade::BranchDto& forked) { return DecodeLossy(forked.name); });
}

PyObject* ArchiveBranch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  const facade::Engine& engine = EngineOf(self);
  facade::BranchId id;
  if (!BindBranch(kArchiveBranch, args, nargs, kwnames, engine, &id)) return nullptr;
  return CallEngine([&] { return engine.Archive(id); }, BranchDict);
}

// The lineage, the default branch first and the named branch last.
PyObject* BranchAncestry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  const facade::Engine& engine = EngineOf(self);
  facade::BranchId id;
  if (!BindBranch(kBranchAncestry, args, nargs, kwnames, engine, &id)) return nullptr;
  return CallEngine([&] { return engine.Ancestry(id); }, BranchList);
}

PyObject* BranchHistory(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* values[2];
  std::string_view branch_name;
  std::string_view stream;
  if (!Bind(kBranchHistory, args, nargs, kwnames, values) ||
      !ArgStr(values[0], "branch", &branch_name) || !ArgText(values[1], "namespace", &stream)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  auto branch = ResolveBranch(engine, branch_name);
  if (!branch.ok()) return RaiseEngineError(branch.error());
  return ReadRows(engine, *branch, stream, std::nullopt, std::nullopt);
}

// Both names are resolved and the diff asked in one lock-released stretch;
// the left name is looked up first. The page limits are the engine's to
// check. Each Reader of the answer is opened in a stretch of its own.
PyObject* Diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[7];
  std::string_view left;
  std::string_view right;
  std::optional<std::string_view> stream;
  facade::DiffRequest request;
  if (!Bind(kDiff, args, nargs, kwnames, values) || !ArgStr(values[0], "left", &left) ||
      !ArgStr(values[1], "right", &right) || !ArgOptionalText(values[2], "namespace", &stream) ||
      !ArgOptionalU64(values[3], "left_until", &request.left_until) ||
      !ArgOptionalU64(values[4], "right_until", &request.right_until) ||
      !ArgU32(values[5], "page_events", facade::kDefaultPageEvents, &request.page_events) ||
      !ArgU64(values[6], "page_bytes", facade::kDefaultPageBytes, &request.page_bytes)) {
    return nullptr;
  }
  request.stream = stream;
  std::string left_name(left);
  std::string right_name(right);
  const facade::Engine& engine = EngineOf(self);
  const auto diff = [&]() -> facade::EngineResult<facade::DiffDto> {
    auto left_branch = engine.BranchNamed(std::move(left_name));
    if (!left_branch.ok()) return std::move(left_branch).error();
    auto right_branch = engine.BranchNamed(std::move(right_name));
    if (!right_branch.ok()) return std::move(right_branch).error();
    request.left_branch = left_branch->id;
    request.right_branch = right_branch->id;
    return engine.Diff(std::move(request));
  };
  return CallEngine(diff, [&](const facade::DiffDto& answer) { return DiffDict(engine, answer); });
}

}  // namespace corvantine::python
