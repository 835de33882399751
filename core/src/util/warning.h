// Warnings: what goes wrong without failing the operation, such as a torn
// tail cut off or a stray file ignored. Each is one line on standard error
// that begins "corvantine: ".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvantine::util {

// Writes "corvantine: " + line + "\n" to standard error in one write, so that
// warnings of several threads never interleave.
void Warn(std::string_view line);

namespace testing {

// While one exists, warnings of every thread are kept by it instead of
// written. Captures nest: the innermost one keeps them.
class CapturedWarnings {
 public:
  CapturedWarnings();
  ~CapturedWarnings();
  CapturedWarnings(const CapturedWarnings&) = delete;
  CapturedWarnings& operator=(const CapturedWarnings&) = delete;

  // The whole lines, "corvantine: " included and the newline left off, in
  // the order they were warned.
  std::vector<std::string> lines() const;

 private:
  friend void util::Warn(std::string_view line);

  CapturedWarnings* previous_;
  std::vector<std::string> lines_;  // guarded by the capture mutex
};

}  // namespace testing

}  // namespace corvantine::util
