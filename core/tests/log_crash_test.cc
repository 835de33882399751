// Kills a process that appends to the log at random moments and checks that
// what it reported durable survives, with dense positions and no partial
// batch left behind.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "log/log.h"
#include "platform/platform.h"
#include "testing/test_util.h"

namespace corvantine::log {
namespace {

constexpr uint64_t kMaxSegmentBytes = 4096;  // small, so the child rolls often

std::string PayloadAt(uint64_t position) { return fmt::format("payload of {}", position); }

// The child: appends batches of 1 to 8 events for ever, flushing each and
// then reporting its last position through `report_fd`. Never returns.
[[noreturn]] void AppendUntilKilled(const std::string& dir, int report_fd, uint32_t seed) {
  Result<std::unique_ptr<Log>> log = Log::OpenInternal(dir, kMaxSegmentBytes, 0);
  if (!log.ok()) _exit(1);
  std::mt19937 rng(seed);
  for (;;) {
    const uint64_t first = (*log)->head();
    const uint32_t count = 1 + rng() % 8;
    std::vector<std::string> payloads;
    std::vector<segment::BatchRecord> records;
    for (uint32_t i = 0; i < count; ++i) payloads.push_back(PayloadAt(first + i));
    for (uint32_t i = 0; i < count; ++i) {
      format::RecordEnvelopeV2 envelope;
      envelope.batch_index = i;
      records.push_back({envelope, payloads[i]});
    }
    Result<std::pair<uint64_t, uint64_t>> appended = (*log)->AppendBatch(records);
    if (!appended.ok() || !(*log)->SyncActive().ok()) _exit(2);
    const uint64_t last = appended->second;
    if (write(report_fd, &last, sizeof last) != sizeof last) _exit(3);
  }
}

// Collects the child's reports until `deadline`, and past it until its first
// report when `await_report` is set, then kills it and collects what was
// reported before it died. Returns the highest synced position + 1.
uint64_t KillAt(pid_t child, int report_fd, std::chrono::steady_clock::time_point deadline,
                bool await_report) {
  uint64_t synced_head = 0;
  auto drain = [&](int timeout_ms) {
    pollfd poll_fd{report_fd, POLLIN, 0};
    if (poll(&poll_fd, 1, timeout_ms) <= 0) return false;
    uint64_t last;
    if (read(report_fd, &last, sizeof last) != sizeof last) return false;  // end of reports
    synced_head = last + 1;
    return true;
  };
  while (std::chrono::steady_clock::now() < deadline) drain(1);
  if (await_report && synced_head == 0) drain(-1);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the child ended by itself with status " << status;
  while (drain(0)) {
  }
  return synced_head;
}

// Reopens the log after the crash and checks it against what was synced.
void ExpectRecovered(const std::string& dir, uint64_t synced_head) {
  // The dead child still holds the lock, as far as the file says, unless it
  // died before taking it.
  ASSERT_TRUE(platform::RemoveAll(platform::JoinPath(dir, lock::kLockFileName)).ok());
  ::testing::internal::CaptureStderr();  // truncation warnings
  Result<std::unique_ptr<Log>> opened = Log::OpenInternal(dir, kMaxSegmentBytes, 0);
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(opened.ok()) << opened.error().ToString();
  const Log& log = **opened;
  EXPECT_GE(log.head(), synced_head);

  reader::ResolvedFilter verifying;
  verifying.verify_batch_digest = true;
  reader::LogReader reader = log.PlanReader(verifying);
  uint64_t expected = 0;
  for (;;) {
    Result<std::optional<format::OwnedStoredRecord>> next = reader.NextOwned();
    ASSERT_TRUE(next.ok()) << next.error().ToString();
    if (!*next) break;
    ASSERT_EQ((*next)->position, expected);
    ASSERT_EQ((*next)->payload, PayloadAt(expected));
    ++expected;
  }
  EXPECT_EQ(expected, log.head());
  // The tail was cut back to the last whole batch.
  EXPECT_EQ(*platform::FileSizeOf(log.active_segment().path()),
            log.active_segment().byte_length());
}

TEST(LogCrashTest, SyncedBatchesSurviveSigkill) {
  platform::TempDir dir;
  std::random_device seeds;
  const uint32_t seed = seeds();
  SCOPED_TRACE(fmt::format("seed {}", seed));
  std::mt19937 rng(seed);
  uint64_t synced_head = 0;
  constexpr int kIterations = 20;
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    SCOPED_TRACE(fmt::format("iteration {}", iteration));
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const uint32_t child_seed = rng();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_fds[0]);
      AppendUntilKilled(dir.path(), pipe_fds[1], child_seed);
    }
    close(pipe_fds[1]);
    // From 0, so that some children die while they create the directory;
    // the last lives to sync a batch however slow the machine is.
    const auto lifetime = std::chrono::milliseconds(rng() % 100);
    const uint64_t reported = KillAt(child, pipe_fds[0],
                                     std::chrono::steady_clock::now() + lifetime,
                                     iteration == kIterations - 1);
    close(pipe_fds[0]);
    synced_head = std::max(synced_head, reported);
    ASSERT_NO_FATAL_FAILURE(ExpectRecovered(dir.path(), synced_head));
  }
  EXPECT_GT(synced_head, 0u);
}

}  // namespace
}  // namespace corvantine::log
