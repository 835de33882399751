// Helpers for the tests of the engine and of the suites built on it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/db.h"
#include "db/test_util.h"
#include "facade/engine/engine.h"
#include "log/lock.h"
#include "log/log.h"
#include "platform/platform.h"
#include "testing/test_util.h"

namespace corvantine::facade::testing {

// "ok", or the error as callers display it: "{code}: {message}".
template <typename T, typename E>
std::string Outcome(const error::Expected<T, E>& result) {
  return result.ok() ? "ok" : result.error().ToString();
}

inline OpenConfig ConfigFor(const std::string& path) {
  OpenConfig config;
  config.path = path;
  return config;
}

// An open engine, or nothing with a test failure.
inline std::optional<Engine> OpenEngine(OpenConfig config) {
  EngineResult<Engine> engine = Engine::Open(std::move(config));
  if (!engine.ok()) {
    ADD_FAILURE() << "open failed: " << engine.error().ToString();
    return std::nullopt;
  }
  return std::move(engine).value();
}

inline std::optional<Engine> OpenEngine(const std::string& path) {
  return OpenEngine(ConfigFor(path));
}

// A test with an engine open on a fresh directory.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<Engine> engine = OpenEngine(dir_.path());
    ASSERT_TRUE(engine.has_value());
    engine_.emplace(std::move(*engine));
  }

  const Engine& engine() const { return *engine_; }

  platform::TempDir dir_;
  std::optional<Engine> engine_;
};

inline AppendBatch Batch(std::string stream, std::vector<EventData> events,
                         stream::ExpectedRevision expected = {}) {
  AppendBatch batch;
  batch.stream = std::move(stream);
  batch.events = std::move(events);
  batch.expected_revision = expected;
  return batch;
}

// One JSON event appended to `stream`, buffered.
inline EngineResult<AppendReceiptDto> AppendOne(const Engine& engine, std::string stream,
                                                std::string body = "{}",
                                                stream::ExpectedRevision expected = {}) {
  std::vector<EventData> events;
  events.push_back(EventData::Json(std::move(body)));
  return engine.Append(Batch(std::move(stream), std::move(events), expected));
}

inline ReaderRequest ReadFrom(uint64_t start, std::optional<uint64_t> end = {},
                              uint32_t page_events = 4096, uint64_t page_bytes = 16 << 20) {
  ReaderRequest request;
  request.start = start;
  request.end = end;
  request.page_events = page_events;
  request.page_bytes = page_bytes;
  return request;
}

// Every page of a new reader until it is done; a test failure when it is not
// done after `max_pages` pages or a call fails.
inline std::vector<ReplayPage> ReadPages(const Engine& engine, ReaderRequest request,
                                         int max_pages = 100000) {
  std::vector<ReplayPage> pages;
  EngineResult<ReaderHandle> reader = engine.OpenReader(std::move(request));
  if (!reader.ok()) {
    ADD_FAILURE() << "open reader failed: " << reader.error().ToString();
    return pages;
  }
  for (int i = 0; i < max_pages; ++i) {
    EngineResult<ReplayPage> page = engine.NextPage(*reader);
    if (!page.ok()) {
      ADD_FAILURE() << "next page failed: " << page.error().ToString();
      return pages;
    }
    pages.push_back(std::move(page).value());
    if (pages.back().done) {
      EXPECT_EQ(Outcome(engine.CloseReader(*reader)), "ok");
      return pages;
    }
  }
  ADD_FAILURE() << "reader not done after " << max_pages << " pages";
  return pages;
}

inline std::vector<RecordDto> ReadAll(const Engine& engine, ReaderRequest request) {
  std::vector<RecordDto> records;
  for (ReplayPage& page : ReadPages(engine, std::move(request))) {
    for (RecordDto& record : page.records) records.push_back(std::move(record));
  }
  return records;
}

// The size of each segment file of the database at `path`, by base.
inline std::map<uint64_t, uint64_t> SegmentSizes(const std::string& path) {
  std::map<uint64_t, uint64_t> sizes;
  const std::vector<log::SegmentMeta> segments =
      log::DiscoverSegments(platform::JoinPath(path, log::kLogDirName)).value();
  for (const log::SegmentMeta& segment : segments) {
    sizes[segment.base] = platform::FileSizeOf(segment.path).value();
  }
  return sizes;
}

inline bool LockFileExists(const std::string& path) {
  return platform::PathExists(platform::JoinPath(path, log::lock::kLockFileName));
}

// Publishes, through the database layer, the anchor of `db` at its durable
// head for `floor`, holding `consumer_bootstraps`. A failure fails the test.
inline void PublishAnchor(db::Corvantine& db, uint64_t floor,
                          std::vector<retention::RetentionConsumerBootstrap> consumer_bootstraps) {
  retention::CoreRetentionAnchor anchor = db::testing::AnchorOf(db, floor);
  anchor.consumer_bootstraps = std::move(consumer_bootstraps);
  Result<retention::RetentionAnchorInfo> published = db.PublishRetentionAnchor(std::move(anchor));
  ASSERT_TRUE(published.ok()) << published.error().ToString();
}

// Moves the retention floor of `db` up to `floor`, a segment base, with an
// anchor that holds `consumer_bootstraps`: the segments below it are gone.
// A failure fails the test.
inline void Retain(db::Corvantine& db, uint64_t floor,
                   std::vector<retention::RetentionConsumerBootstrap> consumer_bootstraps) {
  ASSERT_NO_FATAL_FAILURE(PublishAnchor(db, floor, std::move(consumer_bootstraps)));
  Result<db::RetentionPlan> plan = db.PlanRetention(floor);
  ASSERT_TRUE(plan.ok()) << plan.error().ToString();
  ASSERT_EQ(plan->effective_floor, floor);
  ASSERT_TRUE(plan->blockers.empty());
  Result<db::RetentionApplyResult> applied =
      db.ApplyRetentionPrevalidated(plan->effective_floor, plan->durable_head);
  ASSERT_TRUE(applied.ok()) << applied.error().ToString();
}

// Retain on the database in `path`, which no engine holds open, as an
// engine with one segment per batch writes it.
inline void Retain(const std::string& path, uint64_t floor,
                   std::vector<retention::RetentionConsumerBootstrap> consumer_bootstraps) {
  std::unique_ptr<db::Corvantine> db = db::testing::OpenDb(path, {}, /*max_segment_bytes=*/1);
  ASSERT_NE(db, nullptr);
  Retain(*db, floor, std::move(consumer_bootstraps));
}

}  // namespace corvantine::facade::testing
