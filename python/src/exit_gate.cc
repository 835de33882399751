#include "exit_gate.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace corvantine::python {

namespace {

// The gate's state: kClosed once closed, plus the number of threads that
// have passed it and do not hold the lock yet.
constexpr uint32_t kClosed = uint32_t{1} << 31;
std::atomic<uint32_t> gate{0};

thread_local bool closed_the_gate = false;

// Counts the calling thread out, waking CloseExitGate when it was the last.
void Leave() {
  if (gate.fetch_sub(1, std::memory_order_acq_rel) == kClosed + 1) gate.notify_all();
}

[[noreturn]] void Park() {
  for (;;) pause();
}

// A forked child holds only the thread that forked, which held the lock: no
// thread of the child is on its way to the lock, and its own exit passes.
void ResetInChild() {
  gate.store(0, std::memory_order_relaxed);
  closed_the_gate = false;
}

}  // namespace

bool OpenExitGate() { return pthread_atfork(nullptr, nullptr, ResetInChild) == 0; }

void RestoreThread(PyThreadState* state) noexcept {
  const bool closed = (gate.fetch_add(1, std::memory_order_acq_rel) & kClosed) != 0;
  if (closed && !closed_the_gate) {
    Leave();
    Park();
  }
  PyEval_RestoreThread(state);
  Leave();
}

void CloseExitGate() noexcept {
  closed_the_gate = true;
  gate.fetch_or(kClosed, std::memory_order_acq_rel);
  PyThreadState* state = PyEval_SaveThread();
  for (uint32_t seen; (seen = gate.load(std::memory_order_acquire)) != kClosed;) gate.wait(seen);
  PyEval_RestoreThread(state);
}

}  // namespace corvantine::python
