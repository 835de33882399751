#include "testing/test_util.h"

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

namespace testing {
namespace {

Result<> Replace(const std::string& path, std::string_view bytes) {
  CVN_ASSIGN_OR_RETURN(File file, CreateOrTruncate(path));
  return file.WriteAt(0, bytes);
}

}  // namespace

void WriteFile(const std::string& path, std::string_view bytes) {
  const Result<> written = Replace(path, bytes);
  if (written.ok()) return;
  std::fprintf(stderr, "WriteFile: %s: %s\n", path.c_str(), written.error().ToString().c_str());
  std::abort();
}

}  // namespace testing

}  // namespace corvantine::platform
