// The one point where tests watch and bend the calls of platform/platform.h.
// Every open, read, write, flush, truncation, close and change to a directory
// asks the installed hook first, which may fail the call or shorten its
// transfer; each call that succeeded and may have changed a file or a
// directory is then told to the hook. The stat-based queries do not pass
// through it. With no hook installed, the cost is one atomic load per call.
//
// The library itself installs nothing: the fault tables and the power-loss
// recorder of core/testing/ install their hook while a test arms them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace corvantine::platform {

// The calls the hook sees. Each attempt is one call: a looping wrapper
// (ReadAt, WriteAt) makes one call per pread or pwrite, and a retry after
// EINTR is a call of its own. A new fault point is a new value here and a
// wrapper that passes it.
enum class Op : uint8_t {
  kOpen,       // opening a file
  kRead,       // one pread
  kWrite,      // one pwrite
  kSync,       // fsync of a file
  kDataSync,   // fdatasync of a file
  kTruncate,   // ftruncate
  kRename,     // rename; matched on its source path
  kRemove,     // unlink of a file or rmdir of an emptied directory
  kCreateDir,  // one mkdir
  kListDir,    // opening a directory to list it
  kSyncDir,    // fsync of a directory
  kClose,      // close; the descriptor is released even when the call fails
  kMap,        // mmap of an opened file
};

// What the wrapper must do with the call it is about to make.
struct Injection {
  int os_code = 0;  // nonzero: fail with this errno instead of calling
  size_t max_bytes = std::numeric_limits<size_t>::max();  // for a read or write
  bool skip_flush = false;                                // succeed without calling
};

// One call that succeeded and may have changed a file or a directory.
struct Change {
  Op op = Op::kOpen;  // kOpen, kWrite, kTruncate, kSync, kDataSync, kRename, kRemove,
                      // kCreateDir or kSyncDir
  std::string_view path = {};
  int fd = -1;               // for the calls on an open file
  int open_flags = 0;        // kOpen: only a creating open changes anything
  std::string_view to = {};  // kRename: the new name
};

// Called from any thread that makes a call, concurrently; it must make no
// call of platform/platform.h itself.
class CallHook {
 public:
  virtual Injection Before(Op op, std::string_view path) = 0;
  virtual void After(const Change& change) = 0;

 protected:
  ~CallHook() = default;  // never destroyed through the hook point
};

namespace internal {
inline std::atomic<CallHook*> installed_hook{nullptr};
}  // namespace internal

// Installs `hook`, or with nullptr removes the one installed. A call already
// under way may still reach a hook just removed, so a hook must outlive the
// process's calls: make it a static object.
inline void InstallCallHook(CallHook* hook) {
  internal::installed_hook.store(hook, std::memory_order_release);
}

// The wrappers' side; nothing outside platform/ calls it.
namespace internal {

inline Injection Intercept(Op op, std::string_view path) {
  CallHook* hook = installed_hook.load(std::memory_order_acquire);
  return hook == nullptr ? Injection{} : hook->Before(op, path);
}

inline void Record(const Change& change) {
  CallHook* hook = installed_hook.load(std::memory_order_acquire);
  if (hook != nullptr) hook->After(change);
}

}  // namespace internal
}  // namespace corvantine::platform
