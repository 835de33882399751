// Helpers for the tests of any module that touches the file system.
#pragma once

#include <string>
#include <string_view>

#include "error/error.h"

namespace corvantine::platform {

// A fresh, uniquely named directory under `parent`, or when that is empty
// under $TMPDIR (or /tmp), removed with everything in it on destruction.
// Aborts when it cannot be created: no test can go on without it.
class TempDir {
 public:
  explicit TempDir(std::string_view parent = {});
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// "ok", or the display text of the error: one comparison checks both.
template <typename T>
std::string Outcome(const Result<T>& result) {
  return result.ok() ? "ok" : result.error().ToString();
}

}  // namespace corvantine::platform
