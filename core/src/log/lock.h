// The directory lock. A data directory is used by one process at a time: the
// owner holds the file "LOCK" in it, created exclusively, whose content is
// the owner's process id and a newline. The lock is the file's existence and
// nothing else: no advisory lock is taken and the process id is never read
// back, so a file left by a process that died keeps the directory locked
// until someone deletes it.
#pragma once

#include <string>
#include <utility>

#include "error/error.h"

namespace corvantine::log::lock {

inline constexpr char kLockFileName[] = "LOCK";

class DirLock {
 public:
  // Creates "LOCK" in `data_dir`. When it exists the error is Locked with
  // the detail "{path} exists; another process may hold this data dir. If no
  // process is using it, delete the LOCK file and retry."; any other failure
  // is Io. A failure to write the process id is ignored.
  static Result<DirLock> Acquire(const std::string& data_dir);

  DirLock(DirLock&& other) noexcept;
  DirLock& operator=(DirLock&& other) noexcept;
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  // Removes "LOCK", ignoring a failure.
  ~DirLock();

  const std::string& path() const { return path_; }

 private:
  explicit DirLock(std::string path) : path_(std::move(path)) {}
  void Release();

  std::string path_;  // empty once moved from
};

}  // namespace corvantine::log::lock
