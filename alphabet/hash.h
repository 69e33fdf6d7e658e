// Hash functions for the two kinds of Value, keyed with a secret seed.  They
// are inline because they sit on the Encode path and in the inner loop of
// building a code table.
//
// Symbol lists come from callers, so a hash with fixed constants would let
// anyone who reads them craft thousands of texts that share one hash and
// make building a table quadratic.  Every block of a text is therefore mixed
// together with the seed: both words of a block are masked, one with a
// secret and one with the running state, before they are multiplied, so a
// caller who does not know the seed cannot choose a word that cancels the
// state.  Each process draws its own seed once, from the kernel's random
// source (ProcessHashSeed); tests and benchmarks that need the same hashes
// on every run name a seed instead.
//
// The mixing step folds a 64x64->128-bit product into 64 bits, which spreads
// every input bit over the whole result; tables take their slot from the low
// bits and a fingerprint from the high ones.  Hashes differ from process to
// process and must never be stored or shown.
#ifndef ALPHABET_ALPHABET_HASH_H_
#define ALPHABET_ALPHABET_HASH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace alphabet {
namespace hash_internal {

inline constexpr uint64_t Fold(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline uint64_t Read64(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

inline uint64_t Read32(const char* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

inline constexpr uint64_t kStep = 0xe7037ed1a0b428dbULL;
inline constexpr uint64_t kLast = 0x8ebc6af09c88c6e3ULL;
inline constexpr uint64_t kExpand = 0x9e3779b97f4a7c15ULL;

}  // namespace hash_internal

// The secret a hash is keyed with: three independent 64-bit words.  A plain
// value, copied into every table that hashes with it.
struct HashSeed {
  uint64_t text;     // starts the state of every text
  uint64_t block;    // masks the first word of every block of a text
  uint64_t integer;  // masks every integer

  // A seed expanded from one number, the same for the same number: for tests
  // and benchmarks that must see the same hashes on every run.
  static constexpr HashSeed FromNumber(uint64_t number) {
    using hash_internal::Fold, hash_internal::kExpand;
    return {Fold(number ^ 0xa0761d6478bd642fULL, kExpand),
            Fold(number ^ 0x589965cc75374cc3ULL, kExpand),
            Fold(number ^ 0x1d8e4e27c47d124fULL, kExpand)};
  }
};

// This process's seed: drawn from the kernel's random source on the first
// call, then the same for the life of the process (a forked child keeps its
// parent's, as it keeps its parent's tables).  Safe to call from any thread.
const HashSeed& ProcessHashSeed();

namespace hash_internal {
// A new seed from the kernel's random source, or (where it gives no bytes)
// from the time, the process id and where this code was loaded: what
// ProcessHashSeed draws once.
HashSeed DrawSeed();
}  // namespace hash_internal

// Equal texts hash alike under one seed.  Texts of up to 16 bytes are read as
// two words, overlapping when shorter, and longer ones in 16-byte blocks, the
// last block ending at the last byte; the length is part of the state, which
// keeps overlapping reads apart and makes trailing NULs count.
inline uint64_t HashText(std::string_view text, const HashSeed& seed) {
  using namespace hash_internal;
  const char* p = text.data();
  const size_t size = text.size();
  uint64_t state = seed.text ^ size;
  uint64_t first, second;
  if (size > 16) {
    const char* const last_block = p + size - 16;
    for (; p < last_block; p += 16) state = Fold(Read64(p) ^ seed.block, Read64(p + 8) ^ state);
    first = Read64(last_block);
    second = Read64(last_block + 8);
  } else if (size >= 8) {
    first = Read64(p);
    second = Read64(p + size - 8);
  } else if (size >= 4) {
    first = Read32(p);
    second = Read32(p + size - 4);
  } else if (size > 0) {
    // Covers every byte of 1 to 3: the middle one is the first or last of 2.
    first = static_cast<uint64_t>(static_cast<uint8_t>(p[0])) << 16 |
            static_cast<uint64_t>(static_cast<uint8_t>(p[size / 2])) << 8 |
            static_cast<uint8_t>(p[size - 1]);
    second = 0;
  } else {
    first = second = 0;
  }
  return Fold(Fold(first ^ seed.block, second ^ state), kLast);
}

// Integers are never chosen by callers in bulk (a table's integer keys are
// its positions), so one masked multiply is enough.
inline uint64_t HashInteger(int64_t integer, const HashSeed& seed) {
  return hash_internal::Fold(static_cast<uint64_t>(integer) ^ seed.integer, hash_internal::kStep);
}

}  // namespace alphabet

#endif  // ALPHABET_ALPHABET_HASH_H_
