// The log against the plain system calls it is built on, on the same disk:
// appending batches of 200-byte events (no flush) against a pwrite loop of
// the same bytes in the same write sizes, and a full planned read (taking
// records with Next, then views with NextView) against a sequential pread of
// the same segment files. Prints one table of ratios.
//
// Runs in a fresh directory under ./build (or $CORVANTINE_BENCH_DIR), which
// it removes afterwards. Both sides read from the page cache. For profilers,
// $CORVANTINE_BENCH_DIVISOR divides every event count, and
// $CORVANTINE_BENCH_SEGMENT_BYTES sets the segment size target, so that rolls
// (each with a flush and the indexing of the retired segment) are measured.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "format/format.h"
#include "log/log.h"
#include "log/segment.h"
#include "platform/platform.h"

namespace {

using namespace corvantine;
using Clock = std::chrono::steady_clock;

constexpr size_t kPayloadBytes = 200;
// Large enough that no roll (with its flush and indexing) happens mid-measure.
constexpr uint64_t kMaxSegmentBytes = 4ull << 30;

// A positive integer from the environment, or `fallback` when it is unset.
uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  const uint64_t value = std::strtoull(text, nullptr, 10);
  if (value == 0) {
    std::fprintf(stderr, "log_bench: %s must be a positive integer\n", name);
    std::exit(1);
  }
  return value;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "log_bench: %s failed\n", what);
    std::exit(1);
  }
}

std::string MakeWorkDir() {
  const char* base = std::getenv("CORVANTINE_BENCH_DIR");
  std::string pattern = std::string(base ? base : "build") + "/log-bench-XXXXXX";
  Check(platform::CreateDirs(base ? base : "build").ok(), "creating the bench directory");
  Check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  return pattern;
}

std::vector<log::segment::BatchRecord> MakeBatch(const format::DatabaseId& database, size_t events,
                                            const std::string& payload) {
  std::vector<log::segment::BatchRecord> batch(events);
  const format::BatchId batch_id(format::GenerateIdBytes());
  for (size_t i = 0; i < events; ++i) {
    format::RecordEnvelopeV2& envelope = batch[i].envelope;
    envelope.event_id = format::EventId(format::GenerateIdBytes());
    envelope.database_id = database;
    envelope.stream_id = format::StreamId(format::GenerateIdBytes());
    envelope.batch_id = batch_id;
    envelope.batch_index = static_cast<uint32_t>(i);
    envelope.timestamp_unix_nanos = 1'700'000'000'000'000'000;
    envelope.payload_format = 0x80000001;
    envelope.metadata.emplace(format::kStreamNameKey, "orders-0042");
    batch[i].payload = payload;
  }
  return batch;
}

struct AppendFigures {
  double seconds = 0;
  uint64_t bytes = 0;
  uint64_t frames = 0;
  std::vector<uint64_t> write_sizes;
};

AppendFigures AppendToLog(log::Log& log, size_t batch_events, uint64_t total_events) {
  const std::string payload(kPayloadBytes, 'j');
  const auto batch = MakeBatch(log.database_id(), batch_events, payload);
  AppendFigures figures;
  figures.write_sizes.reserve(total_events / batch_events);
  const auto start = Clock::now();
  for (uint64_t written = 0; written < total_events; written += batch_events) {
    const uint64_t before = log.active_segment().byte_length();
    Check(log.AppendBatch(batch).ok(), "append");
    const uint64_t after = log.active_segment().byte_length();
    // A roll starts the new segment from zero.
    figures.write_sizes.push_back(after > before ? after - before : after);
  }
  figures.seconds = Seconds(start);
  for (uint64_t size : figures.write_sizes) figures.bytes += size;
  figures.frames = total_events + 2 * figures.write_sizes.size();
  return figures;
}

double PwriteLoop(const std::string& path, const std::vector<uint64_t>& write_sizes) {
  uint64_t largest = 0;
  for (uint64_t size : write_sizes) largest = std::max(largest, size);
  const std::string buffer(largest, 'x');
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  Check(fd >= 0, "open for the pwrite loop");
  uint64_t offset = 0;
  const auto start = Clock::now();
  for (uint64_t size : write_sizes) {
    Check(::pwrite(fd, buffer.data(), size, static_cast<off_t>(offset)) ==
              static_cast<ssize_t>(size),
          "pwrite");
    offset += size;
  }
  const double seconds = Seconds(start);
  ::close(fd);
  return seconds;
}

