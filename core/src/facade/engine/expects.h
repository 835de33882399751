// What every command that expects an answer carries, after its arguments:
// the sender of the caller's reply slot (facade/engine/command.h).
#pragma once

#include "facade/engine/channel.h"
#include "facade/engine/error.h"

namespace corvantine::facade::command {

template <typename T>
struct Expects {
  using Value = T;
  ReplySender<EngineResult<T>> reply;
};

}  // namespace corvantine::facade::command
