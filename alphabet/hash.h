// Hash functions for the two kinds of Value, inline because they sit on the
// Encode path and in the inner loop of building a code table.
//
// Both fold a 64x64->128-bit product into 64 bits, which spreads every input
// bit over the whole result; tables take their slot from the low bits and a
// fingerprint from the high ones.  Not meant to resist chosen inputs.
#ifndef ALPHABET_ALPHABET_HASH_H_
#define ALPHABET_ALPHABET_HASH_H_

#include <cstdint>
#include <cstring>
#include <string_view>

namespace alphabet {
namespace hash_internal {

inline uint64_t Fold(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline constexpr uint64_t kSeed = 0xa0761d6478bd642fULL;
inline constexpr uint64_t kStep = 0xe7037ed1a0b428dbULL;
inline constexpr uint64_t kLast = 0x8ebc6af09c88c6e3ULL;
inline constexpr uint64_t kInteger = 0x589965cc75374cc3ULL;

}  // namespace hash_internal

inline uint64_t HashText(std::string_view text) {
  using namespace hash_internal;
  const char* p = text.data();
  size_t left = text.size();
  // The length goes in first, so that texts differing only in trailing NULs
  // (which the zero-padded last word cannot tell apart) still differ.
  uint64_t h = kSeed ^ left;
  for (; left > 8; left -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = Fold(h ^ word, kStep);
  }
  uint64_t last = 0;
  if (left > 0) std::memcpy(&last, p, left);
  return Fold(h ^ last, kLast);
}

inline uint64_t HashInteger(int64_t integer) {
  using namespace hash_internal;
  return Fold(static_cast<uint64_t>(integer) ^ kInteger, kStep);
}

}  // namespace alphabet

#endif  // ALPHABET_ALPHABET_HASH_H_
