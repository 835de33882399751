#include "facade/channel.h"

#include <chrono>
#include <optional>
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

// Answers `slot` with `value` after a while, or drops its sender unanswered.
std::thread AnswerLater(ReplySlot<int>& slot, std::optional<int> value) {
  return std::thread([&slot, value] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
    std::thread sender = AnswerLater(slot, answer);
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

}  // namespace
}  // namespace corvantine::facade
