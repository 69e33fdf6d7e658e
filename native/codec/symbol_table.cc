#include "native/codec/symbol_table.h"

#include <algorithm>
#include <cstring>

namespace native {
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

SymbolTable::SymbolTable(size_t expected, const alphabet::HashSeed& seed) : seed_(seed) {
  slots_.assign(CapacityFor(expected), Slot{0, 0, 0});
  mask_ = slots_.size() - 1;
}

SymbolTable::Digest SymbolTable::DigestOf(TextKey key) const {
  const auto* p = static_cast<const unsigned char*>(key.data);
  const size_t bytes = key.bytes();
  const uint64_t hash = Hash(p, bytes);
  if (bytes > 8) return {hash, 0, TagOf(hash, key.width, kLongKey)};
  return {hash, Pack(p, bytes), TagOf(hash, key.width, static_cast<uint32_t>(bytes))};
}

uint64_t SymbolTable::HashAt(const Slot& slot) const {
  if ((slot.tag & 15) != kLongKey) {
    unsigned char bytes[8];
    Unpack(slot.word, slot.tag & 15, bytes);
    return Hash(bytes, slot.tag & 15);
  }
  uint64_t bytes;
  std::memcpy(&bytes, text_.data() + slot.word, 8);
  return Hash(text_.data() + slot.word + 8, bytes);
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
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.size() * 2, Slot{0, 0, 0});
  mask_ = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.tag == 0) continue;
    size_t i = HashAt(slot) & mask_;
    while (slots_[i].tag != 0) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

size_t SymbolTable::LongestProbe() const {
  size_t longest = 0;
  for (size_t i = 0; i <= mask_; ++i) {
    if (slots_[i].tag == 0) continue;
    longest = std::max<size_t>(longest, ((i - HashAt(slots_[i])) & mask_) + 1);
  }
  return longest;
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

size_t CharTable::LongestProbe() const {
  size_t longest = 0;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].code_point == kEmpty) continue;
    longest = std::max<size_t>(longest, ((i - Home(slots_[i].code_point)) & mask_) + 1);
  }
  return longest;
}

}  // namespace native
