#include "debug_quote.h"

#include <Python.h>

#include <fmt/format.h>

#include "py_ref.h"

namespace corvantine::python {

namespace {

// The general categories whose characters are written as \u{hex}.
bool Escaped(std::string_view category) {
  static constexpr std::string_view kEscaped[] = {"Cc", "Cf", "Cs", "Co", "Cn",
                                                  "Zl", "Zp", "Zs", "Mn", "Me"};
  for (std::string_view escaped : kEscaped) {
    if (category == escaped) return true;
  }
  return false;
}

// Whether the character beyond ASCII is shown as it is; -1 with the error
// set.
int ShownAsIs(PyObject* category_of, Py_UCS4 character) {
  Ref text = Ref::Steal(PyUnicode_FromOrdinal(static_cast<int>(character)));
  if (!text) return -1;
  Ref category = Ref::Steal(PyObject_CallFunctionObjArgs(category_of, text.get(), nullptr));
  const char* name = category ? PyUnicode_AsUTF8AndSize(category.get(), nullptr) : nullptr;
  if (name == nullptr) return -1;
  return Escaped(name) ? 0 : 1;
}

const char* TwoCharacterEscape(Py_UCS4 character) {
  switch (character) {
    case '\\': return "\\\\";
    case '"': return "\\\"";
    case '\t': return "\\t";
    case '\r': return "\\r";
    case '\n': return "\\n";
    case '\0': return "\\0";
  }
  return nullptr;
}

// Appends one character: -1 with the error set.
int AppendCharacter(PyObject* text, Py_ssize_t at, PyObject* category_of, std::string* out) {
  const Py_UCS4 character = PyUnicode_ReadChar(text, at);
  if (const char* escape = TwoCharacterEscape(character)) {
    *out += escape;
    return 0;
  }
  int shown = character >= 0x20 && character < 0x7f;
  if (character >= 0x80) shown = ShownAsIs(category_of, character);
  if (shown < 0) return -1;
  if (shown == 0) {
    *out += fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(character));
    return 0;
  }
  Ref one = Ref::Steal(PyUnicode_Substring(text, at, at + 1));
  Py_ssize_t size = 0;
  const char* bytes = one ? PyUnicode_AsUTF8AndSize(one.get(), &size) : nullptr;
  if (bytes == nullptr) return -1;
  out->append(bytes, static_cast<size_t>(size));
  return 0;
}

}  // namespace

bool DebugQuoted(std::string_view text, std::string* out) {
  Ref unicodedata = Ref::Steal(PyImport_ImportModule("unicodedata"));
  Ref category_of =
      Ref::Steal(unicodedata ? PyObject_GetAttrString(unicodedata.get(), "category") : nullptr);
  Ref decoded = Ref::Steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!category_of || !decoded) return false;
  *out += '"';
  const Py_ssize_t length = PyUnicode_GetLength(decoded.get());
  for (Py_ssize_t at = 0; at < length; ++at) {
    if (AppendCharacter(decoded.get(), at, category_of.get(), out) < 0) return false;
  }
  *out += '"';
  return true;
}

}  // namespace corvantine::python
