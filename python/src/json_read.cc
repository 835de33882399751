#include "json_read.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "py_ref.h"
#include "util/json.h"

namespace corvantine::python {

namespace {

constexpr int kMaxNesting = 128;
constexpr char kRecursionContext[] = " while converting JSON to a value";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether a number that std::from_chars found out of range is too large
// (an error) rather than too small (zero). Its scale is the position of its
// first significant digit relative to the decimal point, plus its exponent.
bool TooLarge(std::string_view number) {
  const size_t exponent_at = number.find_first_of("eE");
  const std::string_view mantissa = number.substr(0, exponent_at);
  const size_t point = std::min(mantissa.find('.'), mantissa.size());
  const size_t significant = mantissa.find_first_of("123456789");
  const int64_t scale = significant < point ? static_cast<int64_t>(point - significant)
                                            : -static_cast<int64_t>(significant - point - 1);
  int64_t exponent = 0;
  if (exponent_at != std::string_view::npos) {
    std::string_view digits = number.substr(exponent_at + 1);
    const bool negative = digits.front() == '-';
    if (digits.front() == '-' || digits.front() == '+') digits.remove_prefix(1);
    // Past 18 digits the exponent decides on its own.
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
    if (result.ec != std::errc()) exponent = INT64_MAX / 2;
    if (negative) exponent = -exponent;
  }
  return scale + exponent > 0;
}

void AppendUtf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code_point >> 6));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code_point >> 12));
    out->push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code_point >> 18));
    out->push_back(static_cast<char>(0x80 | (code_point >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// A recursive-descent parser that builds the objects as it reads. Every
// method returns null on failure: with a Python error set when the
// interpreter failed (memory, recursion), without one when the text is not
// JSON, whose message the engine's own checker then supplies.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  Ref ReadDocument() {
    Ref value = ReadValue();
    SkipWhitespace();
    if (!value || at_ != text_.size()) return {};
    return value;
  }

 private:
  struct Member {
    Ref key;
    Ref value;
  };

  Ref ReadValue();
  Ref ReadArray();
  Ref ReadObject();
  Ref ReadString();
  Ref ReadNumber();
  Ref ReadLiteral(std::string_view word, PyObject* value);
  bool ScanString(std::string_view* text);
  bool ScanEscape();
  bool ScanHex4(uint32_t* value);
  bool ScanDigits();
  bool Enter();
  void Leave();

  void SkipWhitespace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }
  bool Peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
  bool Consume(char c) {
    if (!Peek(c)) return false;
    ++at_;
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
  int depth_ = 0;
  std::string scratch_;  // a string's text once it held escapes
  // Elements and members of the open containers, innermost last, so that
  // every container is built at its full size without allocations of its own.
  std::vector<Ref> items_;
  std::vector<Member> members_;
};

Ref JsonReader::ReadValue() {
  SkipWhitespace();
  if (at_ == text_.size()) return {};
  switch (text_[at_]) {
    case '{': return ReadObject();
    case '[': return ReadArray();
    case '"': return ReadString();
    case 't': return ReadLiteral("true", Py_True);
    case 'f': return ReadLiteral("false", Py_False);
    case 'n': return ReadLiteral("null", Py_None);
    default: return ReadNumber();
  }
}

bool JsonReader::Enter() {
  if (depth_ == kMaxNesting || Py_EnterRecursiveCall(kRecursionContext)) return false;
  ++depth_;
  return true;
}

void JsonReader::Leave() {
  --depth_;
  Py_LeaveRecursiveCall();
}

Ref JsonReader::ReadArray() {
  ++at_;
  if (!Enter()) return {};
  const size_t base = items_.size();
  bool closed = false;
  SkipWhitespace();
  if (Consume(']')) {
    closed = true;
  } else {
    while (Ref item = ReadValue()) {
      items_.push_back(std::move(item));
      SkipWhitespace();
      if (Consume(',')) continue;
      closed = Consume(']');
      break;
    }
  }
  Leave();
  Ref list;
  if (closed) list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(items_.size() - base)));
  for (size_t i = base; list && i < items_.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i - base), items_[i].Release());
  }
  items_.resize(base);
  return list;
}

