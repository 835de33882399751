#include "util/warning.h"

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace corvantine::util {
namespace {

using testing::CapturedWarnings;
using ::testing::ElementsAre;

TEST(WarnTest, WritesOnePrefixedLineToStandardError) {
  ::testing::internal::CaptureStderr();
  Warn("ignoring non-segment file in log dir: /db/log/x");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "corvantine: ignoring non-segment file in log dir: /db/log/x\n");
}

TEST(WarnTest, ACaptureKeepsTheLinesOfEveryThreadAndTheInnermostWins) {
  ::testing::internal::CaptureStderr();
  CapturedWarnings outer;
  {
    CapturedWarnings inner;
    std::thread([] { Warn("from another thread"); }).join();
    Warn("second");
    EXPECT_THAT(inner.lines(),
                ElementsAre("corvantine: from another thread", "corvantine: second"));
  }
  Warn("after the inner capture");
  EXPECT_THAT(outer.lines(), ElementsAre("corvantine: after the inner capture"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "captured lines are not written";
}

}  // namespace
}  // namespace corvantine::util
