#include "testing/fault.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <mutex>
#include <vector>

#include "testing/hook.h"

namespace corvantine::platform::testing {
namespace internal {

// One armed fault or counter. A counter is an Armed with nth == 0: it counts
// calls and never hits one. Fields below `fault` change under the registry's
// mutex only.
struct Armed {
  Op op;
  std::string path_substring;
  uint64_t nth = 0;
  Fault fault = {};
  uint64_t calls = 0;  // matching calls seen since arming
  uint64_t hits = 0;

  bool Matches(Op call_op, std::string_view path) const {
    return call_op == op && path.find(path_substring) != std::string_view::npos;
  }
  bool HitsCurrentCall() const {
    return nth != 0 && (calls == nth || (fault.persistent && calls > nth));
  }
};

namespace {

struct Registry {
  std::mutex mu;
  std::vector<Armed*> armed;  // in arming order
};

// How many faults and counters exist; zero keeps every call off the mutex
// while only a power-loss recorder is armed.
std::atomic<int> armed_count{0};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::unique_ptr<Armed> Arm(std::unique_ptr<Armed> armed) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mu);
  registry.armed.push_back(armed.get());
  armed_count.fetch_add(1, std::memory_order_relaxed);
  AttachHook();
  return armed;
}

void Disarm(Armed* armed) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mu);
  std::erase(registry.armed, armed);
  armed_count.fetch_sub(1, std::memory_order_relaxed);
  DetachHook();
}

uint64_t Read(const uint64_t& field) {
  std::lock_guard lock(TheRegistry().mu);
  return field;
}

}  // namespace

Injection InterceptArmed(Op op, std::string_view path) {
  if (armed_count.load(std::memory_order_relaxed) == 0) return {};
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mu);
  Injection injection;
  bool decided = false;
  for (Armed* armed : registry.armed) {
    if (!armed->Matches(op, path)) continue;
    ++armed->calls;
    if (!armed->HitsCurrentCall()) continue;
    ++armed->hits;
    if (!decided) {
      const Fault& fault = armed->fault;
      injection = Injection{fault.os_code, fault.max_bytes, fault.skip_flush};
      decided = true;
    }
  }
  return injection;
}

}  // namespace internal

ScopedFault::ScopedFault(Op op, uint64_t nth, Fault fault, std::string path_substring)
    : armed_(internal::Arm(std::make_unique<internal::Armed>(
          internal::Armed{op, std::move(path_substring), nth, fault}))) {
  assert(nth >= 1);
  assert(!fault.skip_flush || op == Op::kSync || op == Op::kDataSync || op == Op::kSyncDir);
}

ScopedFault::~ScopedFault() { internal::Disarm(armed_.get()); }

uint64_t ScopedFault::hits() const { return internal::Read(armed_->hits); }

CallCounter::CallCounter(Op op, std::string path_substring)
    : armed_(internal::Arm(
          std::make_unique<internal::Armed>(internal::Armed{op, std::move(path_substring)}))) {}

CallCounter::~CallCounter() { internal::Disarm(armed_.get()); }

uint64_t CallCounter::count() const { return internal::Read(armed_->calls); }

}  // namespace corvantine::platform::testing
