// Fault tables for the calls of platform/platform.h. Behind the hook of
// platform/hook.h, which every wrapper consults before each system call, a
// test can make any chosen call fail, or transfer fewer bytes, without
// touching the code above.
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

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "platform/hook.h"

namespace corvantine::platform::testing {

namespace internal {
struct Armed;
}  // namespace internal

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
  // power failure keeps (testing/power_loss.h) need not wait for the disk.
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

}  // namespace corvantine::platform::testing
