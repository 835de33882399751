#include "util/json_tree.h"

#include <bitset>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvantine::util::json {

// Which of the open containers are objects, innermost last. Inline up to the
// nesting limit; only IgnoreValue, which has none, goes beyond.
class TreeReader::ContainerStack {
 public:
  bool empty() const { return size_ == 0; }
  bool InObject() const {
    const size_t top = size_ - 1;
    return top < kInline ? inline_[top] : spill_[top - kInline];
  }
  void Push(bool object) {
    if (size_ < kInline) {
      inline_[size_] = object;
    } else {
      spill_.push_back(object);
    }
    ++size_;
  }
  void Pop() {
    --size_;
    if (size_ >= kInline) spill_.pop_back();
  }

 private:
  static constexpr size_t kInline = 128;
  std::bitset<kInline> inline_;
  std::vector<bool> spill_;
  size_t size_ = 0;
};

// Walk sinks: one builds the value, the other discards it.
class TreeReader::DomBuilder {
 public:
  static constexpr bool kBuilds = true;

  void OnNull() { Add(nullptr); }
  void OnBool(bool value) { Add(value); }
  void OnString(std::string_view text) { Add(std::string(text)); }
  void OnNumber(const Number& number) {
    switch (number.kind) {
      case Number::Kind::kUnsigned: Add(number.u64); return;
      case Number::Kind::kNegative: Add(number.i64); return;
      case Number::Kind::kFloat: Add(number.f64); return;
    }
  }
  void OnKey(std::string_view key) { key_.assign(key); }
  void OnOpen(bool object) {
    open_.push_back(Add(object ? nlohmann::json::object() : nlohmann::json::array()));
  }
  void OnClose() { open_.pop_back(); }

  nlohmann::json Take() { return std::move(root_); }

 private:
  // Only the innermost open container grows, so the pointers to the open
  // ones stay valid.
  nlohmann::json* Add(nlohmann::json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    nlohmann::json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    nlohmann::json& slot = parent[key_];  // the last of duplicate keys wins
    slot = std::move(value);
    return &slot;
  }

  nlohmann::json root_;
  std::vector<nlohmann::json*> open_;
  std::string key_;
};

struct TreeReader::Discard {
  static constexpr bool kBuilds = false;

  void OnNull() {}
  void OnBool(bool) {}
  void OnString(std::string_view) {}
  void OnNumber(const Number&) {}
  void OnKey(std::string_view) {}
  void OnOpen(bool) {}
  void OnClose() {}
};

// Whole values, kept or ignored, without a visitor.

Result<nlohmann::json> TreeReader::ReadValue() {
  DomBuilder builder;
  CVN_TRY(Walk(Mode::kStrict, builder));
  return builder.Take();
}

Result<> TreeReader::SkipValue() {
  Discard discard;
  return Walk(Mode::kStrict, discard);
}

Result<> TreeReader::IgnoreValue() {
  Discard discard;
  return Walk(Mode::kIgnore, discard);
}

template <typename Sink>
Result<> TreeReader::Walk(Mode mode, Sink& sink) {
  const bool strict = mode == Mode::kStrict;
  ContainerStack open;
  for (;;) {
    CVN_ASSIGN_OR_RETURN(const char c, PeekValueStart());
    bool first = false;
    if (c == '[' || c == '{') {
      if (strict) CVN_TRY(EnterNested());
      ++index_;
      open.Push(c == '{');
      sink.OnOpen(c == '{');
      first = true;
    } else {
      CVN_TRY(WalkScalar(c, mode, sink));
    }
    // Close what ends here; stop before the next element or member.
    for (;;) {
      if (open.empty()) return {};
      CVN_ASSIGN_OR_RETURN(const bool more, NextItem(open.InObject(), first, mode));
      if (more) break;
      ++index_;
      open.Pop();
      if (strict) ++depth_left_;
      sink.OnClose();
      first = false;
    }
    if (open.InObject()) {
      ++index_;  // the key's opening quote
      std::string_view key;
      CVN_TRY(ScanString(mode, Sink::kBuilds ? &scratch_ : nullptr, &key));
      sink.OnKey(key);
      CVN_TRY(ReadColon());
    }
  }
}

template <typename Sink>
Result<> TreeReader::WalkScalar(char first, Mode mode, Sink& sink) {
  switch (first) {
    case 'n':
      ++index_;
      CVN_TRY(ScanIdent("ull"));
      sink.OnNull();
      return {};
    case 't':
    case 'f':
      ++index_;
      CVN_TRY(ScanIdent(first == 't' ? "rue" : "alse"));
      sink.OnBool(first == 't');
      return {};
    case '"': {
      ++index_;
      std::string_view text;
      CVN_TRY(ScanString(mode, Sink::kBuilds ? &scratch_ : nullptr, &text));
      sink.OnString(text);
      return {};
    }
    default: {
      Number number;
      CVN_TRY(ScanNumberAt(first, mode, &number));
      sink.OnNumber(number);
      return {};
    }
  }
}

}  // namespace corvantine::util::json
