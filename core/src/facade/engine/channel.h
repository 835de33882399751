// The engine's two channels: a queue of commands from any number of caller
// threads to the sequencer, and a one-answer reply slot that a caller keeps
// on its own stack while it waits. Both spin before they block, for about as
// long as the answer or the next command is expected to take: a wake-up
// costs tens of microseconds, more than most commands, while a wait longer
// than expected costs that one wake-up instead of a busy core.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "facade/engine/wait_hooks.h"

namespace corvantine::facade {

namespace channel_internal {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Polls `done` for about `budget`; false when it never became true.
// Spinning is pointless with a single processor.
template <typename Done>
bool SpinUntil(std::chrono::nanoseconds budget, Done done) {
  constexpr int kPollsPerClockRead = 16;
  static const bool worthwhile = std::thread::hardware_concurrency() > 1;
  if (worthwhile) {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    do {
      for (int i = 0; i < kPollsPerClockRead; ++i) {
        if (done()) return true;
        CpuRelax();
      }
    } while (std::chrono::steady_clock::now() < deadline);
  }
  return done();
}

// A caller's round trip for a small command, with room for a brief
// preemption; callers that expect a longer one say so.
inline constexpr std::chrono::microseconds kReplySpin{50};
// The sequencer idles no longer than a caller takes to make its next
// command, or, when commands have been coming at a steady pace, about twice
// the last wait, up to the maximum: a caller that converts a large batch
// between two appends then finds the sequencer awake.
inline constexpr std::chrono::microseconds kQueueSpin{20};
inline constexpr std::chrono::microseconds kMaxQueueSpin{250};

}  // namespace channel_internal

template <typename T>
class ReplySender;

// Where one answer arrives. The waiting thread owns the slot; the sender
// touches it for the last time inside the slot's mutex, and Wait() takes
// that mutex before it returns, so the slot may be destroyed as soon as
// Wait() has returned.
template <typename T>
class ReplySlot {
 public:
  ReplySlot() = default;
  ReplySlot(const ReplySlot&) = delete;
  ReplySlot& operator=(const ReplySlot&) = delete;

  // Blocks until the answer arrives, or nothing when its sender was dropped
  // without answering. Spins for about `spin` first, holding the calling
  // thread's lock for the first part of it when it has set WaitHooks.
  std::optional<T> Wait(std::chrono::nanoseconds spin = channel_internal::kReplySpin) {
    const WaitHooks* hooks = CurrentWaitHooks();
    if (hooks == nullptr || SpinUntilFinished(std::min(spin, hooks->held_spin))) {
      return SpinThenBlock(spin);
    }
    hooks->release(hooks->context);
    std::optional<T> value = SpinThenBlock(spin - std::min(spin, hooks->held_spin));
    hooks->reacquire(hooks->context);
    return value;
  }

 private:
  friend class ReplySender<T>;

  bool SpinUntilFinished(std::chrono::nanoseconds spin) {
    return channel_internal::SpinUntil(
        spin, [this] { return finished_.load(std::memory_order_acquire); });
  }

  // The mutex is taken even when the answer is in: the sender's last touch
  // of the slot is inside it.
  std::optional<T> SpinThenBlock(std::chrono::nanoseconds spin) {
    SpinUntilFinished(spin);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!finished_.load(std::memory_order_relaxed)) {
      sleeping_ = true;
      wake_.wait(lock);
    }
    return std::move(value_);
  }

  void Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.store(true, std::memory_order_release);
    if (sleeping_) wake_.notify_one();
  }

  std::atomic<bool> finished_{false};
  std::optional<T> value_;  // written by the sender before Finish()
  std::mutex mutex_;
  std::condition_variable wake_;
  bool sleeping_ = false;  // guarded by mutex_
};

// The sending end of a ReplySlot: answers once, or, when dropped without
// answering, tells the waiter that no answer will come. A default-made
// sender is connected to nothing and drops what it is given.
template <typename T>
class ReplySender {
 public:
  ReplySender() = default;
  explicit ReplySender(ReplySlot<T>* slot) : slot_(slot) {}
  ReplySender(ReplySender&& other) noexcept : slot_(std::exchange(other.slot_, nullptr)) {}
  ReplySender& operator=(ReplySender&& other) noexcept {
    if (this != &other) {
      Disconnect();
      slot_ = std::exchange(other.slot_, nullptr);
    }
    return *this;
  }
  ~ReplySender() { Disconnect(); }

  void Send(T value) {
    if (slot_ == nullptr) return;
    slot_->value_.emplace(std::move(value));
    std::exchange(slot_, nullptr)->Finish();
  }

 private:
  void Disconnect() {
    if (slot_ != nullptr) std::exchange(slot_, nullptr)->Finish();
  }

  ReplySlot<T>* slot_ = nullptr;
};

// An unbounded first-in, first-out queue with many producers and one
// consumer, who takes everything queued at once. Producers wake the
// consumer only when it sleeps on an empty queue.
template <typename T>
class MessageQueue {
 public:
  // False once the queue is closed; `item` is then dropped.
  bool Push(T item) {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) return false;
      wake = items_.empty() && consumer_sleeping_;
      items_.push_back(std::move(item));
      has_items_.store(true, std::memory_order_relaxed);
    }
    if (wake) wake_.notify_one();
    return true;
  }

  // Blocks until something is queued, then moves all of it, in order, into
  // `*out`, which must be empty.
  void TakeAll(std::vector<T>* out) {
    const auto start = std::chrono::steady_clock::now();
    channel_internal::SpinUntil(spin_,
                                [this] { return has_items_.load(std::memory_order_relaxed); });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (items_.empty()) {
        consumer_sleeping_ = true;
        wake_.wait(lock);
        consumer_sleeping_ = false;
      }
      out->swap(items_);  // both vectors keep their storage for the next round
      has_items_.store(false, std::memory_order_relaxed);
    }
    AdaptSpin(std::chrono::steady_clock::now() - start);
  }

  // Like TakeAll, but waits only until `deadline`: false, taking nothing,
  // when nothing was queued by then.
  bool TakeAllUntil(std::chrono::steady_clock::time_point deadline, std::vector<T>* out) {
    std::unique_lock<std::mutex> lock(mutex_);
    consumer_sleeping_ = true;
    wake_.wait_until(lock, deadline, [this] { return !items_.empty(); });
    consumer_sleeping_ = false;
    if (items_.empty()) return false;
    out->swap(items_);
    has_items_.store(false, std::memory_order_relaxed);
    return true;
  }

  // Refuses every later Push and drops what is queued.
  void Close() {
    std::vector<T> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    dropped.swap(items_);
  }

 private:
  void AdaptSpin(std::chrono::nanoseconds waited) {
    using channel_internal::kMaxQueueSpin;
    using channel_internal::kQueueSpin;
    spin_ = waited > kMaxQueueSpin ? std::chrono::nanoseconds(kQueueSpin)
                                   : std::clamp<std::chrono::nanoseconds>(2 * waited, kQueueSpin,
                                                                          kMaxQueueSpin);
  }

  std::chrono::nanoseconds spin_ = channel_internal::kQueueSpin;  // the consumer's own
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<T> items_;
  bool closed_ = false;
  bool consumer_sleeping_ = false;
  std::atomic<bool> has_items_{false};  // a hint for the spinning consumer
};

}  // namespace corvantine::facade
