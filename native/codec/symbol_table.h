// Tables from symbol text to code, for the codec's lookups one symbol at a
// time (lists of symbols, single symbols, characters beyond U+00FF).
//
// A text is keyed by its stored form in a Python str: the width of its
// characters (1, 2 or 4 bytes) and the bytes themselves.  A str is always
// stored at the narrowest width that holds its characters, so two strs are
// equal exactly when their keys are, and an item is looked up without
// converting it.  The tables are built once, then only read: any number of
// threads may look up at once.  No Python in here.
//
// The keys are symbols that callers choose, and linear probing is only as
// good as the hash: keys that share a home slot line up one behind another.
// Both tables therefore hash with the library's keyed hash (alphabet/hash.h)
// and this process's secret seed, so that no caller can choose symbols that
// collide; tests that need the same layout on every run name a seed.
#ifndef ALPHABET_NATIVE_CODEC_SYMBOL_TABLE_H_
#define ALPHABET_NATIVE_CODEC_SYMBOL_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "alphabet/hash.h"

namespace native {

// The stored form of a text: `length` characters of `width` bytes each.
struct TextKey {
  const void* data;
  size_t length;
  int width;  // 1, 2 or 4

  size_t bytes() const { return length * static_cast<size_t>(width); }
};

namespace symbol_table_internal {

inline constexpr uint32_t kLongKey = 15;

inline uint64_t Load32(const unsigned char* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// The bytes of a key of at most 8 bytes in one word, without reading past
// them.  Together with the length, the word tells every such key apart, and
// gives its bytes back (Unpack).
inline uint64_t Pack(const unsigned char* p, size_t bytes) {
  if (bytes >= 4) return Load32(p) | Load32(p + bytes - 4) << 32;
  if (bytes == 0) return 0;
  return uint64_t{p[0]} | uint64_t{p[bytes >> 1]} << 8 | uint64_t{p[bytes - 1]} << 16;
}

inline void Unpack(uint64_t word, size_t bytes, unsigned char out[8]) {
  if (bytes >= 4) {
    const auto low = static_cast<uint32_t>(word), high = static_cast<uint32_t>(word >> 32);
    std::memcpy(out, &low, 4);
    std::memcpy(out + bytes - 4, &high, 4);
  } else if (bytes > 0) {
    out[0] = static_cast<unsigned char>(word);
    out[bytes >> 1] = static_cast<unsigned char>(word >> 8);
    out[bytes - 1] = static_cast<unsigned char>(word >> 16);
  }
}

inline uint32_t WidthBits(int width) { return static_cast<uint32_t>(width == 4 ? 3 : width); }

inline uint32_t TagOf(uint64_t hash, int width, uint32_t length_bits) {
  return static_cast<uint32_t>(hash >> 40) << 8 | WidthBits(width) << 4 | length_bits;
}

}  // namespace symbol_table_internal

// Text -> code, open addressing with linear probing.
class SymbolTable {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;

  // Room for `expected` texts without growing; hashed with `seed`.
  explicit SymbolTable(size_t expected = 0,
                       const alphabet::HashSeed& seed = alphabet::ProcessHashSeed());

  // Adds `key` with `code` unless it is present.  Returns the code it has
  // afterwards: `code`, or the one it already had.
  uint32_t Insert(TextKey key, uint32_t code);
  // Gives a present key a new code; adds it otherwise.
  void Assign(TextKey key, uint32_t code);

  // Inline for keys of up to 8 bytes (codons, most symbols): the hot path
  // of coding lists of symbols.  Forced, since with the keyed hash inside
  // GCC calls it instead, and the call per item doubled the time of coding
  // a list of codons.
  [[gnu::always_inline]] uint32_t Find(TextKey key) const {
    using namespace symbol_table_internal;
    const size_t bytes = key.bytes();
    if (bytes > 8) return FindLong(key);
    const auto* p = static_cast<const unsigned char*>(key.data);
    const uint64_t word = Pack(p, bytes);
    const uint64_t hash = Hash(p, bytes);
    const uint32_t tag = TagOf(hash, key.width, static_cast<uint32_t>(bytes));
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.tag == tag && slot.word == word) return slot.code;
      if (slot.tag == 0) return kAbsent;
    }
  }

  size_t size() const { return count_; }

  // The most slots that Find inspects for a key the table holds: one more
  // than the farthest any key sits from its home slot.  For tests to bound.
  size_t LongestProbe() const;

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

  struct Digest {
    uint64_t hash;
    uint64_t word;  // packed bytes of a short key, 0 for a long one
    uint32_t tag;
  };

  uint64_t Hash(const void* data, size_t bytes) const {
    return alphabet::HashText({static_cast<const char*>(data), bytes}, seed_);
  }
  Digest DigestOf(TextKey key) const;
  // The hash of the key in an occupied slot.
  uint64_t HashAt(const Slot& slot) const;

  // The slot holding `key`, or the empty slot where it would go.
  size_t Probe(TextKey key, const Digest& digest) const {
    for (size_t i = digest.hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.tag == digest.tag &&
          ((digest.tag & 15) != symbol_table_internal::kLongKey ? slot.word == digest.word
                                                                : LongKeyAt(slot, key))) {
        return i;
      }
      if (slot.tag == 0) return i;
    }
  }
  bool LongKeyAt(const Slot& slot, TextKey key) const;
  uint32_t FindLong(TextKey key) const;
  void Grow();

  alphabet::HashSeed seed_;
  std::vector<Slot> slots_;
  std::vector<char> text_;
  size_t count_ = 0;
  size_t mask_ = 0;
};

// Code point -> code for one-character symbols beyond U+00FF.
class CharTable {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;

  explicit CharTable(const alphabet::HashSeed& seed = alphabet::ProcessHashSeed()) : seed_(seed) {}

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

  // As SymbolTable's: the most slots a lookup of a present code point inspects.
  size_t LongestProbe() const;

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;  // no code point is that large
  struct Slot {
    uint32_t code_point = kEmpty;
    uint32_t code = 0;
  };
  size_t Home(uint32_t code_point) const {
    return static_cast<size_t>(alphabet::HashInteger(code_point, seed_)) & mask_;
  }
  void Grow();

  alphabet::HashSeed seed_;
  std::vector<Slot> slots_;
  size_t count_ = 0;
  size_t mask_ = 0;
};

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_SYMBOL_TABLE_H_
