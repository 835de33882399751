// Corvantine.retention_status, plan_retention, plan_retention_policy,
// create_retention_anchor, apply_retention, register_branch_bootstrap,
// register_consumer_bootstrap, branch_bootstrap and consumer_bootstrap.
// Plans live in the engine, named by their id, until applied.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "args.h"
#include "database_methods.h"
#include "engine_call.h"
#include "errors.h"
#include "retention_records.h"
#include "values.h"

namespace corvantine::python {

namespace {

constexpr const char* kKeepFromNames[] = {"keep_from"};
constexpr Parameters kRetentionStatus{"Corvantine.retention_status", kKeepFromNames, 1, 0};
constexpr Parameters kPlanRetention{"Corvantine.plan_retention", kKeepFromNames, 1, 1};
constexpr Parameters kCreateRetentionAnchor{"Corvantine.create_retention_anchor",
                                            kKeepFromNames, 1, 1};

constexpr const char* kPolicyNames[] = {"policy", "value"};
constexpr Parameters kPlanRetentionPolicy{"Corvantine.plan_retention_policy", kPolicyNames, 2, 2};

constexpr const char* kPlanIdNames[] = {"plan_id"};
constexpr Parameters kApplyRetention{"Corvantine.apply_retention", kPlanIdNames, 1, 1};

constexpr const char* kBranchBootstrapNames[] = {"branch", "keep_from", "checkpoint"};
constexpr Parameters kRegisterBranchBootstrap{"Corvantine.register_branch_bootstrap",
                                              kBranchBootstrapNames, 3, 3};
constexpr const char* kConsumerBootstrapNames[] = {"consumer_id", "keep_from", "checkpoint"};
constexpr Parameters kRegisterConsumerBootstrap{"Corvantine.register_consumer_bootstrap",
                                                kConsumerBootstrapNames, 3, 3};

constexpr const char* kBranchNames[] = {"branch"};
constexpr Parameters kBranchBootstrap{"Corvantine.branch_bootstrap", kBranchNames, 1, 1};
constexpr const char* kConsumerNames[] = {"consumer_id"};
constexpr Parameters kConsumerBootstrap{"Corvantine.consumer_bootstrap", kConsumerNames, 1, 1};

// The policy that `word` names, with `value` checked for it: every policy
// but keep_newer_than (a signed time) counts from 0. The word is checked
// first.
bool ParsePolicy(std::string_view word, int64_t value, facade::RetentionPolicy* out) {
  const auto* found = std::find(std::begin(kRetentionPolicyWords),
                                std::end(kRetentionPolicyWords), word);
  if (found == std::end(kRetentionPolicyWords)) {
    PyErr_SetString(PyExc_ValueError,
                    "policy must be keep_from, keep_latest_events, keep_newer_than, or "
                    "target_log_bytes");
    return false;
  }
  *out = static_cast<facade::RetentionPolicy>(found - std::begin(kRetentionPolicyWords));
  if (value < 0 && *out != facade::RetentionPolicy::kKeepNewerThan) {
    PyErr_SetString(PyExc_ValueError, "policy value must be non-negative");
    return false;
  }
  return true;
}

// Binds the one required parameter `keep_from`.
bool BindKeepFrom(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, uint64_t* keep_from) {
  PyObject* values[1];
  return Bind(parameters, args, nargs, kwnames, values) &&
         ArgU64(values[0], "keep_from", 0, keep_from);
}

// (name, keep_from, checkpoint), each copied for the engine.
struct BootstrapArgs {
  std::string name;
  uint64_t keep_from = 0;
  std::string checkpoint;
};

bool BindBootstrap(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, BootstrapArgs* out) {
  PyObject* values[3];
  std::string_view name;
  std::string_view checkpoint;
  if (!Bind(parameters, args, nargs, kwnames, values) ||
      !ArgStr(values[0], parameters.names[0], &name) ||
      !ArgU64(values[1], "keep_from", 0, &out->keep_from) ||
      !ArgBytes(values[2], "checkpoint", &checkpoint)) {
    return false;
  }
  out->name.assign(name);
  out->checkpoint.assign(checkpoint);
  return true;
}

PyObject* OptionalBytes(const std::optional<std::string>& bytes) {
  return bytes ? BytesObject(*bytes) : Py_NewRef(Py_None);
}

}  // namespace

PyObject* RetentionStatus(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* values[1];
  std::optional<uint64_t> keep_from;
  if (!Bind(kRetentionStatus, args, nargs, kwnames, values) ||
      !ArgOptionalU64(values[0], "keep_from", &keep_from)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.RetentionStatus(keep_from); }, RetentionStatusDict);
}

PyObject* PlanRetention(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  uint64_t keep_from = 0;
  if (!BindKeepFrom(kPlanRetention, args, nargs, kwnames, &keep_from)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.PlanRetention(keep_from); }, RetentionPlanDict);
}

PyObject* PlanRetentionPolicy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* values[2];
  std::string_view word;
  int64_t value = 0;
  facade::RetentionPolicy policy;
  if (!Bind(kPlanRetentionPolicy, args, nargs, kwnames, values) ||
      !ArgStr(values[0], "policy", &word) || !ArgI64(values[1], "value", &value) ||
      !ParsePolicy(word, value, &policy)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  return CallEngine(
      [&] { return engine.PlanRetentionPolicy(policy, static_cast<uint64_t>(value)); },
      RetentionPreviewDict);
}

PyObject* CreateRetentionAnchor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  uint64_t keep_from = 0;
  if (!BindKeepFrom(kCreateRetentionAnchor, args, nargs, kwnames, &keep_from)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.CreateRetentionAnchor(keep_from); }, RetentionAnchorDict);
}

PyObject* ApplyRetention(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* values[1];
  std::string_view text;
  util::Bytes16 plan_id;
  if (!Bind(kApplyRetention, args, nargs, kwnames, values) ||
      !ArgStr(values[0], "plan_id", &text) || !ParseHexId(text, &plan_id)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.ApplyRetention(plan_id); }, RetentionApplyDict);
}

PyObject* RegisterBranchBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  BootstrapArgs bootstrap;
  if (!BindBootstrap(kRegisterBranchBootstrap, args, nargs, kwnames, &bootstrap)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  auto branch = ResolveBranch(engine, bootstrap.name);
  if (!branch.ok()) return RaiseEngineError(branch.error());
  return CallEngine(
      [&] {
        return engine.RegisterBranchBootstrap(*branch, bootstrap.keep_from,
                                              std::move(bootstrap.checkpoint));
      },
      PyLong_FromUnsignedLongLong);
}

PyObject* RegisterConsumerBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  BootstrapArgs bootstrap;
  if (!BindBootstrap(kRegisterConsumerBootstrap, args, nargs, kwnames, &bootstrap)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  return CallEngine(
      [&] {
        return engine.RegisterConsumerBootstrap(std::move(bootstrap.name), bootstrap.keep_from,
                                                std::move(bootstrap.checkpoint));
      },
      PyLong_FromUnsignedLongLong);
}

PyObject* BranchBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  std::string name;
  if (!BindOneStr(kBranchBootstrap, args, nargs, kwnames, &name)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  auto branch = ResolveBranch(engine, name);
  if (!branch.ok()) return RaiseEngineError(branch.error());
  return CallEngine([&] { return engine.BranchBootstrap(*branch); }, OptionalBytes);
}

PyObject* ConsumerBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  std::string consumer_id;
  if (!BindOneStr(kConsumerBootstrap, args, nargs, kwnames, &consumer_id)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.ConsumerBootstrap(std::move(consumer_id)); },
                    OptionalBytes);
}

}  // namespace corvantine::python
