#include "util/warning.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace corvantine::util {

namespace {

// Warnings are rare, so one mutex for the capture costs nothing.
std::mutex capture_mutex;
testing::CapturedWarnings* capture = nullptr;  // guarded by capture_mutex

}  // namespace

void Warn(std::string_view line) {
  std::string text = "corvantine: ";
  text.append(line);
  {
    std::lock_guard<std::mutex> lock(capture_mutex);
    if (capture != nullptr) {
      capture->lines_.push_back(std::move(text));
      return;
    }
  }
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
}

namespace testing {

CapturedWarnings::CapturedWarnings() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  previous_ = std::exchange(capture, this);
}

CapturedWarnings::~CapturedWarnings() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  capture = previous_;
}

std::vector<std::string> CapturedWarnings::lines() const {
  std::lock_guard<std::mutex> lock(capture_mutex);
  return lines_;
}

}  // namespace testing

}  // namespace corvantine::util
