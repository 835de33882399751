#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/db.h"
#include "facade/engine/engine.h"
#include "facade/engine/test_util.h"
#include "projection/json.h"
#include "projection/json_index.h"
#include "projection/records.h"
#include "testing/fault.h"
#include "util/warning.h"

namespace corvantine::facade {
namespace {

using projection::ByQuery;
using projection::GetQuery;
using projection::LenQuery;
using projection::PrefixQuery;
using projection::RangeQuery;
using testing::Outcome;

QueryDefinition Definition() { return QueryDefinition{"k", {{"by_v", "v"}}, std::nullopt}; }

EngineResult<AppendReceiptDto> AppendJson(const Engine& engine, const std::string& stream,
                                          std::vector<std::string> bodies,
                                          RequestDurability durability) {
  AppendBatch batch;
  batch.stream = stream;
  for (std::string& body : bodies) batch.events.push_back(EventData::Json(std::move(body)));
  batch.durability = durability;
  return engine.Append(std::move(batch));
}

// The documents a plain fold over the committed events gives.
using Documents = std::map<std::string, std::pair<int, std::string>>;  // key -> (v, body)

QueryResult Expected(const Documents& documents, const QueryOperation& operation) {
  QueryResult result{{}, documents.size()};
  for (const auto& entry : documents) {
    const std::string& key = entry.first;
    const int v = entry.second.first;
    const bool selected = std::visit(
        [&](const auto& query) {
          using Q = std::decay_t<decltype(query)>;
          if constexpr (std::is_same_v<Q, GetQuery>) return key == query.key;
          if constexpr (std::is_same_v<Q, ByQuery>) return std::to_string(v) == query.value;
          if constexpr (std::is_same_v<Q, RangeQuery>) return query.start <= key && key < query.end;
          if constexpr (std::is_same_v<Q, PrefixQuery>) return key.starts_with(query.prefix);
          return false;
        },
        operation);
    if (selected) result.rows.push_back(entry.second.second);
  }
  return result;
}

std::string Text(const QueryResult& result) {
  std::string text = std::to_string(result.total) + ":";
  for (const std::string& row : result.rows) text += " " + row;
  return text;
}

// Appends, commits, queries in every consistency, snapshots, reopens,
// rebuilds and deletes derived state at random; every answer must equal the
// fold of the events below the durable head.
class ViewModelTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    config_ = testing::ConfigFor(dir_.path());
    config_.snapshot_every_events = 7;
    Reopen();
  }

  void Reopen() {
    engine_.reset();
    std::optional<Engine> engine = testing::OpenEngine(config_);
    ASSERT_TRUE(engine.has_value());
    engine_.emplace(std::move(*engine));
    // Events that no commit made durable may or may not survive a close.
    bodies_.resize(engine_->Head().value());
    if (!registered_) {
      ASSERT_EQ(Outcome(engine_->RegisterQuery("model", Definition(), GetParam())), "ok");
      registered_ = true;
    }
    handle_ = engine_->QueryNamed("model").value();
  }

  Documents Fold() const { return Fold(engine_->DurableHead().value()); }

  // The documents of the events below `end`.
  Documents Fold(uint64_t end) const {
    Documents documents;
    for (uint64_t position = 0; position < end; ++position) {
      const auto& [key, v, body] = bodies_[position];
      documents.insert_or_assign(key, std::make_pair(v, body));
    }
    return documents;
  }

