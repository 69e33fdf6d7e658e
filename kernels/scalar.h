// Internal: the portable kernels, which define what every other kernel must
// compute.  The vector kernels also finish their inputs' tails with them and
// hand them a block in which something was refused, to find where.
// Contracts as in translate.h, text.h and models.h.
#ifndef ALPHABET_KERNELS_SCALAR_H_
#define ALPHABET_KERNELS_SCALAR_H_

#include <cstddef>
#include <cstdint>

#include "kernels/byte_map.h"

namespace kernels::scalar {

size_t Translate(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map);

// For T = uint16_t, uint32_t, uint64_t.
template <class T>
size_t TranslateWide(const T* in, uint8_t* out, size_t n, const ByteMap& map);

// ReverseTranslateChecked restricted to the inputs [begin, end) of an input
// of n bytes: out[n - 1 - i] for each of them; returns the first refused
// index or `end`.
size_t ReverseTranslateRange(const uint8_t* in, uint8_t* out, size_t n, size_t begin, size_t end,
                             const ByteMap& map);
size_t ReverseTranslate(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map);

size_t FirstAtLeast(const uint8_t* in, size_t n, uint8_t threshold);

// As models.h, for codes checked to be below `rows`.
void ExpandRows(const uint8_t* codes, size_t n, const uint8_t* table, size_t rows, size_t row_bytes,
                uint8_t* out);
void ExpandRows4(const uint8_t* codes, size_t n, const uint8_t* table, size_t rows, uint8_t* out);
void ExpandRows16(const uint8_t* codes, size_t n, const uint8_t* table, size_t rows, uint8_t* out);
void TranslateCodons(const uint8_t* nucleotides, size_t codons, const uint8_t* table, uint8_t* out);

}  // namespace kernels::scalar

#endif  // ALPHABET_KERNELS_SCALAR_H_
