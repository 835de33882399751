// One method's claim on an object that methods may share or need alone,
// held across its engine calls, with the interpreter lock released in
// between. A claim that conflicts with one held in another thread fails at
// once with RuntimeError "Already mutably borrowed" (shared meets alone) or
// "Already borrowed" (alone meets any).
#pragma once

#include <Python.h>

namespace corvantine::python {

class Borrow {
 public:
  enum Mode { kShared, kAlone };

  // `borrows` counts the claims: > 0 sharing, -1 one alone.
  Borrow(int& borrows, Mode mode) {
    if (mode == kAlone ? borrows != 0 : borrows < 0) {
      PyErr_SetString(PyExc_RuntimeError,
                      mode == kAlone ? "Already borrowed" : "Already mutably borrowed");
      return;
    }
    borrows_ = &borrows;
    step_ = mode == kAlone ? -1 : 1;
    *borrows_ += step_;
  }
  ~Borrow() {
    if (borrows_ != nullptr) *borrows_ -= step_;
  }

  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  bool ok() const { return borrows_ != nullptr; }

 private:
  int* borrows_ = nullptr;
  int step_ = 0;
};

}  // namespace corvantine::python