  void Append() {
    const std::string stream = "s" + std::to_string(rng_() % 6);
    std::vector<std::string> batch;
    for (uint32_t i = 0, n = 1 + rng_() % 3; i < n; ++i) {
      const std::string key = std::string(1, static_cast<char>('a' + rng_() % 4)) +
                              std::to_string(rng_() % 4);
      const int v = static_cast<int>(rng_() % 5);
      const std::string body =
          R"({"k":")" + key + R"(","v":)" + std::to_string(v) + R"(,"s":")" + stream + "\"}";
      batch.push_back(body);
      bodies_.emplace_back(key, v, body);
    }
    const auto durability = rng_() % 3 == 0 ? RequestDurability::kSync : RequestDurability::kBuffered;
    ASSERT_EQ(Outcome(AppendJson(*engine_, stream, batch, durability)), "ok");
  }

  QueryOperation RandomOperation() {
    const std::string key = std::string(1, static_cast<char>('a' + rng_() % 4));
    switch (rng_() % 5) {
      case 0:
        return GetQuery{key + std::to_string(rng_() % 4)};
      case 1:
        return ByQuery{"by_v", std::to_string(rng_() % 5)};
      case 2:
        return RangeQuery{key, std::string(1, static_cast<char>(key[0] + 1 + rng_() % 2))};
      case 3:
        return PrefixQuery{rng_() % 4 == 0 ? "" : key};
      default:
        return LenQuery{};
    }
  }

  void Query() {
    const QueryOperation operation = RandomOperation();
    const uint64_t durable = engine_->DurableHead().value();
    QueryConsistency consistency;
    switch (rng_() % 3) {
      case 1:
        consistency = QueryConsistency::Available();
        break;
      case 2:
        consistency = QueryConsistency::AtLeast(rng_() % (durable + 3));
        break;
    }
    EngineResult<QueryResult> answer = engine_->Query(handle_, operation, consistency);
    if (consistency.kind == QueryConsistency::Kind::kAtLeast && consistency.position > durable) {
      EXPECT_EQ(answer.ok() ? "ok" : std::string(answer.error().code()), "projection_not_ready");
      return;
    }
    ASSERT_EQ(Outcome(answer), "ok");
    // At least p: the projection may stand anywhere from p to the durable head.
    uint64_t end = durable;
    if (consistency.kind == QueryConsistency::Kind::kAtLeast) {
      const std::vector<PartitionStatus> partitions = engine_->PartitionStatuses(handle_).value();
      end = partitions[0].cursor.position;
      for (const PartitionStatus& partition : partitions) {
        EXPECT_GE(partition.cursor.position, consistency.position);
        EXPECT_LE(partition.cursor.position, durable);
        // Partitions that stand apart answer a mix of positions.
        if (partition.cursor.position != end) return;
      }
    }
    EXPECT_EQ(Text(*answer), Text(Expected(Fold(end), operation))) << "at step " << step_;
  }

  void Step() {
    const uint32_t roll = rng_() % 100;
    if (roll < 40) {
      Append();
    } else if (roll < 50) {
      EXPECT_EQ(Outcome(engine_->Commit()), "ok");
    } else if (roll < 80) {
      Query();
    } else if (roll < 86) {
      EXPECT_EQ(Outcome(engine_->CreateSnapshot(handle_)), "ok");
    } else if (roll < 90) {
      Reopen();
    } else if (roll < 94) {
      EXPECT_EQ(Outcome(engine_->RebuildProjection(handle_)), "ok");
    } else if (roll < 97) {
      EXPECT_EQ(Outcome(engine_->DeleteAllDerivedState()), "ok");
    } else {
      CheckSnapshots();
    }
  }

  void CheckSnapshots() {
    const std::vector<SnapshotInfo> listed = engine_->ListSnapshots(handle_).value();
    for (const SnapshotInfo& info : listed) {
      EXPECT_EQ(Outcome(engine_->VerifySnapshot(info.id)), "ok");
      EXPECT_LE(info.manifest.cursor.position, engine_->DurableHead().value());
    }
  }

  platform::TempDir dir_;
  OpenConfig config_;
  std::optional<Engine> engine_;
  bool registered_ = false;
  QueryHandle handle_ = 0;
  std::vector<std::tuple<std::string, int, std::string>> bodies_;  // by position
  std::mt19937 rng_{20261207};
  int step_ = 0;
};

TEST_P(ViewModelTest, EveryAnswerIsTheFoldOfTheCommittedEvents) {
  for (step_ = 0; step_ < 600 && !HasFatalFailure(); ++step_) Step();
  EXPECT_EQ(Outcome(engine_->Commit()), "ok");
  EXPECT_EQ(engine_->Query(handle_, PrefixQuery{""}).value(),
            Expected(Fold(), PrefixQuery{""}));
}

INSTANTIATE_TEST_SUITE_P(OneAndSeveralPartitions, ViewModelTest, ::testing::Values(1u, 4u));

// A JSON index that fails on the record at one position while armed.
class FailingRuntime final : public ProjectionRuntime {
 public:
  FailingRuntime(uint64_t fail_at, std::shared_ptr<bool> armed)
      : index_(Definition()), fail_at_(fail_at), armed_(std::move(armed)) {}

  projection::ProjectionResult<> Reset() override { return index_.Reset(); }
  projection::ProjectionResult<> Apply(const projection::RecordView& record) override {
    if (*armed_ && record.position == fail_at_) {
      return projection::ProjectionFailure{"boom", "record " + std::to_string(fail_at_)};
    }
    return index_.Apply(record);
  }
  projection::ProjectionResult<QueryResult> Query(const QueryOperation& operation) const override {
    return index_.Query(operation);
  }
  projection::ProjectionResult<std::string> Checkpoint() const override {
    return index_.Checkpoint();
  }
  projection::ProjectionResult<> RestoreCheckpoint(std::string_view state,
                                                   uint64_t cursor) override {
    return index_.RestoreCheckpoint(state, cursor);
  }
  projection::ProjectionResult<std::string> CheckpointPartition(uint32_t partition,
                                                                uint32_t count) const override {
    return index_.CheckpointPartition(partition, count);
  }
  projection::ProjectionResult<> RestorePartition(uint32_t partition, uint32_t count,
                                                  std::string_view state,
                                                  uint64_t cursor) override {
    return index_.RestorePartition(partition, count, state, cursor);
  }

