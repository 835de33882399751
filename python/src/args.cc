#include "args.h"

#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "errors.h"
#include "py_ref.h"

namespace corvantine::python {

namespace {

bool RaiseTypeError(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// 'a', 'a' and 'b', 'a', 'b', and 'c'.
std::string QuotedList(const std::vector<const char*>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += fmt::format("'{}'", names[i]);
  }
  return text;
}

bool TooManyPositional(const Parameters& parameters, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (parameters.required != parameters.positional) {
    return RaiseTypeError(
        fmt::format("{}() takes from {} to {} positional arguments but {} {} given",
                    parameters.function, parameters.required, parameters.positional, given, was));
  }
  return RaiseTypeError(fmt::format("{}() takes {} positional arguments but {} {} given",
                                    parameters.function, parameters.positional, given, was));
}

bool MissingRequired(const Parameters& parameters, PyObject** values) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < parameters.required; ++i) {
    if (values[i] == nullptr) missing.push_back(parameters.names[i]);
  }
  if (missing.empty()) return true;
  return RaiseTypeError(fmt::format("{}() missing {} required positional argument{}: {}",
                                    parameters.function, missing.size(),
                                    missing.size() == 1 ? "" : "s", QuotedList(missing)));
}

bool BindKeyword(const Parameters& parameters, PyObject* name, PyObject* value, PyObject** values) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return false;
  const std::string_view key(text, static_cast<size_t>(size));
  const auto found = std::find(parameters.names.begin(), parameters.names.end(), key);
  if (found == parameters.names.end()) {
    return RaiseTypeError(
        fmt::format("{}() got an unexpected keyword argument '{}'", parameters.function, key));
  }
  PyObject*& slot = values[found - parameters.names.begin()];
  if (slot != nullptr) {
    return RaiseTypeError(
        fmt::format("{}() got multiple values for argument '{}'", parameters.function, key));
  }
  slot = value;
  return true;
}

// The type is held: a metaclass's attribute lookup may run Python code that
// drops the last reference to `value`.
std::string TypeName(PyObject* value) {
  Ref type = Ref::Borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  Ref name = Ref::Steal(PyObject_GetAttrString(type.get(), "__qualname__"));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return text;
}

bool RaiseCannotConvert(PyObject* value, const char* target) {
  return RaiseTypeError(
      fmt::format("'{}' object cannot be converted to '{}'", TypeName(value), target));
}

// Renames a TypeError as the binding layer does for an argument; any other
// error stays as it is. Returns false for the caller to return.
bool NameArgument(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  Ref owned_type = Ref::Steal(type);
  Ref owned_value = Ref::Steal(value);
  Ref owned_traceback = Ref::Steal(traceback);
  Ref text = Ref::Steal(PyObject_Str(owned_value.get()));
  if (text) PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  return false;
}

bool RefuseNul(std::string_view text, const char* name) {
  if (text.find('\0') == std::string_view::npos) return true;
  RaiseInvalidArgument(fmt::format("{} must not contain NUL", name).c_str());
  return false;
}

}  // namespace

bool Bind(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values) {
  std::fill_n(values, parameters.names.size(), nullptr);
  if (static_cast<size_t>(nargs) > parameters.positional) {
    return TooManyPositional(parameters, nargs);
  }
  std::copy_n(args, nargs, values);
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (!BindKeyword(parameters, PyTuple_GetItem(kwnames, i), args[nargs + i], values)) {
      return false;
    }
  }
  return MissingRequired(parameters, values);
}

bool BindOneStr(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::string* out) {
  PyObject* values[1];
  std::string_view text;
  if (!Bind(parameters, args, nargs, kwnames, values) ||
      !ArgStr(values[0], parameters.names[0], &text)) {
    return false;
  }
  out->assign(text);
  return true;
}

