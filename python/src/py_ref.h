// Owned references to Python objects. Every function of this module that
// takes a reference it must give back holds it in a Ref, so no early return
// can leak it; a null Ref is how a failed C API call reports the exception it
// has already set. A Ref must only be destroyed while the interpreter lock is
// held.
#pragma once

#include <Python.h>

#include <utility>

namespace corvantine::python {

class Ref {
 public:
  Ref() = default;

  // Takes over a new reference; null stays null.
  static Ref Steal(PyObject* object) { return Ref(object); }
  // Adds a reference to a borrowed object, so that it outlives any Python
  // code that might drop the container it was borrowed from.
  static Ref Borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.Release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::exchange(object_, other.Release()));
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Gives the reference up to the caller, e.g. to return it to Python.
  PyObject* Release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace corvantine::python
