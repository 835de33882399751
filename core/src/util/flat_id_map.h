// FlatIdMap: a hash map from 16-byte ids to small trivially copyable values,
// for maps of a million entries that must load fast. Entries live inline in
// one array (open addressing, linear probing) beside an array of one control
// byte per slot, so a lookup reads one run of control bytes and touches an
// entry only when eight bits of its hash match, and filling the map costs no
// allocation per entry.
//
// The table holds up to three quarters of its slots, and its size need not
// be a power of two: a map reserved for n entries takes 4n/3 slots, not up
// to 8n/3 as a power of two would, and growth adds half again.
//
// Entries are never removed, so no slot is ever a tombstone. Iteration order
// follows no rule; inserting may move every entry and so invalidates
// iterators and references.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>

namespace corvantine::util {

template <typename Key, typename Value>
class FlatIdMap {
 public:
  // The key is hashed by its object representation, which must therefore be
  // its 16 bytes and nothing else.
  static_assert(sizeof(Key) == 16 && std::is_trivially_copyable_v<Key> &&
                std::has_unique_object_representations_v<Key>);
  static_assert(std::is_trivially_copyable_v<Value>);

  using key_type = Key;
  using mapped_type = Value;
  using value_type = std::pair<const Key, Value>;

  template <bool kConst>
  class Iterator;
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  FlatIdMap() = default;
  FlatIdMap(const FlatIdMap& other) { CopyFrom(other); }
  FlatIdMap(FlatIdMap&& other) noexcept { MoveFrom(other); }
  FlatIdMap& operator=(const FlatIdMap& other) {
    if (this != &other) CopyFrom(other);
    return *this;
  }
  FlatIdMap& operator=(FlatIdMap&& other) noexcept {
    if (this != &other) MoveFrom(other);
    return *this;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  iterator begin() { return iterator(this, FirstFullFrom(0)); }
  iterator end() { return iterator(this, capacity_); }
  const_iterator begin() const { return const_iterator(this, FirstFullFrom(0)); }
  const_iterator end() const { return const_iterator(this, capacity_); }

  iterator find(const Key& key) { return iterator(this, IndexOf(key)); }
  const_iterator find(const Key& key) const { return const_iterator(this, IndexOf(key)); }
  bool contains(const Key& key) const { return IndexOf(key) != capacity_; }

  // Starts loading the memory where `key`'s probe begins, so that a caller
  // about to insert or find many keys can overlap their cache misses.
  void Prefetch(const Key& key) const {
    if (capacity_ == 0) return;
    const size_t index = HomeSlot(Hash(key));
    __builtin_prefetch(&control_[index]);
    __builtin_prefetch(&slots_[index]);
  }

  // Inserts `key` with a value built from `args`, unless the key is present;
  // either way returns its entry and whether it was inserted.
  template <typename... Args>
  std::pair<iterator, bool> try_emplace(const Key& key, Args&&... args) {
    if (size_t index = IndexOf(key); index != capacity_) return {iterator(this, index), false};
    ReserveForOneMore();
    const size_t index = EmptySlotFor(key);
    std::construct_at(&slots_[index].entry, std::piecewise_construct, std::forward_as_tuple(key),
                      std::forward_as_tuple(std::forward<Args>(args)...));
    ++size_;
    return {iterator(this, index), true};
  }

  std::pair<iterator, bool> insert_or_assign(const Key& key, const Value& value) {
    auto [entry, inserted] = try_emplace(key, value);
    if (!inserted) entry->second = value;
    return {entry, inserted};
  }

  // Makes room for `count` entries in all, so that filling the map up to
  // that size never rehashes.
  void reserve(size_t count) {
    if (count > MaxEntries(capacity_)) Rehash(CapacityFor(count));
  }

  // Equal sizes and equal values under equal keys, whatever the capacities.
  friend bool operator==(const FlatIdMap& a, const FlatIdMap& b) {
    if (a.size_ != b.size_) return false;
    for (const value_type& entry : a) {
      auto other = b.find(entry.first);
      if (other == b.end() || !(other->second == entry.second)) return false;
    }
    return true;
  }

  template <bool kConst>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using difference_type = std::ptrdiff_t;
    using value_type = FlatIdMap::value_type;
    using reference = std::conditional_t<kConst, const value_type&, value_type&>;
    using pointer = std::conditional_t<kConst, const value_type*, value_type*>;
    using Map = std::conditional_t<kConst, const FlatIdMap, FlatIdMap>;

    Iterator() = default;
    Iterator(Map* map, size_t index) : map_(map), index_(index) {}
    reference operator*() const { return map_->slots_[index_].entry; }
    pointer operator->() const { return &map_->slots_[index_].entry; }
    Iterator& operator++() {
      index_ = map_->FirstFullFrom(index_ + 1);
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator&, const Iterator&) = default;

   private:
    Map* map_ = nullptr;
    size_t index_ = 0;
  };

 private:
  // An entry's storage, left unconstructed until the slot is filled.
  union Slot {
    Slot() {}
    value_type entry;
  };

  // A control byte is kEmpty or the low byte of the hash made nonzero; the
  // slot comes from the high bits, so the two vary independently. Probes
  // read the control bytes a group of eight at a time, as one word, and the
  // array repeats its first kGroup - 1 bytes after its end, so that a group
  // read near the end sees the bytes of the wrapped-around slots.
  static constexpr uint8_t kEmpty = 0;
  static constexpr size_t kGroup = 8;
  static constexpr size_t kMinCapacity = 16;
  static constexpr uint64_t kLowBits = 0x0101010101010101;  // of each byte of a group
  static_assert(std::endian::native == std::endian::little);

