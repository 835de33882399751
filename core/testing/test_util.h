// Helpers for the tests of any module that touches the file system.
#pragma once

#include <string>
#include <string_view>

#include "error/error.h"
#include "error/result.h"
#include "testing/fault.h"

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

// "ok", or the display text of the error: one comparison checks both. For
// the result of any layer whose error has a ToString.
template <typename T, typename E>
std::string Outcome(const error::Expected<T, E>& result) {
  return result.ok() ? "ok" : result.error().ToString();
}

namespace testing {

// Makes `bytes` the whole content of the file at `path`, creating it when
// missing. Aborts when it cannot, like TempDir.
void WriteFile(const std::string& path, std::string_view bytes);

// With the faults of testing/fault.h, everything a test of file-system code
// names, taken in with one `using namespace platform::testing;`.
using platform::Op;
using platform::Outcome;
using platform::TempDir;

}  // namespace testing

}  // namespace corvantine::platform
