// Corvantine.watch.
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "args.h"
#include "database_methods.h"
#include "errors.h"
#include "gil.h"
#include "watch.h"

namespace corvantine::python {

namespace {

constexpr const char* kWatchNames[] = {"namespace", "branch",       "start",     "consumer_id",
                                       "timeout",   "page_batches", "page_bytes"};
constexpr Parameters kWatch{"Corvantine.watch", kWatchNames, 7, 0};

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
  const bool from_durable_head = !request.start && !consumer_id;
  auto feed = WithoutGil([&]() -> facade::EngineResult<facade::FeedHandle> {
    if (from_durable_head) {
      auto head = engine.DurableHead();
      if (!head.ok()) return std::move(head).error();
      request.start = *head;
    }
    return engine.OpenFeed(std::move(request));
  });
  if (!feed.ok()) return RaiseEngineError(feed.error());
  return NewWatch(engine, *feed, stream, timeout_millis);
}

}  // namespace corvantine::python
