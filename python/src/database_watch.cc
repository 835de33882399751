// Corvantine.watch and the feed-bootstrap calls: register_feed_bootstrap,
// fetch_feed_bootstrap and resume_watch.
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "args.h"
#include "database_methods.h"
#include "engine_call.h"
#include "errors.h"
#include "feed_bootstrap.h"
#include "values.h"
#include "watch.h"

namespace corvantine::python {

namespace {

constexpr const char* kWatchNames[] = {"namespace", "branch",       "start",     "consumer_id",
                                       "timeout",   "page_batches", "page_bytes"};
constexpr Parameters kWatch{"Corvantine.watch", kWatchNames, 7, 0};

constexpr const char* kResumeWatchNames[] = {"descriptor", "namespace", "timeout", "page_batches",
                                             "page_bytes"};
constexpr Parameters kResumeWatch{"Corvantine.resume_watch", kResumeWatchNames, 5, 1};

constexpr const char* kRegisterFeedBootstrapNames[] = {"consumer_id", "keep_from", "checkpoint",
                                                       "branch",      "codec",     "codec_version"};
constexpr Parameters kRegisterFeedBootstrap{"Corvantine.register_feed_bootstrap",
                                            kRegisterFeedBootstrapNames, 6, 3};

constexpr const char* kFetchFeedBootstrapNames[] = {"descriptor", "maximum_bytes"};
constexpr Parameters kFetchFeedBootstrap{"Corvantine.fetch_feed_bootstrap",
                                         kFetchFeedBootstrapNames, 2, 2};

// Seconds as whole milliseconds: a negative or NaN timeout is 0, one too
// large for 64 bits the largest, which never arrives.
uint64_t TimeoutMillis(double seconds) {
  const double millis = seconds * 1000.0;
  if (!(millis > 0)) return 0;
  if (millis >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(millis);
}

// Seconds as a float or an int (anything float() takes without a string);
// None or left out: no timeout.
bool ArgTimeout(PyObject* value, std::optional<uint64_t>* out) {
  std::optional<double> seconds;
  if (!ArgOptionalF64(value, "timeout", &seconds)) return false;
  if (seconds) *out = TimeoutMillis(*seconds);
  return true;
}

}  // namespace

PyObject* Watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[7];
  std::optional<std::string_view> stream;
  std::optional<std::string_view> branch;
  std::optional<std::string_view> consumer_id;
  std::optional<uint64_t> timeout_millis;
  facade::FeedRequest request;
  if (!Bind(kWatch, args, nargs, kwnames, values) ||
      !ArgOptionalStr(values[0], "namespace", &stream) ||
      !ArgOptionalStr(values[1], "branch", &branch) ||
      !ArgOptionalU64(values[2], "start", &request.start) ||
      !ArgOptionalStr(values[3], "consumer_id", &consumer_id) ||
      !ArgTimeout(values[4], &timeout_millis) ||
      !ArgU32(values[5], "page_batches", facade::kDefaultFeedPageBatches, &request.max_batches) ||
      !ArgU64(values[6], "page_bytes", facade::kDefaultFeedPageBytes, &request.max_bytes)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  if (branch) {
    auto id = ResolveBranch(engine, *branch);
    if (!id.ok()) return RaiseEngineError(id.error());
    request.filter.branches.push_back(*id);
  }
  if (consumer_id) request.consumer_id.emplace(*consumer_id);
  request.from_durable_head = !consumer_id;
  const auto open = [&] { return engine.OpenFeed(std::move(request)); };
  return CallEngine(open, [&](facade::FeedHandle feed) {
    return NewWatch(engine, feed, stream, timeout_millis);
  });
}

PyObject* ResumeWatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  PyObject* values[5];
  std::optional<std::string_view> stream;
  std::optional<uint64_t> timeout_millis;
  uint32_t max_batches = 0;
  uint64_t max_bytes = 0;
  facade::FeedBootstrapDescriptor descriptor;
  if (!Bind(kResumeWatch, args, nargs, kwnames, values) || !ArgDict(values[0], "descriptor") ||
      !ArgOptionalStr(values[1], "namespace", &stream) || !ArgTimeout(values[2], &timeout_millis) ||
      !ArgU32(values[3], "page_batches", facade::kDefaultFeedPageBatches, &max_batches) ||
      !ArgU64(values[4], "page_bytes", facade::kDefaultFeedPageBytes, &max_bytes) ||
      !FeedBootstrapFromPy(values[0], &descriptor)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  return CallEngine(
      [&] { return engine.ResumeFeed(std::move(descriptor), max_batches, max_bytes); },
      [&](facade::FeedHandle feed) { return NewWatch(engine, feed, stream, timeout_millis); });
}

PyObject* RegisterFeedBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* values[6];
  std::string_view consumer_id;
  uint64_t keep_from = 0;
  std::string_view checkpoint;
  std::optional<std::string_view> branch;
  std::string_view codec = retention::kDefaultBootstrapCodec;
  uint32_t codec_version = 0;
  if (!Bind(kRegisterFeedBootstrap, args, nargs, kwnames, values) ||
      !ArgStr(values[0], "consumer_id", &consumer_id) ||
      !ArgU64(values[1], "keep_from", 0, &keep_from) ||
      !ArgBytes(values[2], "checkpoint", &checkpoint) ||
      !ArgOptionalStr(values[3], "branch", &branch) ||
      (values[4] != nullptr && !ArgStr(values[4], "codec", &codec)) ||
      !ArgU32(values[5], "codec_version", retention::kDefaultBootstrapCodecVersion,
              &codec_version)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  facade::FeedFilter scope;
  if (branch) {
    auto id = ResolveBranch(engine, *branch);
    if (!id.ok()) return RaiseEngineError(id.error());
    scope.branches.push_back(*id);
  }
  const auto register_bootstrap = [&] {
    return engine.RegisterConsumerBootstrapForFeed(std::string(consumer_id), keep_from,
                                                   std::move(scope), std::string(codec),
                                                   codec_version, std::string(checkpoint));
  };
  return CallEngine(register_bootstrap, PyLong_FromUnsignedLongLong);
}

PyObject* FetchFeedBootstrap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* values[2];
  uint64_t maximum_bytes = 0;
  facade::FeedBootstrapDescriptor descriptor;
  if (!Bind(kFetchFeedBootstrap, args, nargs, kwnames, values) ||
      !ArgDict(values[0], "descriptor") || !ArgU64(values[1], "maximum_bytes", 0, &maximum_bytes) ||
      !FeedBootstrapFromPy(values[0], &descriptor)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  return CallEngine(
      [&] { return engine.FetchFeedBootstrap(std::move(descriptor), maximum_bytes); },
      BytesObject);
}

}  // namespace corvantine::python