// How a read takes its records: Next makes each record's envelope; NextView
// hands out frames decoded in place.
enum class ReadCall { kNext, kNextView };

// Whether the reader handed out one more record.
bool ReadOne(log::reader::LogReader& reader, ReadCall call) {
  if (call == ReadCall::kNext) {
    auto next = reader.Next();
    Check(next.ok(), "planned read");
    return next->has_value();
  }
  auto next = reader.NextView();
  Check(next.ok(), "planned read");
  return *next != nullptr;
}

std::pair<double, uint64_t> ScanLog(const log::Log& log, ReadCall call) {
  log::reader::ResolvedFilter filter;
  filter.to = log.head();
  log::reader::LogReader reader = log.PlanReader(filter);
  uint64_t records = 0;
  const auto start = Clock::now();
  while (ReadOne(reader, call)) ++records;
  return {Seconds(start), records};
}

double PreadFiles(const std::vector<std::string>& paths) {
  std::vector<char> buffer(128 << 10);
  const auto start = Clock::now();
  for (const std::string& path : paths) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Check(fd >= 0, "open for pread");
    off_t offset = 0;
    for (;;) {
      const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
      Check(n >= 0, "pread");
      if (n == 0) break;
      offset += n;
    }
    ::close(fd);
  }
  return Seconds(start);
}

void PrintAppendRow(const char* name, const AppendFigures& log_figures, double plain_seconds) {
  const double mb = static_cast<double>(log_figures.bytes) / 1e6;
  std::printf("%-28s %9.0f MB/s %11.0f frames/s   pwrite %6.0f MB/s   ratio %.2fx\n", name,
              mb / log_figures.seconds, log_figures.frames / log_figures.seconds,
              mb / plain_seconds, log_figures.seconds / plain_seconds);
}

}  // namespace

int main() {
  const uint64_t divisor = EnvOr("CORVANTINE_BENCH_DIVISOR", 1);
  const uint64_t max_segment_bytes = EnvOr("CORVANTINE_BENCH_SEGMENT_BYTES", kMaxSegmentBytes);
  const std::string dir = MakeWorkDir();
  std::printf("log_bench in %s (200-byte payloads, no flush; ratio = log time / plain time)\n",
              dir.c_str());
  struct Case {
    const char* name;
    size_t batch_events;
    uint64_t total_events;
  };
  const Case cases[] = {{"append, batches of 1", 1, 200'000 / divisor},
                        {"append, batches of 100", 100, 1'000'000 / divisor}};
  std::string scanned_dir;
  for (const Case& c : cases) {
    const std::string db_dir = dir + "/" + std::to_string(c.batch_events);
    auto log = log::Log::OpenInternal(db_dir, max_segment_bytes, 0);
    Check(log.ok(), "open");
    const AppendFigures figures = AppendToLog(**log, c.batch_events, c.total_events);
    const double plain = PwriteLoop(dir + "/plain-" + std::to_string(c.batch_events),
                                    figures.write_sizes);
    PrintAppendRow(c.name, figures, plain);
    scanned_dir = db_dir;
  }

  auto log = log::Log::OpenInternal(scanned_dir, max_segment_bytes, 0);
  Check(log.ok(), "reopen");
  std::vector<std::string> paths;
  for (const auto& closed : (*log)->closed_segments()) paths.push_back(closed.path);
  paths.push_back((*log)->active_segment().path());
  PreadFiles(paths);  // warm the page cache for both sides
  uint64_t bytes = 0;
  for (const std::string& path : paths) bytes += *platform::FileSizeOf(path);
  const double mb = static_cast<double>(bytes) / 1e6;
  const struct {
    const char* name;
    ReadCall call;
  } reads[] = {{"full planned read", ReadCall::kNext},
               {"full planned read, views", ReadCall::kNextView}};
  for (const auto& read : reads) {
    const auto [scan_seconds, records] = ScanLog(**log, read.call);
    const double pread_seconds = PreadFiles(paths);
    std::printf("%-28s %9.0f MB/s %11.0f records/s pread  %6.0f MB/s   ratio %.2fx\n", read.name,
                mb / scan_seconds, records / scan_seconds, mb / pread_seconds,
                scan_seconds / pread_seconds);
  }
  log->reset();
  Check(platform::RemoveAll(dir).ok(), "cleanup");
  return 0;
}
