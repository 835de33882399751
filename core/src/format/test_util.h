// Sample ids for the tests of any module that stores them.
#pragma once

#include <cstdint>

#include "format/ids.h"

namespace corvantine::format::testing {

// Sixteen copies of `byte`: an id whose every byte shows which sample it is.
inline IdBytes FilledId(uint8_t byte) {
  IdBytes id;
  id.fill(byte);
  return id;
}

}  // namespace corvantine::format::testing
