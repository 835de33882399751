// The fault-injection point of the platform layer. Every wrapper in
// platform/platform.h consults it before each system call, so a test can make
// any chosen call fail, or transfer fewer bytes, without touching the code
// above. When nothing is armed the cost is one relaxed atomic load per call.
//
// A test typically counts the calls an operation makes, then fails each one
// in turn:
//
//   uint64_t n;
//   {
//     testing::CallCounter renames(Op::kRename);
//     ASSERT_TRUE(WriteManifest(dir).ok());
//     n = renames.count();
//   }
//   for (uint64_t i = 1; i <= n; ++i) {
//     testing::ScopedFault fault(Op::kRename, i, testing::Fault::Error(EIO));
//     EXPECT_FALSE(WriteManifest(dir).ok());
//   }
//
// A torn write (some bytes land, then the disk fails) is two faults on
// consecutive calls: Short(k) on the nth write and Error(ENOSPC) on the next.
//
// Faults and counters may be armed, consulted and disarmed from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

namespace corvantine::platform {

// The calls a fault can hit. Each attempt is one call: a looping wrapper
// (ReadAt, WriteAt) makes one call per pread or pwrite, and a retry after
// EINTR is a call of its own.
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

namespace internal {
struct Armed;
}  // namespace internal

namespace testing {

// What an armed fault does to a call it hits.
struct Fault {
  // The call fails with this errno without reaching the OS; 0 for none.
  // EINTR exercises the wrappers' retry.
  int os_code = 0;
  // A read or write transfers at most this many bytes; other calls ignore it.
  size_t max_bytes = std::numeric_limits<size_t>::max();
  // Hit every matching call from the nth on, not only the nth.
  bool persistent = false;
  // A flush is not made and reports success.
  bool skip_flush = false;

  static Fault Error(int os_code) { return Fault{os_code}; }
  // With 0, a write reports nothing written and a read sees end of file.
  static Fault Short(size_t max_bytes) { return Fault{0, max_bytes}; }
  // Only for kSync, kDataSync and kSyncDir: a test that simulates what a
  // power failure keeps (platform/power_loss.h) need not wait for the disk.
  static Fault SkipFlush() { return Fault{.skip_flush = true}; }
  Fault Persistent() const {
    Fault fault = *this;
    fault.persistent = true;
    return fault;
  }
};

// Arms `fault` for the nth call of `op` from now (1 is the next one) until
// destroyed. With a non-empty `path_substring`, only calls on a path that
// contains it are counted and hit. When several faults hit one call, the one
// armed first decides what happens.
class ScopedFault {
 public:
  ScopedFault(Op op, uint64_t nth, Fault fault, std::string path_substring = {});
  ~ScopedFault();
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;

  // How many calls the fault has hit so far; lets a test prove it was reached.
  uint64_t hits() const;

 private:
  std::unique_ptr<internal::Armed> armed_;
};

// Counts the calls of `op` (on paths containing `path_substring`, if given)
// made while it exists.
class CallCounter {
 public:
  explicit CallCounter(Op op, std::string path_substring = {});
  ~CallCounter();
  CallCounter(const CallCounter&) = delete;
  CallCounter& operator=(const CallCounter&) = delete;

  uint64_t count() const;

 private:
  std::unique_ptr<internal::Armed> armed_;
};

}  // namespace testing

// The wrappers' side of the seam; nothing outside platform/ calls it.
namespace internal {

// What the wrapper must do with the call it is about to make.
struct Injection {
  int os_code = 0;  // nonzero: fail with this errno instead of calling
  size_t max_bytes = std::numeric_limits<size_t>::max();
  bool skip_flush = false;  // succeed without calling
};

// How many faults and counters exist; zero keeps every call on the fast path.
inline std::atomic<int> armed_count{0};

Injection InterceptArmed(Op op, std::string_view path);

inline Injection Intercept(Op op, std::string_view path) {
  if (armed_count.load(std::memory_order_relaxed) == 0) return {};
  return InterceptArmed(op, path);
}

}  // namespace internal
}  // namespace corvantine::platform
