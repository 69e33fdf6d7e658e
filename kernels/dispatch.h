// Internal: the kernels of one instruction set, as a table of functions, and
// the table of the active set.  The public entry points (translate.h, text.h,
// kmers.h) call through it; each entry keeps the contract of its public
// counterpart.
#ifndef ALPHABET_KERNELS_DISPATCH_H_
#define ALPHABET_KERNELS_DISPATCH_H_

#include <cstddef>
#include <cstdint>

#include "kernels/byte_map.h"
#include "kernels/isa.h"

namespace kernels {

struct KernelTable {
  size_t (*translate)(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map);
  // Signed codes come here as their unsigned counterparts of the same width:
  // a negative code is then at least 0x80 << 8 and refused like any code
  // above 255.  (Not for 8 bits, see TranslateWideChecked.)
  size_t (*translate_u16)(const uint16_t* in, uint8_t* out, size_t n, const ByteMap& map);
  size_t (*translate_u32)(const uint32_t* in, uint8_t* out, size_t n, const ByteMap& map);
  size_t (*translate_u64)(const uint64_t* in, uint8_t* out, size_t n, const ByteMap& map);
  size_t (*reverse_translate)(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map);
  size_t (*first_at_least)(const uint8_t* in, size_t n, uint8_t threshold);
  // ExpandRows (models.h) for rows of 4 bytes, at most 16 of them (one-hot
  // rows of the four bases in bytes), the codes checked beforehand.
  void (*expand_rows_4)(const uint8_t* codes, size_t n, const uint8_t* table, size_t rows,
                        uint8_t* out);
  // The same for rows of 16 bytes (one-hot rows of the four bases in
  // floats), any number of rows.
  void (*expand_rows_16)(const uint8_t* codes, size_t n, const uint8_t* table, size_t rows,
                         uint8_t* out);
  void (*translate_codons)(const uint8_t* nucleotides, size_t codons, const uint8_t* table,
                           uint8_t* out);
};

// The scalar kernels (scalar.cc).
extern const KernelTable kScalarKernels;

// The kernels of an x86 set other than kScalar (x86.cc); nullptr on other
// machines.  Calling one is only allowed once IsSupported(isa).
const KernelTable* X86Kernels(Isa isa);

// The kernels of the active set.
const KernelTable& ActiveKernels();

}  // namespace kernels

#endif  // ALPHABET_KERNELS_DISPATCH_H_
