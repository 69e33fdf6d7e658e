#include "native/symbol_table.h"

#include <cstring>

namespace native {
namespace {

constexpr uint64_t kSeed = 0xa0761d6478bd642fULL;
constexpr uint64_t kStep = 0xe7037ed1a0b428dbULL;
constexpr uint64_t kLast = 0x8ebc6af09c88c6e3ULL;
constexpr uint32_t kLongKey = 15;

// Folds a 64x64->128-bit product into 64 bits: every input bit reaches the
// low bits (the slot) and the high ones (the fingerprint).
inline uint64_t Fold(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline uint64_t Load32(const unsigned char* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

inline uint64_t Load64(const unsigned char* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// The bytes of a key of at most 8 bytes in one word, without reading past
// them.  Together with the length, the word tells every such key apart.
inline uint64_t Pack(const unsigned char* p, size_t bytes) {
  if (bytes >= 4) return Load32(p) | Load32(p + bytes - 4) << 32;
  if (bytes == 0) return 0;
  return uint64_t{p[0]} | uint64_t{p[bytes >> 1]} << 8 | uint64_t{p[bytes - 1]} << 16;
}

inline uint32_t WidthBits(int width) { return static_cast<uint32_t>(width == 4 ? 3 : width); }

inline uint64_t HashShort(uint64_t word, size_t bytes, int width) {
  return Fold(word ^ kSeed, kStep ^ ((uint64_t{bytes} << 2) ^ WidthBits(width)));
}

struct Digest {
  uint64_t hash;
  uint64_t word;  // packed bytes of a short key, 0 for a long one
  uint32_t tag;
};

Digest DigestOf(TextKey key) {
  const auto* p = static_cast<const unsigned char*>(key.data);
  const size_t bytes = key.bytes();
  uint64_t hash;
  uint64_t word = 0;
  if (bytes <= 8) {
    word = Pack(p, bytes);
    hash = HashShort(word, bytes, key.width);
  } else {
    const uint64_t shape = (uint64_t{bytes} << 2) ^ WidthBits(key.width);
    hash = kSeed ^ shape;
    size_t at = 0;
    for (; at + 8 < bytes; at += 8) hash = Fold(hash ^ Load64(p + at), kStep);
    hash = Fold(hash ^ Load64(p + bytes - 8), kLast);
  }
  const uint32_t length_bits = bytes <= 8 ? static_cast<uint32_t>(bytes) : kLongKey;
  const uint32_t tag =
      static_cast<uint32_t>(hash >> 40) << 8 | WidthBits(key.width) << 4 | length_bits;
  return {hash, word, tag};
}

size_t CapacityFor(size_t count) {
  // At most 5/8 full: a short probe for a miss, which lists of unknown
  // symbols make as often as hits.
  size_t capacity = 16;
  while (capacity / 8 * 5 < count) capacity *= 2;
  return capacity;
}

}  // namespace

SymbolTable::SymbolTable(size_t expected) {
  slots_.assign(CapacityFor(expected), Slot{0, 0, 0});
  mask_ = slots_.size() - 1;
}

size_t SymbolTable::Probe(TextKey key, uint64_t hash, uint64_t word, uint32_t tag) const {
  const size_t bytes = key.bytes();
  for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Slot& slot = slots_[i];
    if (slot.tag == 0) return i;
    if (slot.tag != tag) continue;
    if ((tag & 15) != kLongKey) {
      if (slot.word == word) return i;
      continue;
    }
    uint64_t stored;
    std::memcpy(&stored, text_.data() + slot.word, 8);
    if (stored == bytes && std::memcmp(text_.data() + slot.word + 8, key.data, bytes) == 0) {
      return i;
    }
  }
}

uint32_t SymbolTable::Find(TextKey key) const {
  const Digest digest = DigestOf(key);
  const Slot& slot = slots_[Probe(key, digest.hash, digest.word, digest.tag)];
  return slot.tag == 0 ? kAbsent : slot.code;
}

uint32_t SymbolTable::Insert(TextKey key, uint32_t code) {
  if ((count_ + 1) > slots_.size() / 8 * 5) Grow();
  const Digest digest = DigestOf(key);
  Slot& slot = slots_[Probe(key, digest.hash, digest.word, digest.tag)];
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
  const Digest digest = DigestOf(key);
  slots_[Probe(key, digest.hash, digest.word, digest.tag)].code = code;
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