  // Ids are mostly a clock reading and a counter, whose low bytes vary little
  // between neighbours: mix both halves so every bit of each reaches the
  // slot index. Each half alone maps to the hash one to one.
  static uint64_t Hash(const Key& key) {
    uint64_t halves[2];
    std::memcpy(halves, &key, sizeof halves);
    uint64_t hash = halves[0] ^ (halves[1] * 0x9e3779b97f4a7c15);
    hash ^= hash >> 32;
    hash *= 0xd6e8feb86659fd93;
    hash ^= hash >> 32;
    return hash;
  }
  static uint8_t ControlOf(uint64_t hash) {
    const auto low = static_cast<uint8_t>(hash);
    return low == kEmpty ? 1 : low;
  }

  // Where `hash`'s probe starts: the hash scaled to the capacity, which
  // spreads it over any table size without a division.
  size_t HomeSlot(uint64_t hash) const {
    return static_cast<size_t>((static_cast<unsigned __int128>(hash) * capacity_) >> 64);
  }
  size_t NextGroup(size_t index) const {
    return index + kGroup >= capacity_ ? index + kGroup - capacity_ : index + kGroup;
  }
  size_t SlotIn(size_t group, uint64_t byte_bits) const {
    const size_t index = group + static_cast<size_t>(std::countr_zero(byte_bits)) / 8;
    return index >= capacity_ ? index - capacity_ : index;
  }

  uint64_t GroupAt(size_t index) const {
    uint64_t group;
    std::memcpy(&group, &control_[index], sizeof group);
    return group;
  }
  // The top bit of each byte of `word` that is zero. A byte above a zero
  // byte may be flagged too, so only the lowest flag is exact.
  static uint64_t ZeroBytes(uint64_t word) { return (word - kLowBits) & ~word & (kLowBits << 7); }
  void SetControl(size_t index, uint8_t control) {
    control_[index] = control;
    if (index < kGroup - 1) control_[capacity_ + index] = control;
  }

  // At three quarters, a probe for an absent key reads about eight control
  // bytes, one or two groups, and one for a present key two or three.
  static size_t MaxEntries(size_t capacity) { return capacity / 4 * 3 + capacity % 4 * 3 / 4; }
  static size_t CapacityFor(size_t count) { return std::max(kMinCapacity, count + (count + 2) / 3); }

  // The slot holding `key`, or capacity_ when it is absent: the probe ends
  // at the first empty slot, and compares keys only where the control byte
  // matches before it.
  size_t IndexOf(const Key& key) const {
    if (size_ == 0) return capacity_;
    const uint64_t hash = Hash(key);
    const uint64_t controls = ControlOf(hash) * kLowBits;
    for (size_t group = HomeSlot(hash);; group = NextGroup(group)) {
      const uint64_t word = GroupAt(group);
      const uint64_t empties = ZeroBytes(word);
      const uint64_t before_empty = empties == 0 ? ~uint64_t{0} : (empties & -empties) - 1;
      for (uint64_t matches = ZeroBytes(word ^ controls) & before_empty; matches != 0;
           matches &= matches - 1) {
        const size_t index = SlotIn(group, matches);
        if (slots_[index].entry.first == key) return index;
      }
      if (empties != 0) return capacity_;
    }
  }

  // The first empty slot of `key`'s probe sequence, now marked full. The
  // caller constructs the entry there.
  size_t EmptySlotFor(const Key& key) {
    const uint64_t hash = Hash(key);
    size_t group = HomeSlot(hash);
    while (ZeroBytes(GroupAt(group)) == 0) group = NextGroup(group);
    const size_t index = SlotIn(group, ZeroBytes(GroupAt(group)));
    SetControl(index, ControlOf(hash));
    return index;
  }

  size_t FirstFullFrom(size_t index) const {
    while (index < capacity_ && control_[index] == kEmpty) ++index;
    return index;
  }

  void ReserveForOneMore() {
    if (size_ + 1 > MaxEntries(capacity_)) {
      Rehash(std::max(CapacityFor(size_ + 1), capacity_ + capacity_ / 2));
    }
  }

  void Rehash(size_t capacity) {
    FlatIdMap old = std::move(*this);
    Allocate(capacity);
    for (const value_type& entry : old) {
      std::construct_at(&slots_[EmptySlotFor(entry.first)].entry, entry);
    }
    size_ = old.size_;
  }

  // Empty slots; size_ is left to the caller.
  void Allocate(size_t capacity) {
    control_ = std::make_unique<uint8_t[]>(capacity + kGroup - 1);  // zeroed: all kEmpty
    slots_ = std::make_unique<Slot[]>(capacity);
    capacity_ = capacity;
  }

  void CopyFrom(const FlatIdMap& other) {
    if (other.capacity_ == 0) {
      *this = FlatIdMap();
      return;
    }
    Allocate(other.capacity_);
    std::memcpy(control_.get(), other.control_.get(), capacity_ + kGroup - 1);
    for (size_t index = other.FirstFullFrom(0); index < capacity_;
         index = other.FirstFullFrom(index + 1)) {
      std::construct_at(&slots_[index].entry, other.slots_[index].entry);
    }
    size_ = other.size_;
  }

  void MoveFrom(FlatIdMap& other) {
    control_ = std::move(other.control_);
    slots_ = std::move(other.slots_);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
  }

  std::unique_ptr<uint8_t[]> control_;
  std::unique_ptr<Slot[]> slots_;
  size_t capacity_ = 0;  // zero, or kMinCapacity or more
  size_t size_ = 0;
};

}  // namespace corvantine::util
