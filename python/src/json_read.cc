#include "json_read.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "py_ref.h"
#include "util/json_reader.h"

namespace corvantine::python {

namespace {

using util::json::Number;
using util::json::Reader;

constexpr char kRecursionContext[] = " while converting JSON to a value";

// Builds the objects while the engine's reader pulls the text, so what is
// accepted and every message are the engine's. Each method returns null on
// failure with a Python error set: ValueError for text that is not JSON, the
// interpreter's own for memory or recursion.
class Builder {
 public:
  // Room for a typical body up front, rather than growing step by step.
  Builder(std::string_view text, TextCache* keys) : reader_(text), keys_(keys) {
    items_.reserve(16);
    members_.reserve(16);
  }

  Ref Document() {
    Ref value = Value();
    if (!value || !Check(reader_.Finish())) return {};
    return value;
  }

 private:
  struct Member {
    Ref key;
    Ref value;
  };

  Ref Value();
  Ref Array();
  Ref Object();
  Ref NumberObject();
  Ref String(std::string_view text);

  template <typename T>
  static bool Check(const util::json::Result<T>& result) {
    if (result.ok()) return true;
    PyErr_SetString(PyExc_ValueError, result.error().message.c_str());
    return false;
  }

  Reader reader_;
  TextCache* keys_;  // may be null
  // Elements and members of the open containers, innermost last, so that
  // every container is built at its full size without allocations of its own.
  std::vector<Ref> items_;
  std::vector<Member> members_;
};

Ref Builder::Value() {
  const util::json::Result<Reader::Kind> kind = reader_.PeekKind();
  if (!Check(kind)) return {};
  switch (*kind) {
    case Reader::Kind::kNull:
      if (!Check(reader_.TakeNull())) return {};
      return Ref::Borrow(Py_None);
    case Reader::Kind::kBool: {
      const util::json::Result<bool> value = reader_.ReadBool();
      if (!Check(value)) return {};
      return Ref::Borrow(*value ? Py_True : Py_False);
    }
    case Reader::Kind::kNumber: return NumberObject();
    case Reader::Kind::kString: {
      std::string_view text;
      if (!Check(reader_.ReadStringView(&text))) return {};
      return String(text);
    }
    case Reader::Kind::kArray: return Array();
    case Reader::Kind::kObject: return Object();
  }
  return {};
}

// The reader's nesting limit comes first; the interpreter's recursion limit
// may stop a nesting it allows.
Ref Builder::Array() {
  if (!Check(reader_.BeginArray())) return {};
  if (Py_EnterRecursiveCall(kRecursionContext)) return {};
  const size_t base = items_.size();
  bool complete = false;
  for (;;) {
    const util::json::Result<bool> more = reader_.NextElement();
    if (!Check(more)) break;
    if (!*more) {
      complete = true;
      break;
    }
    Ref item = Value();
    if (!item) break;
    items_.push_back(std::move(item));
  }
  Py_LeaveRecursiveCall();
  Ref list;
  if (complete) list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(items_.size() - base)));
  for (size_t i = base; list && i < items_.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i - base), items_[i].Release());
  }
  items_.resize(base);
  return list;
}

Ref Builder::Object() {
  if (!Check(reader_.BeginObject())) return {};
  if (Py_EnterRecursiveCall(kRecursionContext)) return {};
  const size_t base = members_.size();
  bool complete = false;
  bool sorted = true;
  for (;;) {
    std::string_view name;
    const util::json::Result<bool> more = reader_.NextKey(&name);
    if (!Check(more)) break;
    if (!*more) {
      complete = true;
      break;
    }
    Ref key = keys_ != nullptr ? Ref::Steal(keys_->Get(name)) : String(name);
    if (!key || !Check(reader_.ReadColon())) break;
    Ref value = Value();
    if (!value) break;
    // Code-point order of str is the byte order of their UTF-8.
    if (sorted && members_.size() > base) {
      sorted = PyUnicode_Compare(members_.back().key.get(), key.get()) < 0;
    }
    members_.push_back({std::move(key), std::move(value)});
  }
  Py_LeaveRecursiveCall();
  Ref dict;
  if (complete) dict = Ref::Steal(PyDict_New());
  if (dict && !sorted) {
    // Equal keys stay in text order and land on one slot: the last wins.
    std::stable_sort(members_.begin() + static_cast<ptrdiff_t>(base), members_.end(),
                     [](const Member& a, const Member& b) {
                       return PyUnicode_Compare(a.key.get(), b.key.get()) < 0;
                     });
  }
  for (size_t i = base; dict && i < members_.size(); ++i) {
    if (PyDict_SetItem(dict.get(), members_[i].key.get(), members_[i].value.get()) < 0) {
      dict = Ref();
    }
  }
  members_.resize(base);
  return dict;
}

Ref Builder::NumberObject() {
  Number number;
  if (!Check(reader_.ReadNumber(&number))) return {};
  switch (number.kind) {
    case Number::Kind::kUnsigned:
      // Python keeps the sign of -0, which the engine reads as the integer 0.
      if (number.text.front() == '-') return Ref::Steal(PyFloat_FromDouble(-0.0));
      return Ref::Steal(PyLong_FromUnsignedLongLong(number.u64));
    case Number::Kind::kNegative: return Ref::Steal(PyLong_FromLongLong(number.i64));
    case Number::Kind::kFloat: break;
  }
  return Ref::Steal(PyFloat_FromDouble(number.f64));
}

// The reader has checked that the text is UTF-8.
Ref Builder::String(std::string_view text) {
  return Ref::Steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace

PyObject* ReadJson(std::string_view text, TextCache* keys) {
  return Builder(text, keys).Document().Release();
}

}  // namespace corvantine::python
