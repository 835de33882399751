#include "format/ids.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace corvantine::format {

namespace {

std::atomic<uint64_t> id_counter{1};

// getpid() is a system call on every id otherwise. The cache is cleared in a
// forked child, whose ids must carry its own process id.
std::atomic<uint32_t> cached_process_id{0};

void ForgetProcessId() { cached_process_id.store(0, std::memory_order_relaxed); }

uint32_t ProcessId() {
  static const bool forget_on_fork = pthread_atfork(nullptr, nullptr, ForgetProcessId) == 0;
  (void)forget_on_fork;
  uint32_t pid = cached_process_id.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<uint32_t>(getpid());
    cached_process_id.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string IdBytesToHex(const IdBytes& bytes) {
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (uint8_t byte : bytes) {
    hex.push_back(kHexDigits[byte >> 4]);
    hex.push_back(kHexDigits[byte & 0x0f]);
  }
  return hex;
}

std::optional<IdBytes> IdBytesFromHex(std::string_view hex) {
  IdBytes bytes;
  if (hex.size() != 2 * bytes.size()) return std::nullopt;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return bytes;
}

std::string IdBytesToJsonArray(const IdBytes& bytes) {
  std::string json = "[";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) json.push_back(',');
    json += std::to_string(bytes[i]);
  }
  json.push_back(']');
  return json;
}

uint64_t NextIdCounter() { return id_counter.fetch_add(1, std::memory_order_relaxed); }

uint64_t UnixNanos(std::chrono::system_clock::time_point time) {
  using std::chrono::duration_cast;
  const auto since_epoch = time.time_since_epoch();
  if (since_epoch.count() < 0) return 0;
  const auto seconds = duration_cast<std::chrono::seconds>(since_epoch);
  const auto subsecond = duration_cast<std::chrono::nanoseconds>(since_epoch - seconds);
  return static_cast<uint64_t>(seconds.count()) * 1'000'000'000u +
         static_cast<uint64_t>(subsecond.count());
}

IdBytes ComposeIdBytes(uint64_t unix_nanos, uint64_t counter, uint32_t process_id) {
  IdBytes bytes;
  char* out = reinterpret_cast<char*>(bytes.data());
  util::EncodeFixed64(out, unix_nanos);
  util::EncodeFixed64(out + 8, counter ^ (static_cast<uint64_t>(process_id) << 32));
  return bytes;
}

IdBytes GenerateIdBytes() {
  const uint64_t nanos = UnixNanos(std::chrono::system_clock::now());
  return ComposeIdBytes(nanos, NextIdCounter(), ProcessId());
}

}  // namespace corvantine::format
