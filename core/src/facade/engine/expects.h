// What every command that expects an answer carries, after its arguments:
// the sender of the caller's reply slot (facade/engine/command.h).
#pragma once

#include "facade/engine/channel.h"
#include "facade/engine/error.h"

namespace corvantine::facade::command {

// A command answered with a T or an E.
template <typename T, typename E = EngineError>
struct Expects {
  using Reply = error::Expected<T, E>;
  ReplySender<Reply> reply;
};

}  // namespace corvantine::facade::command
