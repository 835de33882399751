#include "facade/engine/channel.h"

#include <chrono>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace corvantine::facade {
namespace {

// Hooks that log what they were asked to do, and signal each release.
struct LoggedHooks {
  explicit LoggedHooks(std::chrono::nanoseconds held_spin)
      : hooks{held_spin,
              [](void* self) {
                static_cast<LoggedHooks*>(self)->log += "release ";
                static_cast<LoggedHooks*>(self)->released.release();
              },
              [](void* self) { static_cast<LoggedHooks*>(self)->log += "reacquire "; }, this} {}

  std::string log;
  std::binary_semaphore released{0};
  WaitHooks hooks;
};

// Answers `slot` with `value`, or drops its sender unanswered, once the
// caller has given up its lock, so that the answer surely comes after the
// caller's spin. A caller that never gives it up is answered after a long
// while, and its log tells.
std::thread AnswerAfterRelease(ReplySlot<int>& slot, std::optional<int> value,
                               LoggedHooks& logged) {
  return std::thread([&slot, value, &logged] {
    logged.released.try_acquire_for(std::chrono::seconds(30));
    ReplySender<int> sender(&slot);
    if (value) sender.Send(*value);
  });
}

TEST(ReplySlotTest, AQuickAnswerKeepsTheCallersLock) {
  LoggedHooks logged(std::chrono::milliseconds(10));
  ScopedWaitHooks scoped(&logged.hooks);
  ReplySlot<int> slot;
  ReplySender<int>(&slot).Send(7);
  EXPECT_EQ(slot.Wait(), 7);
  EXPECT_EQ(logged.log, "");
}

// An answer, or a sender dropped unanswered, that comes after the caller's
// spin: the caller waits without its lock and has it back at the end.
TEST(ReplySlotTest, ASlowAnswerIsAwaitedWithoutTheCallersLock) {
  for (const std::optional<int> answer : {std::optional<int>(8), std::optional<int>()}) {
    LoggedHooks logged(std::chrono::nanoseconds(0));
    ReplySlot<int> slot;
    std::thread sender = AnswerAfterRelease(slot, answer, logged);
    {
      ScopedWaitHooks scoped(&logged.hooks);
      EXPECT_EQ(slot.Wait(std::chrono::microseconds(1)), answer);
    }
    sender.join();
    EXPECT_EQ(logged.log, "release reacquire ");

    // Once the hooks are gone the thread has nothing to give up.
    ReplySlot<int> unhooked;
    ReplySender<int>(&unhooked).Send(9);
    EXPECT_EQ(unhooked.Wait(), 9);
    EXPECT_EQ(logged.log, "release reacquire ");
  }
}

// A wait with a deadline takes everything queued, in order, or nothing once
// the deadline has passed.
TEST(MessageQueueTest, TakeAllUntilTakesWhatIsQueuedByTheDeadline) {
  MessageQueue<int> queue;
  std::vector<int> taken;
  EXPECT_FALSE(queue.TakeAllUntil(std::chrono::steady_clock::now(), &taken));
  ASSERT_TRUE(queue.Push(1) && queue.Push(2));
  EXPECT_TRUE(queue.TakeAllUntil(std::chrono::steady_clock::now(), &taken));
  EXPECT_EQ(taken, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace corvantine::facade