 private:
  projection::JsonIndexRuntime index_;
  uint64_t fail_at_;
  std::shared_ptr<bool> armed_;
};

class FailingViewTest : public testing::EngineTest {
 protected:
  QueryHandle RegisterFailing(uint64_t fail_at) {
    return engine()
        .RegisterProjection(projection::QueryDescriptor("failing", Definition(), 1),
                            std::make_unique<FailingRuntime>(fail_at, armed_))
        .value();
  }

  void AppendSynced(int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(Outcome(AppendJson(engine(), "s", {R"({"k":"k)" + std::to_string(i) + "\"}"},
                                   RequestDurability::kSync)),
                "ok");
    }
  }

  std::shared_ptr<bool> armed_ = std::make_shared<bool>(true);
};

TEST_F(FailingViewTest, ARuntimeFailingAtRecordNLeavesItsPartitionFailedUntilRebuildOrReopen) {
  const QueryHandle handle = RegisterFailing(5);
  AppendSynced(10);
  const std::string failed =
      "projection_not_ready: projection status is Failed { cursor: ProjectionCursor { "
      "database_id: ";
  EngineResult<QueryResult> answer = engine().Query(handle, LenQuery{});
  ASSERT_FALSE(answer.ok());
  EXPECT_TRUE(answer.error().ToString().starts_with(failed)) << answer.error().ToString();

  const ProjectionDescriptor descriptor = projection::QueryDescriptor("failing", Definition(), 1);
  const PartitionStatus partition = engine().PartitionStatuses(handle).value()[0];
  const projection::ProjectionFailure boom{"boom", "record 5"};
  EXPECT_EQ(partition, PartitionStatus::Failed(
                           projection::CursorAt(partition.cursor.database_id, descriptor, 0), boom));
  EXPECT_EQ(engine().QueryStatus(handle).value(),
            ProjectionStatus::Failed(partition.cursor, boom));
  EXPECT_EQ(answer.error().message(),
            "projection status is " + engine().QueryStatus(handle).value().DebugString());
  EXPECT_TRUE(answer.error().message().ends_with(
      "error: ProjectionFailure { code: \"boom\", message: \"record 5\" } }"));

  AppendSynced(2);  // later appends leave it failed
  EXPECT_EQ(engine().PartitionStatuses(handle).value()[0], partition);
  EXPECT_EQ(Outcome(engine().Query(handle, LenQuery{}, QueryConsistency::Available())), "ok");
  EXPECT_EQ(Outcome(engine().CreateSnapshot(handle)),
            "projection_not_ready: only a ready projection can be snapshotted");

  *armed_ = false;
  ASSERT_EQ(Outcome(engine().RebuildProjection(handle)), "ok");
  EXPECT_EQ(engine().Query(handle, LenQuery{}).value().total, 10u);

  *armed_ = true;
  ASSERT_EQ(Outcome(engine().RebuildProjection(handle)), "ok");
  EXPECT_FALSE(engine().Query(handle, LenQuery{}).ok());
  engine_.reset();
  engine_.emplace(*testing::OpenEngine(dir_.path()));
  const QueryHandle reopened = engine().QueryNamed("failing").value();
  // Its runtime cannot be rebuilt from the log until registered again.
  EXPECT_TRUE(Outcome(engine().Query(reopened, LenQuery{}))
                  .starts_with("projection_not_ready: projection status is "));
  *armed_ = false;
  EXPECT_EQ(RegisterFailing(5), reopened);
  EXPECT_EQ(engine().Query(reopened, LenQuery{}).value().total, 10u);
}

TEST_F(FailingViewTest, AnEventNotYetDurableIsInvisibleUntilItsCommit) {
  *armed_ = false;
  const QueryHandle handle = engine().RegisterQuery("v", Definition()).value();
  ASSERT_EQ(Outcome(AppendJson(engine(), "s", {R"({"k":"a"})"}, RequestDurability::kBuffered)),
            "ok");
  EXPECT_EQ(engine().Query(handle, LenQuery{}).value().total, 0u);
  ASSERT_EQ(Outcome(engine().Commit()), "ok");
  EXPECT_EQ(engine().Query(handle, LenQuery{}).value().total, 1u);
  EXPECT_EQ(Outcome(engine().Query(handle, LenQuery{}, QueryConsistency::AtLeast(2))),
            "projection_not_ready: projection status is " +
                engine().QueryStatus(handle).value().DebugString());
}

