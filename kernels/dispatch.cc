#include "kernels/dispatch.h"

namespace kernels {

const KernelTable& ActiveKernels() {
  const Isa isa = Active();
  if (isa == Isa::kScalar) return kScalarKernels;
  const KernelTable* table = X86Kernels(isa);
  return table != nullptr ? *table : kScalarKernels;
}

}  // namespace kernels
