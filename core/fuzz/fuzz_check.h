// Shared by the fuzz targets: a failed check aborts, which libFuzzer reports
// as a crash together with the input that caused it.
#pragma once

#include <cstdlib>

namespace corvantine::fuzz {

inline void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace corvantine::fuzz