// A snapshot states the cursor of its partitions: a cursor set back below
// what the state has applied would make a restore count newer documents as
// older ones.
TEST_F(FailingViewTest, AnAtLeastQueryNeverMovesACursorBack) {
  *armed_ = false;
  const QueryHandle handle = engine().RegisterQuery("v", Definition()).value();
  AppendSynced(5);
  ASSERT_EQ(engine().Query(handle, LenQuery{}).value().total, 5u);
  ASSERT_EQ(engine().Query(handle, LenQuery{}, QueryConsistency::AtLeast(2)).value().total, 5u);
  EXPECT_EQ(engine().QueryStatus(handle).value().cursor.position, 5u);
  EXPECT_EQ(engine().CreateSnapshot(handle).value().manifest.cursor.position, 5u);
}

TEST_F(FailingViewTest, PartitionQueriesAndPartitionSnapshots) {
  const QueryHandle handle = engine().RegisterQuery("p", Definition(), 4).value();
  for (int stream = 0; stream < 8; ++stream) {
    ASSERT_EQ(Outcome(AppendJson(engine(), "s" + std::to_string(stream),
                                 {R"({"k":"k)" + std::to_string(stream) + "\"}"},
                                 RequestDurability::kSync)),
              "ok");
  }
  // Healing one partition answers from the whole runtime: its documents only, so far.
  const QueryResult one = engine().QueryPartitions(handle, {2}, LenQuery{}).value();
  EXPECT_GT(one.total, 0u);
  EXPECT_LT(one.total, 8u);
  const std::vector<PartitionStatus> partitions = engine().PartitionStatuses(handle).value();
  EXPECT_EQ(partitions[2].kind, PartitionStatus::Kind::kReady);
  EXPECT_EQ(partitions[0].kind, PartitionStatus::Kind::kCold);
  EXPECT_EQ(Outcome(engine().CreatePartitionSnapshot(handle, 0)), "ok");  // healed first
  EXPECT_EQ(Outcome(engine().CreatePartitionSnapshot(handle, 4)),
            "invalid_argument: query partition set is empty or out of range");
  const SnapshotInfo two = engine().CreatePartitionSnapshot(handle, 2).value();
  EXPECT_EQ(two.manifest.format_version, 2u);
  EXPECT_EQ(two.manifest.partition, 2u);
  EXPECT_EQ(two.manifest.partition_count, 4u);
  EXPECT_EQ(two.manifest.cursor.position, 8u);

  const SnapshotInfo last = engine().CreateSnapshot(handle).value();
  EXPECT_EQ(last.manifest.partition, 3u);
  EXPECT_EQ(engine().ListSnapshots(handle).value().size(), 6u);  // two of 0 and 2, one of 1, 3
  EXPECT_EQ(engine().Query(handle, LenQuery{}).value().total, 8u);
}

TEST_F(FailingViewTest, RegistrationRulesAndDrops) {
  EXPECT_EQ(Outcome(engine().RegisterQuery("v", QueryDefinition{})),
            "invalid_argument: query key field is empty");
  for (uint32_t count : {0u, 4097u}) {
    EXPECT_EQ(Outcome(engine().RegisterQuery("v", Definition(), count)),
              "invalid_argument: partition count must be between 1 and 4096");
  }
  QueryDefinition deep = Definition();
  deep.filter = projection::QueryFilter{"f", std::string(300, '[') + std::string(300, ']')};
  EXPECT_EQ(Outcome(engine().RegisterQuery("deep", deep)),
            Outcome(AppendJson(engine(), "s", {deep.filter->value}, RequestDurability::kSync)));
  const QueryHandle first = engine().RegisterQuery("v", Definition()).value();
  EXPECT_EQ(engine().RegisterQuery("v", Definition()).value(), first);
  QueryDefinition changed = Definition();
  changed.indexes.clear();
  EXPECT_EQ(engine().RegisterQuery("v", changed).value(), first);
  EXPECT_EQ(Outcome(engine().Query(first, ByQuery{"by_v", "1"})),
            "projection: index_not_found: by_v");
  EXPECT_EQ(engine().RemoveQuery("v").value(), true);
  EXPECT_EQ(engine().RemoveQuery("v").value(), false);
  EXPECT_EQ(Outcome(engine().QueryNamed("v")), "not_found: query handle was not found");
  EXPECT_EQ(Outcome(engine().Query(first, LenQuery{})), "not_found: query handle was not found");
  EXPECT_EQ(Outcome(engine().QueryPartitions(engine().RegisterQuery("w", Definition()).value(),
                                             {1}, LenQuery{})),
            "invalid_argument: query partition set is empty or out of range");
}

