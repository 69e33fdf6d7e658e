#include "kernels/models.h"

#include "kernels/dispatch.h"
#include "kernels/scalar.h"
#include "kernels/text.h"

namespace kernels {

size_t ExpandRows(const uint8_t* codes, size_t n, const uint8_t* table, size_t rows,
                  size_t row_bytes, uint8_t* out) {
  // Every code is checked first, so that the loops below read no row
  // outside the table.
  size_t valid = n;
  if (rows < 256) valid = FirstAtLeast(codes, n, static_cast<uint8_t>(rows));
  const KernelTable& kernels = ActiveKernels();
  if (row_bytes == 4 && rows <= 16) {
    kernels.expand_rows_4(codes, valid, table, rows, out);
  } else if (row_bytes == 16) {
    kernels.expand_rows_16(codes, valid, table, rows, out);
  } else {
    scalar::ExpandRows(codes, valid, table, rows, row_bytes, out);
  }
  return valid;
}

void TranslateCodons(const uint8_t* nucleotides, size_t codons, const uint8_t* table,
                     uint8_t* out) {
  ActiveKernels().translate_codons(nucleotides, codons, table, out);
}

}  // namespace kernels
