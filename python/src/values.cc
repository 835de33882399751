#include "values.h"

#include <optional>

#include "errors.h"
#include "facade/engine/engine.h"

namespace corvantine::python {

PyObject* HexId(const util::Bytes16& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  char text[2 * sizeof(util::Bytes16)];
  for (size_t i = 0; i < id.size(); ++i) {
    text[2 * i] = kHex[id[i] >> 4];
    text[2 * i + 1] = kHex[id[i] & 0xF];
  }
  return PyUnicode_FromStringAndSize(text, sizeof text);
}

bool ParseHexId(std::string_view text, util::Bytes16* out) {
  std::optional<util::Bytes16> id = facade::IdBytesFromHex(text);
  if (!id) {
    RaiseInvalidArgument("event_id must contain exactly 32 hexadecimal characters");
    return false;
  }
  *out = *id;
  return true;
}

bool BytesOrUtf8(PyObject* value, std::string* out) {
  if (PyBytes_Check(value)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(value, &data, &size) < 0) return false;
    out->assign(data, static_cast<size_t>(size));
    return true;
  }
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(value, &size)) {
      out->assign(text, static_cast<size_t>(size));
      return true;
    }
    PyErr_Clear();
  }
  RaiseInvalidArgument("value must be bytes or a UTF-8 string");
  return false;
}

PyObject* BytesObject(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace corvantine::python
