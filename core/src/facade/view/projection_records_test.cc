#include "facade/view/projection_records.h"

#include <cerrno>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "db/test_util.h"
#include "facade/engine/test_util.h"
#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::facade {
namespace {

using platform::Op;
using platform::TempDir;
using platform::testing::Fault;
using platform::testing::ScopedFault;
using testing::Outcome;

TEST(AppendProjectionSystemTest, CommitsTheRecordOrReportsTheEngineError) {
  TempDir dir;
  std::unique_ptr<db::Corvantine> db = db::testing::OpenDb(dir.path());
  ASSERT_EQ(platform::Outcome(db::testing::AppendOne(*db, "orders", "{}")), "ok");
  EXPECT_EQ(Outcome(AppendProjectionSystem(*db, "corvantine.projection.dropped", "v")), "ok");
  EXPECT_EQ(db->durable_head(), 1u);

  EXPECT_EQ(Outcome(AppendProjectionSystem(*db, "", "x")),
            "corruption: invalid format: event type must not be empty");
  ASSERT_EQ(platform::Outcome(db::testing::AppendOne(*db, "orders", "{}")), "ok");
  ScopedFault fault(Op::kSync, 1, Fault::Error(EIO), ".seg");
  EXPECT_EQ(Outcome(AppendProjectionSystem(*db, "corvantine.consumer.cleared", "c")),
            "io: io: Input/output error (os error 5)");
  EXPECT_EQ(db->durable_head(), 1u);
}

}  // namespace
}  // namespace corvantine::facade
