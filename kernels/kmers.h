// The k-mers of a code sequence as integers: the k codes from each position
// read as a number in base `base`, the first code most significant.  With
// DNA (base 4) and k = 3, the codes 2 0 3 3 give the k-mers 2*16 + 0*4 + 3 =
// 35 and 0*16 + 3*4 + 3 = 15.
//
// Same terms as translate.h: borrowed pointers, no state, safe from any
// thread.  Portable code, the same for every instruction set but for the
// scan for codes out of range.
#ifndef ALPHABET_KERNELS_KMERS_H_
#define ALPHABET_KERNELS_KMERS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kernels {

// The largest k with base^k <= 2^64, so that every k-mer fits in 64 bits
// (64 for base 2, 32 for 4, 27 for 5, 14 for 20 and 21, 8 for 256); SIZE_MAX
// for bases 0 and 1, which bound nothing.
size_t MaxKmerLength(uint64_t base);

// The number of k-mers in n codes: n - k + 1, or 0 when k is 0 or above n.
size_t KmerCount(size_t n, size_t k);

// out[i] = sum over j < k of codes[i + j] * base^(k - 1 - j), for each
// i < KmerCount(n, k).  Every code is checked, even when there is no k-mer:
// returns the index of the first code >= base, and `out` is then
// unspecified, or n.  `out` must hold KmerCount(n, k) values and not overlap
// `codes`.  Callers refuse k > MaxKmerLength(base); for such k the k-mers
// are taken modulo 2^64, and nothing outside `out` is written either way.
size_t Kmers(const uint8_t* codes, size_t n, size_t k, uint64_t base, uint64_t* out);

// As Kmers, each window's k-mer the smaller of its own and that of its
// reverse complement: the codes complement[codes[i + k - 1]], ...,
// complement[codes[i]] read the same way.  `complement` holds an entry below
// `base` for every code below `base`.
size_t CanonicalKmers(const uint8_t* codes, size_t n, size_t k, uint64_t base,
                      const uint8_t* complement, uint64_t* out);

// The invertible 64-bit mix that orders k-mers for minimizers: x ^= x >> 31;
// x *= 0x7fb5d329728ea185; x ^= x >> 27; x *= 0x81dadef4bc2dd44d;
// x ^= x >> 33 (each step can be undone, so distinct k-mers never collide).
uint64_t MixKmer(uint64_t kmer);

// The minimizers of `count` k-mers, the first at position `first_position`:
// for each window of w consecutive k-mers, the one with the smallest
// MixKmer (the leftmost among equal ones), each position reported once
// while it stays the minimum of the windows in turn, and not at all when it
// is `last`, the position reported before (UINT64_MAX for none).  Writes
// their positions and k-mers and returns how many; `last` becomes the last
// position reported.  positions and values hold count - w + 1 entries.
// Windows are those within these k-mers only; w >= 1 and count below 2^32.
// `scratch` is working memory that calls over a sequence's chunks reuse.
struct MinimizerScratch {
  std::vector<uint64_t> hashes;
  std::vector<uint32_t> prefix;
  std::vector<uint32_t> suffix;
};
size_t Minimizers(const uint64_t* kmers, size_t count, size_t w, uint64_t first_position,
                  uint64_t& last, uint64_t* positions, uint64_t* values, MinimizerScratch& scratch);

}  // namespace kernels

#endif  // ALPHABET_KERNELS_KMERS_H_
