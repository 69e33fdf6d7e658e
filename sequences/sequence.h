// A typed sequence: a window (start, length, capacity) on a storage block of
// zero-filled slots that several sequences may share.
//
// Sub-ranges share their source's block, so a write through one is seen
// through every sequence whose window covers that slot.  An append writes in
// place while the window has spare capacity (possibly into a slot another
// sequence sees); otherwise it moves this sequence alone to a new, larger
// block.  A block lives while any sequence refers to it.
//
// Not thread-safe: the module calls every sequence operation with the
// interpreter lock held, which serialises them.
#ifndef ALPHABET_SEQUENCES_SEQUENCE_H_
#define ALPHABET_SEQUENCES_SEQUENCE_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace sequences {

template <class Storage>
class Sequence {
 public:
  using Elem = typename Storage::Elem;

  // An empty sequence without storage.
  Sequence() = default;

  // A sequence over `block` that owns `length` slots and no spare capacity.
  static Sequence Adopt(std::shared_ptr<Elem[]> block, int64_t length) {
    Sequence s;
    s.block_ = std::move(block);
    s.length_ = s.capacity_ = length;
    return s;
  }

  int64_t length() const { return length_; }
  int64_t capacity() const { return capacity_; }

  bool InBounds(int64_t index) const { return 0 <= index && index < length_; }
  bool SubRangeInBounds(int64_t st, int64_t ed) const {
    return 0 <= st && st <= ed && ed <= capacity_;
  }

  // The element at `index`; requires InBounds(index).
  Elem& operator[](int64_t index) { return block_[start_ + index]; }
  const Elem& operator[](int64_t index) const { return block_[start_ + index]; }

  // First element of the window (null without storage).
  const Elem* data() const { return block_ ? &block_[start_] : nullptr; }

  // A sequence over the same block covering [st, ed) of this window, able to
  // reach up to this window's capacity; requires SubRangeInBounds(st, ed).
  Sequence SubRange(int64_t st, int64_t ed) const {
    Sequence s;
    if (st < capacity_) {  // an empty range at the very end needs no block
      s.block_ = block_;
      s.start_ = start_ + st;
    }
    s.length_ = ed - st;
    s.capacity_ = capacity_ - st;
    return s;
  }

  // Adds `value` at the end.  May throw std::bad_alloc, leaving the sequence
  // unchanged.
  void Append(Elem value) {
    if (length_ == capacity_) Grow();
    block_[start_ + length_] = std::move(value);
    ++length_;
  }

 private:
  // Moves to a new block of about twice the length, so that a run of appends
  // costs amortised constant time per element.
  void Grow() {
    const int64_t new_capacity = std::max<int64_t>(2 * length_, 4);
    std::shared_ptr<Elem[]> grown = NewBlock(new_capacity);
    // An empty sequence may have no block at all: there is nothing to carry
    // over, and indexing a null block would be undefined even to take an
    // address.
    if (length_ > 0) {
      Elem* first = &block_[start_];
      if constexpr (std::is_trivially_copyable_v<Elem>) {
        std::memcpy(grown.get(), first, length_ * sizeof(Elem));
      } else if (block_.use_count() == 1) {
        // Nobody else sees the old block: its elements can be moved.
        std::move(first, first + length_, grown.get());
      } else {
        std::copy(first, first + length_, grown.get());
      }
    }
    block_ = std::move(grown);
    start_ = 0;
    capacity_ = new_capacity;
  }

  // A zero-filled block of `size` slots.  For plain values it comes from
  // calloc, which hands out fresh memory from the system already zeroed
  // instead of writing every slot first; appends then touch each page once.
  static std::shared_ptr<Elem[]> NewBlock(int64_t size) {
    if constexpr (std::is_trivially_copyable_v<Elem>) {
      void* memory = std::calloc(static_cast<size_t>(size), sizeof(Elem));
      if (memory == nullptr) throw std::bad_alloc();
      return std::shared_ptr<Elem[]>(static_cast<Elem*>(memory), [](Elem* p) { std::free(p); });
    } else {
      return std::make_shared<Elem[]>(size);
    }
  }

  std::shared_ptr<Elem[]> block_;
  int64_t start_ = 0;
  int64_t length_ = 0;
  int64_t capacity_ = 0;
};

// One line for trace output: the first elements and the length.
template <class Storage>
std::string Describe(const Sequence<Storage>& s) {
  constexpr int64_t kShown = 8;
  std::string out = "[";
  for (int64_t i = 0; i < std::min(s.length(), kShown); ++i) {
    if (i > 0) out += ' ';
    out += Storage::Render(s[i]);
  }
  if (s.length() > kShown) out += " ...";
  out += "] len " + std::to_string(s.length());
  return out;
}

}  // namespace sequences

#endif  // ALPHABET_SEQUENCES_SEQUENCE_H_
