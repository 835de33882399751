#include "platform/test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace corvantine::platform {

TempDir::TempDir(std::string_view parent) {
  const char* base = std::getenv("TMPDIR");
  if (parent.empty()) parent = base != nullptr && *base != '\0' ? base : "/tmp";
  std::string name = JoinPath(parent, "corvantine-XXXXXX");
  if (::mkdtemp(name.data()) == nullptr) {
    std::perror("TempDir: mkdtemp");
    std::abort();
  }
  path_ = std::move(name);
}

TempDir::~TempDir() {
  // Not through platform::RemoveAll: a fault a test left armed must not
  // leave the directory behind.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace corvantine::platform
