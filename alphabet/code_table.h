// CodeTable: the hash map from Value to code that an alphabet answers Encode
// from.  For a symbol list of length n it holds the integer entry i -> i for
// every position i, and for every distinct text the entry text -> the highest
// position at which the text stands.
//
// Keys are not copied.  Each entry is one 64-bit slot recording its kind, its
// code and a fingerprint of its hash; a text entry finds its text at its code
// in the symbol list.  So the table is always consulted together with the
// list it was built from, and that list must not change while the table is
// used; Alphabet keeps both, immutable, side by side.  This keeps a table of
// a million symbols at 32 MB where a map holding owned Value keys takes
// several times that, and building it is what dominates NewAlphabet (see
// bench/README.md).
//
// Open addressing with linear probing, at most half full, sized once when
// built: no entry is ever added later or removed.  Lookups only read, so any
// number of threads may call Find at once.
#ifndef ALPHABET_ALPHABET_CODE_TABLE_H_
#define ALPHABET_ALPHABET_CODE_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alphabet/value.h"

namespace alphabet {

class CodeTable {
 public:
  explicit CodeTable(const std::vector<std::string>& symbols);
  CodeTable(const CodeTable&) = delete;
  CodeTable& operator=(const CodeTable&) = delete;

  // The code stored for `key`, if any.  `symbols` is the list the table was
  // built from.  One probe sequence; never allocates.
  std::optional<int64_t> Find(const std::vector<std::string>& symbols, ValueView key) const {
    const uint64_t hash = ValueHash()(key);
    const uint64_t tag = Tag(hash, key.is_int());
    for (uint64_t i = hash & mask_;; i = (i + 1) & mask_) {
      const uint64_t slot = slots_[i];
      if (slot == kEmpty) return std::nullopt;
      if ((slot & ~kCodeMask) != tag) continue;
      const int64_t code = CodeOf(slot);
      if (key.is_int() ? code == key.integer() : symbols[code] == key.text()) return code;
    }
  }

  // Number of entries: n integers plus one per distinct text.
  size_t size() const { return size_; }

 private:
  // Slot layout, from the low bit up: code + 1 (40 bits, so that 0 marks an
  // empty slot; a list of 2^40 texts would not fit in memory), the kind (1
  // for an integer), and the top 23 bits of the hash, which rule out almost
  // every non-matching slot without touching the symbol list.
  static constexpr int kCodeBits = 40;
  static constexpr uint64_t kCodeMask = (uint64_t{1} << kCodeBits) - 1;
  static constexpr uint64_t kIntegerBit = uint64_t{1} << kCodeBits;
  static constexpr uint64_t kFingerprintMask = ~(kCodeMask | kIntegerBit);
  static constexpr uint64_t kEmpty = 0;

  static uint64_t Tag(uint64_t hash, bool is_int) {
    return (hash & kFingerprintMask) | (is_int ? kIntegerBit : 0);
  }
  static int64_t CodeOf(uint64_t slot) { return static_cast<int64_t>(slot & kCodeMask) - 1; }
  static uint64_t Slot(uint64_t tag, int64_t code) {
    return tag | static_cast<uint64_t>(code + 1);
  }

  template <class HashAt, class InsertAt>
  void InsertInBatches(size_t count, HashAt hash_at, InsertAt insert_at);
  void InsertText(const std::vector<std::string>& symbols, uint64_t hash, int64_t position);
  void InsertInteger(uint64_t hash, int64_t code);

  std::vector<uint64_t> slots_;
  uint64_t mask_;
  size_t size_ = 0;
};

}  // namespace alphabet

#endif  // ALPHABET_ALPHABET_CODE_TABLE_H_
