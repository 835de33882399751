// How a calling thread waits for the engine's answers. A thread that holds a
// lock other threads need, such as an interpreter's global lock, keeps it
// while an answer comes within a brief spin, and gives it up only around a
// longer wait: handing such a lock to another thread and back costs more
// than a quick answer takes. It says so by setting these hooks for the
// length of its call.
#pragma once

#include <chrono>
#include <utility>

namespace corvantine::facade {

struct WaitHooks {
  std::chrono::nanoseconds held_spin;  // how long to spin with the lock
  void (*release)(void* context);
  void (*reacquire)(void* context);
  void* context;
};

namespace wait_hooks_internal {
inline thread_local const WaitHooks* current = nullptr;
}  // namespace wait_hooks_internal

// The calling thread's hooks, or null.
inline const WaitHooks* CurrentWaitHooks() { return wait_hooks_internal::current; }

// Sets the calling thread's hooks for its lifetime.
class ScopedWaitHooks {
 public:
  explicit ScopedWaitHooks(const WaitHooks* hooks)
      : previous_(std::exchange(wait_hooks_internal::current, hooks)) {}
  ~ScopedWaitHooks() { wait_hooks_internal::current = previous_; }
  ScopedWaitHooks(const ScopedWaitHooks&) = delete;
  ScopedWaitHooks& operator=(const ScopedWaitHooks&) = delete;

 private:
  const WaitHooks* previous_;
};

}  // namespace corvantine::facade
