#include "text_cache.h"

#include <cstdint>
#include <cstring>

#include "errors.h"

namespace corvantine::python {

namespace {

// Mixes the first and last eight bytes with the length: keys that share a
// prefix mostly differ at their end, and a rare collision costs one str.
size_t SlotOf(std::string_view text, size_t slots) {
  uint64_t head = 0;
  uint64_t tail = 0;
  if (text.size() >= sizeof head) {
    std::memcpy(&head, text.data(), sizeof head);
    std::memcpy(&tail, text.data() + text.size() - sizeof tail, sizeof tail);
  } else {
    for (const char c : text) head = (head << 8) | static_cast<unsigned char>(c);
  }
  const uint64_t hash = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^
                        (text.size() * 0x165667B19E3779F9ull);
  return static_cast<size_t>(hash >> 40) & (slots - 1);
}

}  // namespace

PyObject* TextCache::Get(std::string_view text) {
  if (text.size() > kMaxCachedBytes) return DecodeLossy(text);
  if (slots_.empty()) slots_.resize(kSlots);
  Slot& slot = slots_[SlotOf(text, kSlots)];
  if (slot.string && slot.text == text) return Py_NewRef(slot.string.get());
  PyObject* string = DecodeLossy(text);
  if (string != nullptr) {
    slot.text.assign(text);
    slot.string = Ref::Borrow(string);
  }
  return string;
}

}  // namespace corvantine::python
