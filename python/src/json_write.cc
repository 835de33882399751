#include "json_write.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <numeric>
#include <span>
#include <string_view>
#include <vector>

#include "args.h"
#include "py_ref.h"
#include "util/json_writer.h"

namespace corvantine::python {

namespace {

constexpr char kRecursionContext[] = " while converting a value to JSON";

// Whether util::json::AppendString would escape a byte of `text`: a control
// character, the quote or the backslash. Most strings have none and are
// then copied as they are; this looks at eight bytes at a time.
bool NeedsEscape(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighBits = 0x8080808080808080;
  // A nonzero result: some byte of `word` is below `bound` (at most 0x80).
  const auto any_below = [](uint64_t word, uint64_t bound) {
    return (word - kOnes * bound) & ~word & kHighBits;
  };
  const auto escaped = [](unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; };
  if (text.size() < 8) return std::any_of(text.begin(), text.end(), escaped);
  for (size_t at = 0;; at += 8) {
    at = std::min(at, text.size() - 8);  // the last word may overlap the one before
    uint64_t word;
    std::memcpy(&word, text.data() + at, sizeof word);
    if (any_below(word, 0x20) || any_below(word ^ (kOnes * '"'), 1) ||
        any_below(word ^ (kOnes * '\\'), 1)) {
      return true;
    }
    if (at + 8 == text.size()) return false;
  }
}

bool NotSerializable(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Ref name = Ref::Steal(PyObject_GetAttrString(type, "__name__"));
  if (name) {
    PyErr_Format(PyExc_ValueError, "object of type %S is not JSON-serializable", name.get());
  }
  return false;
}

}  // namespace

// A value is written in one of two passes. The plain pass takes only the
// exact built-in types, whose conversion runs no Python code, and writes an
// object's members straight in key order. Anything else makes it give up,
// and so does any error. The faithful pass then starts over: it writes each
// object's members in the dict's own order, so that errors and Python code
// come in that order, and puts them in key order after. Nothing the plain
// pass did can be seen, so the outcome is the faithful pass's alone.
class JsonWriter::Impl {
 public:
  bool Write(PyObject* value, std::string* out);
  uint32_t depth() const { return max_depth_; }

 private:
  enum class Pass { kPlain, kFaithful };

  // The key order of dicts whose keys are these very str objects, in this
  // order. The keys are held, so that no other object can take the address
  // of one.
  struct Shape {
    std::vector<Ref> keys;
    std::vector<uint32_t> order;  // by ascending key, each key's index in `keys`
    // The text before each value, in key order: `{"key":` for the first
    // key, `,"key":` for the others; each ends where `ends` says.
    std::string text;
    std::vector<uint32_t> ends;
    int users = 0;  // dicts being written with it: it must not be replaced

    bool Matches(std::span<PyObject* const> dict_keys) const;
    std::string_view Before(size_t index) const;
  };
  static constexpr size_t kShapes = 8;

  // One dict entry of the faithful pass: both objects held, the key's UTF-8,
  // its place in the dict and where its "key":value text lies in *out_.
  struct Member {
    Ref key;
    Ref value;
    std::string_view name;
    size_t order = 0;
    size_t begin = 0;
    size_t end = 0;
  };

  template <Pass kPass>
  bool WriteValue(PyObject* value);
  template <Pass kPass>
  bool WriteList(PyObject* list);
  template <Pass kPass>
  bool WriteItems(PyObject* list);
  bool WriteInt(PyObject* integer);
  bool WriteStr(PyObject* text);
  template <typename WriteContents>
  bool Nested(WriteContents write_contents);

  bool WritePlainDict(PyObject* dict);
  bool WritePlainMembers(PyObject* dict);
  Shape* ShapeOf(std::span<PyObject* const> keys);
  Shape* AddShape(std::span<PyObject* const> keys);

  bool WriteByProtocol(PyObject* value);
  bool WriteDict(PyObject* dict);
  bool WriteMembers(PyObject* dict);
  void SortMembers(std::span<Member> members, size_t first);

  template <typename Integer>
  void AppendInteger(Integer number) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out_->append(buffer, result.ptr);
  }

  std::string* out_ = nullptr;
  uint32_t depth_ = 0;
  uint32_t max_depth_ = 0;
  // The plain pass's keys and values of every dict being written, the
  // innermost last; borrowed, as nothing can drop them meanwhile.
  std::vector<PyObject*> keys_;
  std::vector<PyObject*> values_;
  std::array<Shape, kShapes> shapes_;
  size_t next_shape_ = 0;                // the next one to replace
  std::vector<std::string_view> names_;  // AddShape's keys as UTF-8
  // The faithful pass's entries of every dict being written, the innermost
  // last: one buffer serves all levels, so they are reached by index.
  std::vector<Member> members_;
};