bool ToStr(PyObject* value, std::string_view* out) {
  if (!PyUnicode_Check(value)) return RaiseCannotConvert(value, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  *out = std::string_view(text, static_cast<size_t>(size));
  return true;
}

bool ToU64(PyObject* value, uint64_t* out) {
  Ref index;
  if (!PyLong_Check(value)) {
    index = Ref::Steal(PyNumber_Index(value));
    if (!index) return false;
    value = index.get();
  }
  const unsigned long long number = PyLong_AsUnsignedLongLong(value);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = number;
  return true;
}

bool ToU32(PyObject* value, uint32_t* out) {
  const long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return false;
  if (number < 0 || number > static_cast<long>(UINT32_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint32_t>(number);
  return true;
}

bool ToI64(PyObject* value, int64_t* out) {
  Ref index = Ref::Steal(PyNumber_Index(value));
  if (!index) return false;
  const long long number = PyLong_AsLongLong(index.get());
  if (number == -1 && PyErr_Occurred()) return false;
  *out = number;
  return true;
}

bool ToStrSequence(PyObject* value, std::vector<std::string>* out) {
  if (PyUnicode_Check(value)) return RaiseTypeError("Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) return RaiseCannotConvert(value, "Sequence");
  Ref items = Ref::Steal(PyObject_GetIter(value));
  if (!items) return false;
  out->clear();
  while (Ref item = Ref::Steal(PyIter_Next(items.get()))) {
    std::string_view text;
    if (!ToStr(item.get(), &text)) return false;
    out->emplace_back(text);
  }
  return !PyErr_Occurred();
}

bool ArgStr(PyObject* value, const char* name, std::string_view* out) {
  return ToStr(value, out) || NameArgument(name);
}

bool ArgOptionalStr(PyObject* value, const char* name, std::optional<std::string_view>* out) {
  if (value == nullptr || value == Py_None) {
    out->reset();
    return true;
  }
  return ArgStr(value, name, &out->emplace());
}

bool ArgU64(PyObject* value, const char* name, uint64_t fallback, uint64_t* out) {
  if (value == nullptr) {
    *out = fallback;
    return true;
  }
  return ToU64(value, out) || NameArgument(name);
}

bool ArgOptionalU64(PyObject* value, const char* name, std::optional<uint64_t>* out) {
  if (value == nullptr || value == Py_None) {
    out->reset();
    return true;
  }
  return ArgU64(value, name, 0, &out->emplace());
}

bool ArgU32(PyObject* value, const char* name, uint32_t fallback, uint32_t* out) {
  if (value == nullptr) {
    *out = fallback;
    return true;
  }
  return ToU32(value, out) || NameArgument(name);
}

bool ArgI64(PyObject* value, const char* name, int64_t* out) {
  return ToI64(value, out) || NameArgument(name);
}

bool ArgOptionalF64(PyObject* value, const char* name, std::optional<double>* out) {
  if (value == nullptr || value == Py_None) {
    out->reset();
    return true;
  }
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return NameArgument(name);
  *out = number;
  return true;
}

bool ArgList(PyObject* value, const char* name) {
  return PyList_Check(value) || RaiseCannotConvert(value, "PyList") || NameArgument(name);
}

bool ArgDict(PyObject* value, const char* name) {
  return PyDict_Check(value) || RaiseCannotConvert(value, "PyDict") || NameArgument(name);
}

bool ArgBytes(PyObject* value, const char* name, std::string_view* out) {
  if (!PyBytes_Check(value)) return RaiseCannotConvert(value, "PyBytes") || NameArgument(name);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &data, &size) < 0) return false;
  *out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool ArgText(PyObject* value, const char* name, std::string_view* out) {
  return ArgStr(value, name, out) && RefuseNul(*out, name);
}

bool ArgOptionalText(PyObject* value, const char* name, std::optional<std::string_view>* out) {
  return ArgOptionalStr(value, name, out) && (!*out || RefuseNul(**out, name));
}

}  // namespace corvantine::python
