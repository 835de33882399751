// The feed signal: how the sequencer tells waiting feed readers that the
// durable head has moved. It is the only state that callers' threads and
// the sequencer touch together. Waiters read the published head under the
// mutex before they sleep, and a publisher counts a generation under the
// same mutex before it wakes them, so no publish between the check and the
// sleep is missed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace corvantine::facade {

class FeedSignal {
 public:
  // Stores the durable head; wakes every waiter when it changed. Called by
  // the sequencer whenever an operation may have moved the durable head.
  void Publish(uint64_t durable_head);
  // Wakes every waiter without changing the head; closing the engine does
  // this so that waiters notice.
  void Notify();

  // The durable head last published; 0 until the engine has started.
  uint64_t published() const { return published_.load(std::memory_order_acquire); }

  enum class Wake {
    kClosed,           // `closed` is set
    kPublishedBeyond,  // a durable head beyond the position is published already
    kWoken,            // a publish or a notify came during the wait
    kTimedOut,
  };

  // For a reader that has everything below `position`: returns at once when
  // `closed` is set or a durable head beyond `position` is published, else
  // waits once, up to `timeout`, for a publish or a notify.
  Wake WaitPast(uint64_t position, std::chrono::milliseconds timeout,
                const std::atomic<bool>& closed) const;

  // How many threads are inside WaitPast's wait now, past its checks: a
  // publish or a notify from here on wakes them.
  int waiting() const;

 private:
  void WakeAll();

  std::atomic<uint64_t> published_{0};
  mutable std::mutex mutex_;
  uint64_t generation_ = 0;  // guarded by mutex_; counts wake-ups
  mutable int waiting_ = 0;  // guarded by mutex_
  mutable std::condition_variable wake_;
};

}  // namespace corvantine::facade