Ref JsonReader::ReadObject() {
  ++at_;
  if (!Enter()) return {};
  const size_t base = members_.size();
  bool closed = false;
  bool sorted = true;
  SkipWhitespace();
  if (Consume('}')) {
    closed = true;
  } else {
    while (Peek('"')) {
      Ref key = ReadString();
      SkipWhitespace();
      if (!key || !Consume(':')) break;
      Ref value = ReadValue();
      if (!value) break;
      // Code-point order of str is the byte order of their UTF-8.
      if (sorted && members_.size() > base) {
        sorted = PyUnicode_Compare(members_.back().key.get(), key.get()) < 0;
      }
      members_.push_back({std::move(key), std::move(value)});
      SkipWhitespace();
      if (Consume(',')) {
        SkipWhitespace();
        continue;
      }
      closed = Consume('}');
      break;
    }
  }
  Leave();
  Ref dict;
  if (closed) dict = Ref::Steal(PyDict_New());
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

Ref JsonReader::ReadString() {
  std::string_view text;
  if (!ScanString(&text)) return {};
  Ref string =
      Ref::Steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  // Bytes that are not UTF-8 make the text not JSON.
  if (!string && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
  return string;
}

// At the opening quote. `text` is a view of the input when the string holds
// no escape, else of scratch_.
bool JsonReader::ScanString(std::string_view* text) {
  const size_t start = ++at_;
  while (at_ < text_.size()) {
    const char c = text_[at_];
    if (c == '"') {
      *text = text_.substr(start, at_++ - start);
      return true;
    }
    if (c == '\\') break;
    if (static_cast<unsigned char>(c) < 0x20) return false;
    ++at_;
  }
  scratch_.assign(text_.substr(start, at_ - start));
  while (at_ < text_.size()) {
    const char c = text_[at_++];
    if (c == '"') {
      *text = scratch_;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      scratch_.push_back(c);
    } else if (!ScanEscape()) {
      return false;
    }
  }
  return false;
}

bool JsonReader::ScanEscape() {
  if (at_ == text_.size()) return false;
  switch (text_[at_++]) {
    case '"': scratch_.push_back('"'); return true;
    case '\\': scratch_.push_back('\\'); return true;
    case '/': scratch_.push_back('/'); return true;
    case 'b': scratch_.push_back('\b'); return true;
    case 'f': scratch_.push_back('\f'); return true;
    case 'n': scratch_.push_back('\n'); return true;
    case 'r': scratch_.push_back('\r'); return true;
    case 't': scratch_.push_back('\t'); return true;
    case 'u': break;
    default: return false;
  }
  uint32_t code_point = 0;
  if (!ScanHex4(&code_point)) return false;
  if (code_point >= 0xDC00 && code_point <= 0xDFFF) return false;
  if (code_point >= 0xD800 && code_point <= 0xDBFF) {
    uint32_t low = 0;
    if (!Consume('\\') || !Consume('u') || !ScanHex4(&low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return false;
    code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
  }
  AppendUtf8(code_point, &scratch_);
  return true;
}

bool JsonReader::ScanHex4(uint32_t* value) {
  if (text_.size() - at_ < 4) return false;
  const char* begin = text_.data() + at_;
  const auto result = std::from_chars(begin, begin + 4, *value, 16);
  if (result.ptr != begin + 4) return false;
  at_ += 4;
  return true;
}

bool JsonReader::ScanDigits() {
  const size_t start = at_;
  while (at_ < text_.size() && IsDigit(text_[at_])) ++at_;
  return at_ > start;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
Ref JsonReader::ReadNumber() {
  const size_t start = at_;
  const bool negative = Consume('-');
  const size_t digits_start = at_;
  if (Consume('0')) {
    // A leading zero stands alone; whatever follows is not part of it.
  } else if (!ScanDigits()) {
    return {};
  }
  const size_t digits_end = at_;
  bool integral = true;
  if (Consume('.')) {
    if (!ScanDigits()) return {};
    integral = false;
  }
  if (Consume('e') || Consume('E')) {
    if (!Consume('+')) Consume('-');
    if (!ScanDigits()) return {};
    integral = false;
  }
  const std::string_view number = text_.substr(start, at_ - start);
  if (integral) {
    uint64_t magnitude = 0;
    const char* first = text_.data() + digits_start;
    const char* last = text_.data() + digits_end;
    if (std::from_chars(first, last, magnitude).ec == std::errc()) {
      if (!negative) return Ref::Steal(PyLong_FromUnsignedLongLong(magnitude));
      // -0 is a float, as in the engine's JSON.
      if (magnitude == 0) return Ref::Steal(PyFloat_FromDouble(-0.0));
      if (magnitude <= uint64_t{1} << 63) {
        return Ref::Steal(PyLong_FromLongLong(-static_cast<long long>(magnitude - 1) - 1));
      }
    }
  }
  double value = 0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    if (TooLarge(number)) return {};
    value = negative ? -0.0 : 0.0;
  }
  return Ref::Steal(PyFloat_FromDouble(value));
}

Ref JsonReader::ReadLiteral(std::string_view word, PyObject* value) {
  if (text_.substr(at_, word.size()) != word) return {};
  at_ += word.size();
  return Ref::Borrow(value);
}

}  // namespace

PyObject* ReadJson(std::string_view text) {
  Ref value = JsonReader(text).ReadDocument();
  if (value || PyErr_Occurred()) return value.Release();
  util::json::Result<> checked = util::json::Validate(text);
  PyErr_SetString(PyExc_ValueError,
                  checked.ok() ? "invalid JSON text" : checked.error().message.c_str());
  return nullptr;
}

}  // namespace corvantine::python