bool JsonWriter::Impl::Write(PyObject* value, std::string* out) {
  out_ = out;
  const size_t start = out->size();
  max_depth_ = 0;
  if (WriteValue<Pass::kPlain>(value)) return true;
  PyErr_Clear();  // an error of the plain pass comes again, in its place
  keys_.clear();
  values_.clear();
  out->resize(start);
  max_depth_ = 0;
  const bool written = WriteValue<Pass::kFaithful>(value);
  members_.clear();
  return written;
}

// Exact built-in types first: they cannot override a protocol, so this order
// gives the same result as the rules, without trying each.
template <JsonWriter::Impl::Pass kPass>
bool JsonWriter::Impl::WriteValue(PyObject* value) {
  if (value == Py_None) {
    out_->append("null");
  } else if (value == Py_True) {
    out_->append("true");
  } else if (value == Py_False) {
    out_->append("false");
  } else if (PyUnicode_CheckExact(value)) {
    return WriteStr(value);
  } else if (PyLong_CheckExact(value)) {
    return WriteInt(value);
  } else if (PyFloat_CheckExact(value)) {
    util::json::AppendDouble(PyFloat_AsDouble(value), out_);
  } else if (PyList_CheckExact(value)) {
    return WriteList<kPass>(value);
  } else if (PyDict_CheckExact(value)) {
    return kPass == Pass::kPlain ? WritePlainDict(value) : WriteDict(value);
  } else {
    return kPass == Pass::kFaithful && WriteByProtocol(value);
  }
  return true;
}

template <JsonWriter::Impl::Pass kPass>
bool JsonWriter::Impl::WriteList(PyObject* list) {
  return Nested([&] { return WriteItems<kPass>(list); });
}

template <JsonWriter::Impl::Pass kPass>
bool JsonWriter::Impl::WriteItems(PyObject* list) {
  out_->push_back('[');
  // The length is read at every step: an item's conversion may run Python
  // code that shortens the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    if (i > 0) out_->push_back(',');
    Ref item = Ref::Borrow(PyList_GetItem(list, i));
    if (!WriteValue<kPass>(item.get())) return false;
  }
  out_->push_back(']');
  return true;
}

bool JsonWriter::Impl::WriteInt(PyObject* integer) {
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

bool JsonWriter::Impl::WriteStr(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return NotSerializable(text);
  }
  const std::string_view view(utf8, static_cast<size_t>(size));
  if (NeedsEscape(view)) {
    util::json::AppendString(view, out_);
  } else {
    out_->push_back('"');
    out_->append(view);
    out_->push_back('"');
  }
  return true;
}

// Writes one array or object a level deeper, within the interpreter's
// recursion limit.
template <typename WriteContents>
bool JsonWriter::Impl::Nested(WriteContents write_contents) {
  if (Py_EnterRecursiveCall(kRecursionContext)) return false;
  max_depth_ = std::max(max_depth_, ++depth_);
  const bool written = write_contents();
  --depth_;
  Py_LeaveRecursiveCall();
  return written;
}

bool JsonWriter::Impl::WritePlainDict(PyObject* dict) {
  return Nested([&] { return WritePlainMembers(dict); });
}

bool JsonWriter::Impl::WritePlainMembers(PyObject* dict) {
  const size_t base = keys_.size();
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    keys_.push_back(key);
    values_.push_back(value);
    // Values are read in another order: their loads start here, together.
    __builtin_prefetch(value);
  }
  if (keys_.size() == base) {
    out_->append("{}");
    return true;
  }
  Shape* shape = ShapeOf(std::span<PyObject* const>(keys_).subspan(base));
  if (shape == nullptr) return false;
  ++shape->users;
  bool written = true;
  for (size_t i = 0; written && i < shape->order.size(); ++i) {
    out_->append(shape->Before(i));
    written = WriteValue<Pass::kPlain>(values_[base + shape->order[i]]);
  }
  --shape->users;
  if (!written) return false;
  out_->push_back('}');
  keys_.resize(base);
  values_.resize(base);
  return true;
}

bool JsonWriter::Impl::Shape::Matches(std::span<PyObject* const> dict_keys) const {
  return std::equal(dict_keys.begin(), dict_keys.end(), keys.begin(), keys.end(),
                    [](PyObject* key, const Ref& known) { return key == known.get(); });
}

std::string_view JsonWriter::Impl::Shape::Before(size_t index) const {
  const size_t begin = index == 0 ? 0 : ends[index - 1];
  return std::string_view(text).substr(begin, ends[index] - begin);
}

