// PageIndex: the registry's map from page number to a page's small record.
//
// Open addressing with linear probing and backward-shift deletion (no
// tombstones, so a long churn of pages never slows lookups down), at most
// half full.  Keys are scattered by Fibonacci hashing: page numbers come in
// runs and strides (every 64th page, say), which a plain mask would pile
// into a few clusters.  The value lives in the slot itself, so a lookup
// touches one slot and then the page's own data.
//
// The value must be trivially copyable: growing, shrinking and erasing move
// slots around by copy.  Any of them invalidates pointers into the index.
// Not synchronised; the registry guards it with its lock.
#ifndef ALPHABET_HANDLES_PAGE_INDEX_H_
#define ALPHABET_HANDLES_PAGE_INDEX_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

namespace handles {

template <class Value>
class PageIndex {
  static_assert(std::is_trivially_copyable_v<Value>);

 public:
  using Key = int64_t;  // a page number, >= 0

  PageIndex()
      : slots_(NewSlots(kMinCapacity)), capacity_(kMinCapacity), shift_(ShiftFor(kMinCapacity)) {}
  PageIndex(const PageIndex&) = delete;
  PageIndex& operator=(const PageIndex&) = delete;

  // The value of `key`, or null.
  Value* Find(Key key) const {
    for (size_t i = Home(key);; i = (i + 1) & (capacity_ - 1)) {
      Slot& slot = slots_[i];
      if (slot.key == key) return &slot.value;
      if (slot.key == kFree) return nullptr;
    }
  }

  // Adds `key`, which must be absent, with a value-initialised value, and
  // returns it.  Throws std::bad_alloc when the index cannot grow; it is then
  // unchanged.
  Value* Insert(Key key) {
    if ((size_ + 1) * 2 > capacity_) Rehash(NewSlots(capacity_ * 2), capacity_ * 2);
    size_t i = Home(key);
    while (slots_[i].key != kFree) i = (i + 1) & (capacity_ - 1);
    slots_[i].key = key;
    slots_[i].value = Value{};
    ++size_;
    return &slots_[i].value;
  }

  // Removes `key` if present.  Never fails: when the index has emptied
  // enough to shrink, shrinking is skipped if memory for the smaller table
  // cannot be had.
  void Erase(Key key) noexcept {
    const size_t mask = capacity_ - 1;
    size_t hole = Home(key);
    while (slots_[hole].key != key) {
      if (slots_[hole].key == kFree) return;
      hole = (hole + 1) & mask;
    }
    // Pull back every later slot of the probe run that may sit in the hole,
    // that is, whose home is not cyclically after the hole.
    for (size_t i = (hole + 1) & mask; slots_[i].key != kFree; i = (i + 1) & mask) {
      if (((i - Home(slots_[i].key)) & mask) >= ((i - hole) & mask)) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole] = Slot{};
    --size_;
    if (capacity_ > kMinCapacity && size_ * 8 < capacity_) {
      const size_t smaller = capacity_ / 2;
      if (std::unique_ptr<Slot[]> slots = NewSlots(smaller, std::nothrow)) {
        Rehash(std::move(slots), smaller);
      }
    }
  }

  // Calls `visit(key, value&)` for every entry, in no particular order.
  template <class Visitor>
  void ForEach(Visitor&& visit) const {
    for (size_t i = 0; i < capacity_; ++i) {
      if (slots_[i].key != kFree) visit(slots_[i].key, slots_[i].value);
    }
  }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }

 private:
  static constexpr Key kFree = -1;
  static constexpr size_t kMinCapacity = 16;

  struct Slot {
    Key key = kFree;
    Value value{};
  };

  static std::unique_ptr<Slot[]> NewSlots(size_t capacity) {
    return std::unique_ptr<Slot[]>(new Slot[capacity]);
  }
  static std::unique_ptr<Slot[]> NewSlots(size_t capacity, std::nothrow_t) {
    return std::unique_ptr<Slot[]>(new (std::nothrow) Slot[capacity]);
  }

  // 2^64 / golden ratio: multiplying by it spreads consecutive and strided
  // keys over the top bits, which pick the slot.
  size_t Home(Key key) const {
    return static_cast<size_t>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15u) >> shift_);
  }
  static int ShiftFor(size_t capacity) { return 64 - std::countr_zero(capacity); }

  void Rehash(std::unique_ptr<Slot[]> slots, size_t capacity) noexcept {
    std::unique_ptr<Slot[]> old = std::move(slots_);
    const size_t old_capacity = capacity_;
    slots_ = std::move(slots);
    capacity_ = capacity;
    shift_ = ShiftFor(capacity);
    for (size_t j = 0; j < old_capacity; ++j) {
      if (old[j].key == kFree) continue;
      size_t i = Home(old[j].key);
      while (slots_[i].key != kFree) i = (i + 1) & (capacity_ - 1);
      slots_[i] = old[j];
    }
  }

  std::unique_ptr<Slot[]> slots_;
  size_t capacity_;  // a power of two
  int shift_;        // 64 - log2(capacity_): Home keeps the top bits
  size_t size_ = 0;
};

}  // namespace handles

#endif  // ALPHABET_HANDLES_PAGE_INDEX_H_
