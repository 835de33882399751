#include "facade/engine/feed_signal.h"

namespace corvantine::facade {

void FeedSignal::Publish(uint64_t durable_head) {
  if (published_.exchange(durable_head) == durable_head) return;
  WakeAll();
}

void FeedSignal::Notify() { WakeAll(); }

void FeedSignal::WakeAll() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  wake_.notify_all();
}

FeedSignal::Wake FeedSignal::WaitPast(uint64_t position, std::chrono::milliseconds timeout,
                                      const std::atomic<bool>& closed) const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed.load(std::memory_order_acquire)) return Wake::kClosed;
  if (published_.load(std::memory_order_acquire) > position) return Wake::kPublishedBeyond;
  const uint64_t seen = generation_;
  ++waiting_;
  const bool woken = wake_.wait_for(lock, timeout, [&] { return generation_ != seen; });
  --waiting_;
  if (!woken) return Wake::kTimedOut;
  return closed.load(std::memory_order_acquire) ? Wake::kClosed : Wake::kWoken;
}

int FeedSignal::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

}  // namespace corvantine::facade