JsonWriter::Impl::Shape* JsonWriter::Impl::ShapeOf(std::span<PyObject* const> keys) {
  for (Shape& shape : shapes_) {
    if (shape.Matches(keys)) return &shape;
  }
  return AddShape(keys);
}

// Learns the key order of `keys` in place of a shape no dict is using. Null
// when every shape is in use, or a key is not an exact str (only then can two
// keys share a text) or has a lone surrogate.
JsonWriter::Impl::Shape* JsonWriter::Impl::AddShape(std::span<PyObject* const> keys) {
  names_.clear();
  for (PyObject* key : keys) {
    if (!PyUnicode_CheckExact(key) || !ToStr(key, &names_.emplace_back())) return nullptr;
  }
  size_t slot = next_shape_;
  while (shapes_[slot].users > 0) {
    slot = (slot + 1) % kShapes;
    if (slot == next_shape_) return nullptr;
  }
  next_shape_ = (slot + 1) % kShapes;
  Shape& shape = shapes_[slot];
  shape.keys.clear();
  for (PyObject* key : keys) shape.keys.push_back(Ref::Borrow(key));
  shape.order.resize(keys.size());
  std::iota(shape.order.begin(), shape.order.end(), 0);
  std::sort(shape.order.begin(), shape.order.end(),
            [this](uint32_t a, uint32_t b) { return names_[a] < names_[b]; });
  shape.text.clear();
  shape.ends.clear();
  for (const uint32_t index : shape.order) {
    shape.text.push_back(shape.ends.empty() ? '{' : ',');
    util::json::AppendString(names_[index], &shape.text);
    shape.text.push_back(':');
    shape.ends.push_back(static_cast<uint32_t>(shape.text.size()));
  }
  return &shape;
}

// Subclasses of the built-in types and objects with number protocols, by the
// rules in their order.
bool JsonWriter::Impl::WriteByProtocol(PyObject* value) {
  if (PyLong_Check(value)) return WriteInt(value);
  if (PyIndex_Check(value)) {
    Ref index = Ref::Steal(PyNumber_Index(value));
    if (index) return WriteInt(index.get());
    PyErr_Clear();
  }
  const double number = PyFloat_AsDouble(value);
  if (number != -1.0 || !PyErr_Occurred()) {
    util::json::AppendDouble(number, out_);
    return true;
  }
  PyErr_Clear();
  if (PyUnicode_Check(value)) return WriteStr(value);
  if (PyList_Check(value)) return WriteList<Pass::kFaithful>(value);
  if (PyDict_Check(value)) return WriteDict(value);
  return NotSerializable(value);
}

bool JsonWriter::Impl::WriteDict(PyObject* dict) {
  return Nested([&] { return WriteMembers(dict); });
}

// Entries are written in the dict's own order, then put in key order when
// they are not already.
bool JsonWriter::Impl::WriteMembers(PyObject* dict) {
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
  out_->push_back('{');
  const size_t first = out_->size();
  bool sorted = true;
  for (size_t i = base; i < end; ++i) {
    if (!ToStr(members_[i].key.get(), &members_[i].name)) return false;
    if (i > base) {
      out_->push_back(',');
      sorted = sorted && members_[i - 1].name < members_[i].name;
    }
    members_[i].begin = out_->size();
    util::json::AppendString(members_[i].name, out_);
    out_->push_back(':');
    if (!WriteValue<Pass::kFaithful>(members_[i].value.get())) return false;
    members_[i].end = out_->size();
  }
  if (!sorted) SortMembers(std::span<Member>(members_).subspan(base), first);
  members_.erase(members_.begin() + static_cast<ptrdiff_t>(base), members_.end());
  out_->push_back('}');
  return true;
}

// Rewrites the members written from `first` on in ascending key order. Two
// str subclass keys may share a text: the later one wins, as in a map. The
// sorted text is copied after the written one, which it then replaces.
void JsonWriter::Impl::SortMembers(std::span<Member> members, size_t first) {
  std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
    return a.name != b.name ? a.name < b.name : a.order < b.order;
  });
  std::string& out = *out_;
  const size_t written = out.size();
  out.reserve(2 * written - first);  // out copies from itself: it must not move
  for (size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].name == members[i].name) continue;
    if (out.size() > written) out += ',';
    out.append(out, members[i].begin, members[i].end - members[i].begin);
  }
  out.erase(first, written - first);
}

JsonWriter::JsonWriter() : impl_(std::make_unique<Impl>()) {}

JsonWriter::~JsonWriter() = default;

bool JsonWriter::Write(PyObject* value, std::string* out) { return impl_->Write(value, out); }

uint32_t JsonWriter::depth() const { return impl_->depth(); }

bool WriteJson(PyObject* value, std::string* out) { return JsonWriter().Write(value, out); }

}  // namespace corvantine::python
