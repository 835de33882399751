#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "facade/engine/engine.h"
#include "facade/engine/test_util.h"

namespace corvantine::facade {
namespace {

using namespace testing;

class PendingPageTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(AppendOne(engine(), "s").ok());
  }
};

std::vector<uint64_t> Positions(const ReplayPage& page) {
  std::vector<uint64_t> positions;
  for (const RecordDto& record : page.records) positions.push_back(record.position);
  return positions;
}

TEST_F(PendingPageTest, PagesAskedAheadAreThePagesOfTheReader) {
  const ReaderHandle reader = *engine_->OpenReader(ReadFrom(0, {}, 4));
  std::optional<PendingPage> pending(engine_->RequestPage(reader));
  std::vector<std::vector<uint64_t>> pages;
  for (;;) {
    EngineResult<ReplayPage> page = pending->Get();
    ASSERT_TRUE(page.ok()) << Outcome(page);
    if (page->done) {
      pages.push_back(Positions(*page));
      break;
    }
    pending.reset();
    pending.emplace(engine_->RequestPage(reader));  // asked before this page is looked at
    pages.push_back(Positions(*page));
  }
  EXPECT_EQ(pages, (std::vector<std::vector<uint64_t>>{{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9}}));
  EXPECT_EQ(Outcome(engine_->CloseReader(reader)), "ok");
}

TEST_F(PendingPageTest, APageDroppedUnreadIsWaitedFor) {
  const ReaderHandle reader = *engine_->OpenReader(ReadFrom(0, {}, 4));
  { PendingPage dropped = engine_->RequestPage(reader); }
  const EngineResult<ReplayPage> next = engine_->NextPage(reader);
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(Positions(*next), (std::vector<uint64_t>{4, 5, 6, 7}));
  EXPECT_EQ(Outcome(engine_->CloseReader(reader)), "ok");
}

TEST_F(PendingPageTest, ClosingAnswersEveryPageAskedFor) {
  const ReaderHandle reader = *engine_->OpenReader(ReadFrom(0, {}, 4));
  PendingPage before = engine_->RequestPage(reader);
  ASSERT_TRUE(engine_->Close().ok());
  PendingPage after = engine_->RequestPage(reader);
  EXPECT_EQ(Outcome(before.Get()), "ok");  // queued before the close, so executed
  EXPECT_EQ(Outcome(after.Get()), Outcome(EngineResult<>(EngineError::Closed())));
}

}  // namespace
}  // namespace corvantine::facade
