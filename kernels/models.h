// Bulk kernels for model inputs and translation: each code's row of a table
// (one-hot rows, and any fixed-size row per code), and codons through a
// genetic code's table.
//
// Same terms as translate.h: the active instruction set, borrowed pointers,
// no state, safe from any thread; `n` counts elements and nothing is read or
// written outside the buffers.
#ifndef ALPHABET_KERNELS_MODELS_H_
#define ALPHABET_KERNELS_MODELS_H_

#include <cstddef>
#include <cstdint>

namespace kernels {

// out[i * row_bytes + j] = table[codes[i] * row_bytes + j], for i < n and
// j < row_bytes: the row of each code, `rows` rows in all.  Returns the
// index of the first code >= rows (the rows before it are written, the rest
// of `out` is unspecified), or n.  `out` holds n * row_bytes bytes and
// overlaps neither input.
size_t ExpandRows(const uint8_t* codes, size_t n, const uint8_t* table, size_t rows,
                  size_t row_bytes, uint8_t* out);

// The nucleotides of codons as the codes 0..15 of A C G T, the ambiguity
// codes R Y S W K M B D H V N and the gap, in that order; a codon's index is
// first << 8 | second << 4 | third.
inline constexpr size_t kCodonTableSize = 4096;

// out[i] = table[index of the codon nucleotides[3i, 3i + 3)], for i < codons:
// `table` holds kCodonTableSize bytes, and every nucleotide code must be
// below 16 (the caller checks).  `out` holds `codons` bytes and overlaps
// neither input.
void TranslateCodons(const uint8_t* nucleotides, size_t codons, const uint8_t* table, uint8_t* out);

}  // namespace kernels

#endif  // ALPHABET_KERNELS_MODELS_H_
