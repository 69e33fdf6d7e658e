#include "native/symbol_table.h"

#include <cstring>

namespace native {
namespace symbol_table_internal {

uint64_t HashLong(const unsigned char* p, size_t bytes, int width) {
  uint64_t hash = kSeed ^ ((uint64_t{bytes} << 2) ^ WidthBits(width));
  size_t at = 0;
  for (; at + 8 < bytes; at += 8) {
    uint64_t word;
    std::memcpy(&word, p + at, 8);
    hash = Fold(hash ^ word, kStep);
  }
  uint64_t last;
  std::memcpy(&last, p + bytes - 8, 8);
  return Fold(hash ^ last, kLast);
}

}  // namespace symbol_table_internal

namespace {

using namespace symbol_table_internal;

// Tables are at most 5/8 full; one that fits in 1 MiB at 1/8 full is made
// that sparse from the start.  Few keys then share a home slot, and a lookup
// that ends at its first probe keeps the branches predictable, which for a
// small alphabet (codons) costs more than the memory.
constexpr size_t kSparseSlots = size_t{1} << 16;

size_t CapacityFor(size_t count) {
  size_t capacity = 16;
  while (capacity < count * 8 && capacity < kSparseSlots) capacity *= 2;
  while (capacity / 8 * 5 < count) capacity *= 2;
  return capacity;
}

}  // namespace

SymbolTable::SymbolTable(size_t expected) {
  slots_.assign(CapacityFor(expected), Slot{0, 0, 0});
  mask_ = slots_.size() - 1;
}

bool SymbolTable::LongKeyAt(const Slot& slot, TextKey key) const {
  uint64_t stored;
  std::memcpy(&stored, text_.data() + slot.word, 8);
  return stored == key.bytes() &&
         std::memcmp(text_.data() + slot.word + 8, key.data, key.bytes()) == 0;
}

uint32_t SymbolTable::FindLong(TextKey key) const {
  const Slot& slot = slots_[Probe(key, DigestOf(key))];
  return slot.tag == 0 ? kAbsent : slot.code;
}

uint32_t SymbolTable::Insert(TextKey key, uint32_t code) {
  if ((count_ + 1) > slots_.size() / 8 * 5) Grow();
  const Digest digest = DigestOf(key);
  Slot& slot = slots_[Probe(key, digest)];
  if (slot.tag != 0) return slot.code;
  slot.tag = digest.tag;
  slot.code = code;
  slot.word = digest.word;
  if ((digest.tag & 15) == kLongKey) {
    const uint64_t bytes = key.bytes();
    slot.word = text_.size();
    text_.resize(text_.size() + 8 + bytes);
    std::memcpy(text_.data() + slot.word, &bytes, 8);
    std::memcpy(text_.data() + slot.word + 8, key.data, bytes);
  }
  ++count_;
  return code;
}

void SymbolTable::Assign(TextKey key, uint32_t code) {
  if (Insert(key, code) == code) return;
  slots_[Probe(key, DigestOf(key))].code = code;
}

void SymbolTable::Grow() {
  // A short key's hash comes back from its packed word, a long key's from
  // its stored bytes.
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.size() * 2, Slot{0, 0, 0});
  mask_ = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.tag == 0) continue;
    const int width = (slot.tag >> 4 & 3) == 3 ? 4 : static_cast<int>(slot.tag >> 4 & 3);
    uint64_t hash;
    if ((slot.tag & 15) != kLongKey) {
      hash = HashShort(slot.word, slot.tag & 15, width);
    } else {
      uint64_t bytes;
      std::memcpy(&bytes, text_.data() + slot.word, 8);
      const TextKey key{text_.data() + slot.word + 8, bytes / static_cast<size_t>(width), width};
      hash = DigestOf(key).hash;
    }
    size_t i = hash & mask_;
    while (slots_[i].tag != 0) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

void CharTable::Assign(uint32_t code_point, uint32_t code) {
  if (slots_.empty() || (count_ + 1) > slots_.size() / 8 * 5) Grow();
  size_t i = Home(code_point);
  while (slots_[i].code_point != kEmpty && slots_[i].code_point != code_point) {
    i = (i + 1) & mask_;
  }
  if (slots_[i].code_point == kEmpty) ++count_;
  slots_[i] = {code_point, code};
}

void CharTable::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
  mask_ = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.code_point == kEmpty) continue;
    size_t i = Home(slot.code_point);
    while (slots_[i].code_point != kEmpty) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

}  // namespace native
