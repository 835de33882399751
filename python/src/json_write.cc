#include "json_write.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <span>
#include <string_view>
#include <vector>

#include "args.h"
#include "py_ref.h"
#include "util/json_writer.h"

namespace corvantine::python {

namespace {

constexpr char kRecursionContext[] = " while converting a value to JSON";

class JsonWriter {
 public:
  explicit JsonWriter(std::string* out) : out_(*out) {}

  bool Write(PyObject* value);

 private:
  // One dict entry: both objects held, the key's UTF-8, its place in the
  // dict and where its "key":value text lies in out_.
  struct Member {
    Ref key;
    Ref value;
    std::string_view name;
    size_t order = 0;
    size_t begin = 0;
    size_t end = 0;
  };

  bool WriteByProtocol(PyObject* value);
  bool WriteInt(PyObject* integer);
  bool WriteStr(PyObject* text);
  bool WriteList(PyObject* list);
  bool WriteItems(PyObject* list);
  bool WriteDict(PyObject* dict);
  bool WriteMembers(PyObject* dict);
  void SortMembers(std::span<Member> members, size_t first);

  template <typename Integer>
  void AppendInteger(Integer number) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out_.append(buffer, result.ptr);
  }

  std::string& out_;
  // The entries of every dict being written, the innermost last: one buffer
  // serves all levels, so they are reached by index.
  std::vector<Member> members_;
};

bool NotSerializable(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Ref name = Ref::Steal(PyObject_GetAttrString(type, "__name__"));
  if (name) {
    PyErr_Format(PyExc_ValueError, "object of type %S is not JSON-serializable", name.get());
  }
  return false;
}

bool JsonWriter::Write(PyObject* value) {
  // Exact built-in types first: they cannot override a protocol, so this
  // order gives the same result as the rules, without trying each.
  if (value == Py_None) {
    out_ += "null";
  } else if (value == Py_True) {
    out_ += "true";
  } else if (value == Py_False) {
    out_ += "false";
  } else if (PyUnicode_CheckExact(value)) {
    return WriteStr(value);
  } else if (PyLong_CheckExact(value)) {
    return WriteInt(value);
  } else if (PyFloat_CheckExact(value)) {
    util::json::AppendDouble(PyFloat_AsDouble(value), &out_);
  } else if (PyList_CheckExact(value)) {
    return WriteList(value);
  } else if (PyDict_CheckExact(value)) {
    return WriteDict(value);
  } else {
    return WriteByProtocol(value);
  }
  return true;
}

// Subclasses of the built-in types and objects with number protocols, by the
// rules in their order.
bool JsonWriter::WriteByProtocol(PyObject* value) {
  if (PyLong_Check(value)) return WriteInt(value);
  if (PyIndex_Check(value)) {
    Ref index = Ref::Steal(PyNumber_Index(value));
    if (index) return WriteInt(index.get());
    PyErr_Clear();
  }
  const double number = PyFloat_AsDouble(value);
  if (number != -1.0 || !PyErr_Occurred()) {
    util::json::AppendDouble(number, &out_);
    return true;
  }
  PyErr_Clear();
  if (PyUnicode_Check(value)) return WriteStr(value);
  if (PyList_Check(value)) return WriteList(value);
  if (PyDict_Check(value)) return WriteDict(value);
  return NotSerializable(value);
}

bool JsonWriter::WriteInt(PyObject* integer) {
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (overflow == 0) {
    if (number == -1 && PyErr_Occurred()) return false;
    AppendInteger(number);
    return true;
  }
  if (overflow > 0) {
    const unsigned long long big = PyLong_AsUnsignedLongLong(integer);
    if (big != ULLONG_MAX || !PyErr_Occurred()) {
      AppendInteger(big);
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  }
  PyErr_SetString(PyExc_ValueError, "int is out of the JSON range -2**63 .. 2**64-1");
  return false;
}

bool JsonWriter::WriteStr(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return NotSerializable(text);
  }
  util::json::AppendString(std::string_view(utf8, static_cast<size_t>(size)), &out_);
  return true;
}

bool JsonWriter::WriteList(PyObject* list) {
  if (Py_EnterRecursiveCall(kRecursionContext)) return false;
  const bool written = WriteItems(list);
  Py_LeaveRecursiveCall();
  return written;
}

bool JsonWriter::WriteItems(PyObject* list) {
  out_ += '[';
  // The length is read at every step: an item's conversion may run Python
  // code that shortens the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    if (i > 0) out_ += ',';
    Ref item = Ref::Borrow(PyList_GetItem(list, i));
    if (!Write(item.get())) return false;
  }
  out_ += ']';
  return true;
}

bool JsonWriter::WriteDict(PyObject* dict) {
  if (Py_EnterRecursiveCall(kRecursionContext)) return false;
  const bool written = WriteMembers(dict);
  Py_LeaveRecursiveCall();
  return written;
}

// Entries are written in the dict's own order, so that errors and any Python
// code come in that order, then put in key order when they are not already.
bool JsonWriter::WriteMembers(PyObject* dict) {
  // A snapshot with every object held: writing a value may run Python code
  // that changes the dict.
  const size_t base = members_.size();
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    members_.push_back({Ref::Borrow(key), Ref::Borrow(value), {}, members_.size() - base, 0, 0});
  }
  const size_t end = members_.size();
  out_ += '{';
  const size_t first = out_.size();
  bool sorted = true;
  for (size_t i = base; i < end; ++i) {
    if (!ToStr(members_[i].key.get(), &members_[i].name)) return false;
    if (i > base) {
      out_ += ',';
      sorted = sorted && members_[i - 1].name < members_[i].name;
    }
    members_[i].begin = out_.size();
    util::json::AppendString(members_[i].name, &out_);
    out_ += ':';
    if (!Write(members_[i].value.get())) return false;
    members_[i].end = out_.size();
  }
  if (!sorted) SortMembers(std::span<Member>(members_).subspan(base), first);
  members_.erase(members_.begin() + static_cast<ptrdiff_t>(base), members_.end());
  out_ += '}';
  return true;
}

// Rewrites the members written from `first` on in ascending key order. Two
// str subclass keys may share a text: the later one wins, as in a map. The
// sorted text is copied after the written one, which it then replaces.
void JsonWriter::SortMembers(std::span<Member> members, size_t first) {
  std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
    return a.name != b.name ? a.name < b.name : a.order < b.order;
  });
  const size_t written = out_.size();
  out_.reserve(2 * written - first);  // out_ copies from itself: it must not move
  for (size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].name == members[i].name) continue;
    if (out_.size() > written) out_ += ',';
    out_.append(out_, members[i].begin, members[i].end - members[i].begin);
  }
  out_.erase(first, written - first);
}

}  // namespace

bool WriteJson(PyObject* value, std::string* out) { return JsonWriter(out).Write(value); }

}  // namespace corvantine::python
