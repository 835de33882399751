// How the fault tables and the power-loss recorder share the one hook of
// platform/hook.h: it is installed while any fault, counter or recorder is
// armed, and passes every call to both.
#pragma once

#include <string_view>

#include "platform/hook.h"

namespace corvantine::platform::testing::internal {

// The two sides of the hook; each returns at once when it has nothing armed.
Injection InterceptArmed(Op op, std::string_view path);  // fault.cc
void RecordArmed(const Change& change);                  // power_loss.cc

// Counted: the hook stays installed until every Attach has had its Detach.
void AttachHook();
void DetachHook();

}  // namespace corvantine::platform::testing::internal
