// Binding a call's arguments to a function's parameters, and converting the
// bound values, with the texts of the binding layer that users of this module
// know: "open() missing 1 required positional argument: 'path'",
// "argument 'start': 'NoneType' object cannot be interpreted as an integer",
// and the interpreter's OverflowError for an integer out of range.
//
// A parameter whose default is None takes None as "not given"; one with any
// other default refuses None with TypeError and takes its default only when
// left out.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvantine::python {

struct Parameters {
  const char* function;                // as messages show it: "open", "Corvantine.replay"
  std::span<const char* const> names;  // every parameter, in order
  size_t positional;                   // leading parameters that may come by position
  size_t required;                     // leading parameters without a default
};

// Binds a vectorcall's arguments: values[i] is the argument of parameter i,
// borrowed from the call, or null when it was left out. Fails with TypeError
// for too many positional arguments, an unknown keyword, a parameter given
// twice, or a required parameter left out.
bool Bind(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values);
// Binds a call whose one parameter is a str (a name or an id), copied.
bool BindOneStr(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::string* out);

// Conversions of one value, failing with the binding layer's texts. ToStr
// accepts str subclasses; its view is the object's own UTF-8, valid while
// the object lives. The integer conversions go through __index__, so they
// may run Python code.
bool ToStr(PyObject* value, std::string_view* out);
bool ToU64(PyObject* value, uint64_t* out);
bool ToU32(PyObject* value, uint32_t* out);
bool ToI64(PyObject* value, int64_t* out);
// A sequence other than a str (a list, a tuple, ...) of str, each copied. A
// str raises TypeError "Can't extract `str` to `Vec`", as the binding layer
// does, so that a lone name is not read as a list of letters.
bool ToStrSequence(PyObject* value, std::vector<std::string>* out);

// The conversions of a bound parameter: a TypeError is renamed
// "argument '{name}': ..." as the binding layer does. The Optional forms
// take a left-out parameter or None as nothing; the others take `fallback`
// for a left-out parameter and refuse None.
bool ArgStr(PyObject* value, const char* name, std::string_view* out);
bool ArgOptionalStr(PyObject* value, const char* name, std::optional<std::string_view>* out);
bool ArgU64(PyObject* value, const char* name, uint64_t fallback, uint64_t* out);
bool ArgOptionalU64(PyObject* value, const char* name, std::optional<uint64_t>* out);
bool ArgU32(PyObject* value, const char* name, uint32_t fallback, uint32_t* out);
bool ArgI64(PyObject* value, const char* name, int64_t* out);
bool ArgOptionalF64(PyObject* value, const char* name, std::optional<double>* out);
bool ArgList(PyObject* value, const char* name);
bool ArgDict(PyObject* value, const char* name);
// Exactly bytes or a bytes subclass: bytearray, memoryview and str are
// refused. The view is the object's own buffer, valid while it lives.
bool ArgBytes(PyObject* value, const char* name, std::string_view* out);

// ArgStr and ArgOptionalStr for text that reaches C calls that stop at a
// NUL byte (paths) or that names a stream: a NUL raises InvalidArgumentError
// "{name} must not contain NUL".
bool ArgText(PyObject* value, const char* name, std::string_view* out);
bool ArgOptionalText(PyObject* value, const char* name, std::optional<std::string_view>* out);

}  // namespace corvantine::python
