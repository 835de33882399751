#include "testing/hook.h"

#include <mutex>

namespace corvantine::platform::testing::internal {
namespace {

class TestingHook final : public CallHook {
 public:
  Injection Before(Op op, std::string_view path) override { return InterceptArmed(op, path); }
  void After(const Change& change) override { RecordArmed(change); }
};

// Initialised before any code runs and never destroyed, so a call that still
// sees the hook after it was removed finds it whole.
constinit TestingHook the_hook;

std::mutex attach_mu;
int attached = 0;  // under attach_mu

}  // namespace

void AttachHook() {
  std::lock_guard lock(attach_mu);
  if (attached++ == 0) InstallCallHook(&the_hook);
}

void DetachHook() {
  std::lock_guard lock(attach_mu);
  if (--attached == 0) InstallCallHook(nullptr);
}

}  // namespace corvantine::platform::testing::internal
