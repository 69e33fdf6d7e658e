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

}  // namespace kernels

#endif  // ALPHABET_KERNELS_KMERS_H_
