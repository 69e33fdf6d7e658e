// Counting the bases of a FASTA line: the printable bytes other than space
// (0x21-0x7E), which is what genome tools take for a base.  Eight bytes at
// a time, as every line of a genome goes through here.
#ifndef ALPHABET_FORMATS_TEXT_BYTES_H_
#define ALPHABET_FORMATS_TEXT_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace formats {

inline bool IsBase(unsigned char c) { return c >= 0x21 && c <= 0x7e; }

namespace text_bytes_internal {

inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHigh = 0x8080808080808080ull;

// The high bit of each byte of `word` that is a base, the others clear.
// With the high bits cleared first no byte's sum can carry into the next.
inline uint64_t BaseBits(uint64_t word) {
  const uint64_t low = word & ~kHigh;
  const uint64_t at_least_21 = (low + (0x80 - 0x21) * kOnes) & kHigh;
  const uint64_t above_7e = (low + (0x80 - 0x7f) * kOnes) & kHigh;
  return at_least_21 & ~above_7e & ~(word & kHigh);
}

}  // namespace text_bytes_internal

// The bases among n bytes.
inline size_t CountBases(const char* p, size_t n) {
  size_t count = 0, i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    // The high bit of each base, moved to the low bit and summed into the
    // top byte by the multiply (a popcount instruction is not on every CPU
    // the wheel runs on).
    count += static_cast<size_t>(
        ((text_bytes_internal::BaseBits(word) >> 7) * text_bytes_internal::kOnes) >> 56);
  }
  for (; i < n; ++i) count += IsBase(static_cast<unsigned char>(p[i])) ? 1 : 0;
  return count;
}

// Whether every one of n bytes is a base.
inline bool AllBases(const char* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (text_bytes_internal::BaseBits(word) != text_bytes_internal::kHigh) return false;
  }
  for (; i < n; ++i) {
    if (!IsBase(static_cast<unsigned char>(p[i]))) return false;
  }
  return true;
}

}  // namespace formats

#endif  // ALPHABET_FORMATS_TEXT_BYTES_H_
