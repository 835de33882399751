#include "platform/system.h"

#include <unistd.h>

#include <chrono>

namespace corvantine::platform {
namespace {

template <typename Clock>
int64_t NanosSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

}  // namespace

uint64_t NowUnixNanos() {
  const int64_t nanos = NanosSinceEpoch<std::chrono::system_clock>();
  return nanos < 0 ? 0 : static_cast<uint64_t>(nanos);
}

uint64_t NowUnixMillis() { return NowUnixNanos() / 1'000'000; }

uint64_t MonotonicNanos() {
  return static_cast<uint64_t>(NanosSinceEpoch<std::chrono::steady_clock>());
}

uint32_t ProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace corvantine::platform
