#include "log/lock.h"

#include <cerrno>

#include <fmt/format.h>

#include "platform/platform.h"
#include "platform/system.h"

namespace corvantine::log::lock {

Result<DirLock> DirLock::Acquire(const std::string& data_dir) {
  std::string path = platform::JoinPath(data_dir, kLockFileName);
  Result<platform::File> created = platform::CreateExclusive(path);
  if (!created.ok()) {
    if (created.error().IsOsError(EEXIST)) {
      return CorvantineError::Locked(fmt::format(
          "{} exists; another process may hold this data dir. If no process is using it, "
          "delete the LOCK file and retry.",
          path));
    }
    return std::move(created).error();
  }
  // The content is for people looking at the directory; the lock holds
  // without it, and the file is not flushed.
  (void)created->WriteAt(0, fmt::format("{}\n", platform::ProcessId()));
  return DirLock(std::move(path));
}

DirLock::DirLock(DirLock&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

DirLock& DirLock::operator=(DirLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

DirLock::~DirLock() { Release(); }

void DirLock::Release() {
  if (path_.empty()) return;
  (void)platform::RemoveFile(path_);
  path_.clear();
}

}  // namespace corvantine::log::lock
