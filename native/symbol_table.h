// Tables from symbol text to code, for the codec's lookups one symbol at a
// time (lists of symbols, single symbols, characters beyond U+00FF).
//
// A text is keyed by its stored form in a Python str: the width of its
// characters (1, 2 or 4 bytes) and the bytes themselves.  A str is always
// stored at the narrowest width that holds its characters, so two strs are
// equal exactly when their keys are, and an item is looked up without
// converting it.  The tables are built once, then only read: any number of
// threads may look up at once.  No Python in here.
#ifndef ALPHABET_NATIVE_SYMBOL_TABLE_H_
#define ALPHABET_NATIVE_SYMBOL_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace native {

// The stored form of a text: `length` characters of `width` bytes each.
struct TextKey {
  const void* data;
  size_t length;
  int width;  // 1, 2 or 4

  size_t bytes() const { return length * static_cast<size_t>(width); }
};

// Text -> code, open addressing with linear probing.
class SymbolTable {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;

  // Room for `expected` texts without growing.
  explicit SymbolTable(size_t expected = 0);

  // Adds `key` with `code` unless it is present.  Returns the code it has
  // afterwards: `code`, or the one it already had.
  uint32_t Insert(TextKey key, uint32_t code);
  // Gives a present key a new code; adds it otherwise.
  void Assign(TextKey key, uint32_t code);

  uint32_t Find(TextKey key) const;

  size_t size() const { return count_; }

 private:
  // 16 bytes.  `tag` is 0 for an empty slot; otherwise it holds a fingerprint
  // of the hash (bits 8..31), the key's width (bits 4..5: 1, 2 or 3 for 1, 2
  // or 4 bytes) and its length in bytes when at most 8 (bits 0..3; 15 for a
  // longer key).  A short key's bytes are packed into `word`; a longer key's
  // length and bytes are stored in text_ at offset `word`.
  struct Slot {
    uint64_t word;
    uint32_t tag;
    uint32_t code;
  };

  // The slot holding `key`, or the empty slot where it would go.
  size_t Probe(TextKey key, uint64_t hash, uint64_t word, uint32_t tag) const;
  void Grow();

  std::vector<Slot> slots_;
  std::vector<char> text_;
  size_t count_ = 0;
  size_t mask_ = 0;
};

// Code point -> code for one-character symbols beyond U+00FF.
class CharTable {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;

  void Assign(uint32_t code_point, uint32_t code);
  uint32_t Find(uint32_t code_point) const {
    if (count_ == 0) return kAbsent;
    for (size_t i = Home(code_point);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.code_point == code_point) return slot.code;
      if (slot.code_point == kEmpty) return kAbsent;
    }
  }
  size_t size() const { return count_; }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;  // no code point is that large
  struct Slot {
    uint32_t code_point = kEmpty;
    uint32_t code = 0;
  };
  size_t Home(uint32_t code_point) const {
    return static_cast<size_t>((code_point * 0x9E3779B97F4A7C15ULL) >> 32) & mask_;
  }
  void Grow();

  std::vector<Slot> slots_;
  size_t count_ = 0;
  size_t mask_ = 0;
};

}  // namespace native

#endif  // ALPHABET_NATIVE_SYMBOL_TABLE_H_
