#include "retention/crash.h"

#include <cstdlib>

namespace corvantine::retention {

void CrashPoint(std::string_view point) {
  const char* value = std::getenv(kCrashAtVariable);
  if (value != nullptr && std::string_view(value) == point) std::abort();
}

}  // namespace corvantine::retention