TEST_F(FailingViewTest, ADropWhoseRecordFailsLeavesTheViewAsItWas) {
  using platform::Op;
  using platform::testing::Fault;
  const QueryHandle handle = engine().RegisterQuery("v", Definition()).value();
  AppendSynced(3);
  {
    platform::testing::ScopedFault fault(Op::kSync, 1, Fault::Error(EIO).Persistent(), ".seg");
    EXPECT_TRUE(Outcome(engine().RemoveQuery("v")).starts_with("io: "));
  }
  EXPECT_EQ(engine().QueryNamed("v").value(), handle);
  EXPECT_EQ(engine().Query(handle, LenQuery{}).value().total, 3u);
}

TEST(ViewSnapshotTest, AFailedAutomaticSnapshotIsAWarningAndTheAppendStands) {
  using platform::Op;
  using platform::testing::Fault;
  platform::TempDir dir;
  OpenConfig config = testing::ConfigFor(dir.path());
  config.snapshot_every_events = 1;
  std::optional<Engine> engine = testing::OpenEngine(config);
  ASSERT_TRUE(engine.has_value());
  const QueryHandle handle = engine->RegisterQuery("v", Definition()).value();
  ASSERT_EQ(engine->Query(handle, LenQuery{}).value().total, 0u);  // Ready: carried and snapshotted
  util::testing::CapturedWarnings warnings;
  {
    platform::testing::ScopedFault fault(Op::kCreateDir, 1, Fault::Error(EACCES).Persistent());
    EXPECT_EQ(Outcome(AppendJson(*engine, "s", {R"({"k":"a"})"}, RequestDurability::kSync)), "ok");
  }
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_TRUE(warnings.lines()[0].starts_with(
      "corvantine: automatic snapshot of view \"v\" failed: io: "))
      << warnings.lines()[0];
  EXPECT_EQ(engine->ListSnapshots(handle).value().size(), 0u);
  ASSERT_EQ(Outcome(AppendJson(*engine, "s", {R"({"k":"b"})"}, RequestDurability::kSync)), "ok");
  EXPECT_EQ(engine->ListSnapshots(handle).value().size(), 1u);
  EXPECT_EQ(engine->ListSnapshots(handle).value()[0].manifest.cursor.position, 2u);
}

// Of view "v" just opened: its partitions, its status's failure and the
// code of a query's answer.
std::string Opened(const Engine& engine) {
  const QueryHandle handle = engine.QueryNamed("v").value();
  const EngineResult<QueryResult> answer = engine.Query(handle, LenQuery{});
  return std::to_string(engine.PartitionStatuses(handle)->size()) + ", " +
         engine.QueryStatus(handle)->error.message + ", " +
         std::string(answer.ok() ? "ok" : answer.error().code());
}

// Registration refuses a partition count outside 1 to 4096. Read back, 0
// opens over one partition, and one above 4096 opens Failed with
// registration's error and no partition; only an unreadable one fails.
TEST(ViewOpenTest, ARegistrationReadBackOpensEvenOverACountRegistrationRefuses) {
  auto registration = [](uint32_t count) {
    return projection::ToJson(projection::DurableProjectionRegistration{
        projection::QueryDescriptor("v", Definition(), count), Definition()});
  };
  const struct {
    std::string payload;
    std::string outcome;  // the open's error, else Opened
  } cases[] = {{"{", "internal: projection descriptor: EOF while parsing an object at line 1 "
                     "column 1"},
               {registration(4097),
                "0, partition count must be between 1 and 4096, projection_not_ready"},
               {registration(0), "1, , ok"}};
  for (const auto& c : cases) {
    platform::TempDir dir;
    {
      auto db = db::Corvantine::OpenInternal(dir.path(), {}, std::nullopt);
      ASSERT_TRUE(db.ok());
      ASSERT_TRUE(
          (*db)->AppendSystemRecord(projection::kProjectionRegisteredEventType, c.payload).ok());
    }
    EngineResult<Engine> engine = Engine::Open(testing::ConfigFor(dir.path()));
    EXPECT_EQ(engine.ok() ? Opened(*engine) : engine.error().ToString(), c.outcome);
  }
}

}  // namespace
}  // namespace corvantine::facade
