// The clocks and the process identity, as the rest of the library reads them.
#pragma once

#include <cstdint>

namespace corvantine::platform {

// Wall-clock time since the Unix epoch; 0 while the clock is set before it.
uint64_t NowUnixNanos();
uint64_t NowUnixMillis();
// A clock that never goes back, for intervals; its origin is arbitrary.
uint64_t MonotonicNanos();

uint32_t ProcessId();

}  // namespace corvantine::platform
