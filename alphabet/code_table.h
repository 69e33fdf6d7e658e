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
//
// Linear probing is only as good as the hash: keys that share a home slot
// line up one behind another.  The table therefore hashes with a ValueHash
// keyed with the process's secret seed (or with one given when it is built,
// for reproducible tests), so that no caller can choose symbols that collide.
// BasicCodeTable accepts any hash with the same Text and Integer members,
// which lets a benchmark build the very same table with another hash.
#ifndef ALPHABET_ALPHABET_CODE_TABLE_H_
#define ALPHABET_ALPHABET_CODE_TABLE_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alphabet/value.h"

namespace alphabet {

template <class Hash>
class BasicCodeTable {
 public:
  explicit BasicCodeTable(const std::vector<std::string>& symbols, Hash hash = Hash());
  BasicCodeTable(const BasicCodeTable&) = delete;
  BasicCodeTable& operator=(const BasicCodeTable&) = delete;

  // The code stored for `key`, if any.  `symbols` is the list the table was
  // built from.  One probe sequence; never allocates.
  std::optional<int64_t> Find(const std::vector<std::string>& symbols, ValueView key) const {
    const uint64_t hash = key.is_int() ? hash_.Integer(key.integer()) : hash_.Text(key.text());
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

  // The most slots that Find inspects for a key the table holds: one more
  // than the farthest any entry sits from its home slot.  Hashes every entry
  // again; it is there for tests to bound.
  size_t LongestProbe(const std::vector<std::string>& symbols) const;

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

  // Insertions into a large table each wait for a cache miss on the home
  // slot.  Hashing a batch of keys first and prefetching their home slots
  // lets those misses overlap instead of being paid one after another; this
  // more than triples the build speed of large tables.
  static constexpr size_t kBatch = 16;

  static uint64_t Tag(uint64_t hash, bool is_int) {
    return (hash & kFingerprintMask) | (is_int ? kIntegerBit : 0);
  }
  static int64_t CodeOf(uint64_t slot) { return static_cast<int64_t>(slot & kCodeMask) - 1; }
  static uint64_t Slot(uint64_t tag, int64_t code) { return tag | static_cast<uint64_t>(code + 1); }

  template <class HashAt, class InsertAt>
  void InsertInBatches(size_t count, HashAt hash_at, InsertAt insert_at);
  void InsertText(const std::vector<std::string>& symbols, uint64_t hash, int64_t position);
  void InsertInteger(uint64_t hash, int64_t code);

  const Hash hash_;
  std::vector<uint64_t> slots_;
  uint64_t mask_;
  size_t size_ = 0;
};

using CodeTable = BasicCodeTable<ValueHash>;
// Compiled once, in code_table.cc.
extern template class BasicCodeTable<ValueHash>;

template <class Hash>
BasicCodeTable<Hash>::BasicCodeTable(const std::vector<std::string>& symbols, Hash hash)
    : hash_(std::move(hash)) {
  // At most 2n entries, and at least twice as many slots keeps probe runs
  // short.  One allocation: the final size is known before the first insert.
  const size_t n = symbols.size();
  slots_.assign(std::bit_ceil(std::max<size_t>(1, 4 * n)), kEmpty);
  mask_ = slots_.size() - 1;
  // Texts in ascending position, a later position replacing an earlier one
  // for the same text, so each text ends up with its last position.
  InsertInBatches(
      n, [&](size_t i) { return hash_.Text(symbols[i]); },
      [&](size_t i, uint64_t hash) { InsertText(symbols, hash, static_cast<int64_t>(i)); });
  InsertInBatches(
      n, [&](size_t i) { return hash_.Integer(static_cast<int64_t>(i)); },
      [&](size_t i, uint64_t hash) { InsertInteger(hash, static_cast<int64_t>(i)); });
}

template <class Hash>
size_t BasicCodeTable<Hash>::LongestProbe(const std::vector<std::string>& symbols) const {
  size_t longest = 0;
  for (uint64_t i = 0; i <= mask_; ++i) {
    const uint64_t slot = slots_[i];
    if (slot == kEmpty) continue;
    const int64_t code = CodeOf(slot);
    const uint64_t hash = (slot & kIntegerBit) ? hash_.Integer(code) : hash_.Text(symbols[code]);
    longest = std::max<size_t>(longest, ((i - hash) & mask_) + 1);
  }
  return longest;
}

template <class Hash>
template <class HashAt, class InsertAt>
void BasicCodeTable<Hash>::InsertInBatches(size_t count, HashAt hash_at, InsertAt insert_at) {
  uint64_t hashes[kBatch];
  for (size_t begin = 0; begin < count; begin += kBatch) {
    const size_t batch = std::min(kBatch, count - begin);
    for (size_t j = 0; j < batch; ++j) {
      hashes[j] = hash_at(begin + j);
      __builtin_prefetch(&slots_[hashes[j] & mask_], /*rw=*/1);
    }
    for (size_t j = 0; j < batch; ++j) insert_at(begin + j, hashes[j]);
  }
}

template <class Hash>
void BasicCodeTable<Hash>::InsertText(const std::vector<std::string>& symbols, uint64_t hash,
                                      int64_t position) {
  const uint64_t tag = Tag(hash, /*is_int=*/false);
  for (uint64_t i = hash & mask_;; i = (i + 1) & mask_) {
    uint64_t& slot = slots_[i];
    if (slot == kEmpty) {
      slot = Slot(tag, position);
      ++size_;
      return;
    }
    if ((slot & ~kCodeMask) == tag && symbols[CodeOf(slot)] == symbols[position]) {
      slot = Slot(tag, position);
      return;
    }
  }
}

template <class Hash>
void BasicCodeTable<Hash>::InsertInteger(uint64_t hash, int64_t code) {
  // Each integer is inserted once, so there is no earlier entry to replace.
  uint64_t i = hash & mask_;
  while (slots_[i] != kEmpty) i = (i + 1) & mask_;
  slots_[i] = Slot(Tag(hash, /*is_int=*/true), code);
  ++size_;
}

}  // namespace alphabet

#endif  // ALPHABET_ALPHABET_CODE_TABLE_H_
