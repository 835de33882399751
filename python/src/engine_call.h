// One engine call as a method makes it: the call with the interpreter lock
// released, then, with the lock held again, the engine's error raised or the
// answer converted to a Python value.
#pragma once

#include <Python.h>

#include <utility>

#include "errors.h"
#include "gil.h"

namespace corvantine::python {

// The conversion of an answer not worth returning: None.
inline constexpr auto NoneReply = [](const auto&...) { return Py_NewRef(Py_None); };

// Raises `answer`'s error, or returns `convert` of its value; a call that
// answers with no value is converted by `convert()`.
template <typename Answer, typename Convert>
PyObject* RaiseOrConvert(Answer& answer, Convert& convert) {
  if (!answer.ok()) return RaiseEngineError(answer.error());
  if constexpr (requires { *answer; }) {
    return convert(*answer);
  } else {
    return convert();
  }
}

// `call` makes one engine call that may wait: the lock is released around it.
template <typename Call, typename Convert>
PyObject* CallEngine(Call&& call, Convert&& convert) {
  auto answer = WithoutGil(std::forward<Call>(call));
  return RaiseOrConvert(answer, convert);
}

// `call` makes one engine call that mostly answers within microseconds: the
// lock is released only for a longer wait (see WithGilWhileQuick).
template <typename Call, typename Convert>
PyObject* CallEngineQuick(Call&& call, Convert&& convert) {
  auto answer = WithGilWhileQuick(std::forward<Call>(call));
  return RaiseOrConvert(answer, convert);
}

}  // namespace corvantine::python
