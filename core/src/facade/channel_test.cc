#include "facade/channel.h"

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace corvantine::facade {
namespace {

// Hooks that log what they were asked to do.
struct LoggedHooks {
  explicit LoggedHooks(std::chrono::nanoseconds held_spin)
      : hooks{held_spin, [](void* log) { *static_cast<std::string*>(log) += "release "; },
              [](void* log) { *static_cast<std::string*>(log) += "reacquire "; }, &log} {}

  std::string log;
  WaitHooks hooks;
};

TEST(ReplySlotTest, AQuickAnswerKeepsTheCallersLock) {
  LoggedHooks logged(std::chrono::milliseconds(10));
  ScopedWaitHooks scoped(&logged.hooks);
  ReplySlot<int> slot;
  ReplySender<int>(&slot).Send(7);
  EXPECT_EQ(slot.Wait(), 7);
  EXPECT_EQ(logged.log, "");
}

TEST(ReplySlotTest, ASlowAnswerIsAwaitedWithoutTheCallersLock) {
  LoggedHooks logged(std::chrono::nanoseconds(0));
  ReplySlot<int> slot;
  std::thread sender([&slot] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ReplySender<int>(&slot).Send(8);
  });
  {
    ScopedWaitHooks scoped(&logged.hooks);
    EXPECT_EQ(slot.Wait(std::chrono::microseconds(1)), 8);
  }
  sender.join();
  EXPECT_EQ(logged.log, "release reacquire ");

  // Without hooks the thread has nothing to give up.
  ReplySlot<int> unhooked;
  ReplySender<int>(&unhooked).Send(9);
  EXPECT_EQ(unhooked.Wait(), 9);
  EXPECT_EQ(logged.log, "release reacquire ");
}

TEST(ReplySlotTest, ADroppedSenderEndsTheWaitWithTheLockBack) {
  LoggedHooks logged(std::chrono::nanoseconds(0));
  ReplySlot<int> slot;
  std::thread sender([&slot] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ReplySender<int> dropped(&slot);
  });
  ScopedWaitHooks scoped(&logged.hooks);
  EXPECT_FALSE(slot.Wait(std::chrono::microseconds(1)).has_value());
  sender.join();
  EXPECT_EQ(logged.log, "release reacquire ");
}

}  // namespace
}  // namespace corvantine::facade
