// The kernels for SSSE3, SSE4.1, AVX2 and AVX-512 VBMI.  Each set's vector
// operations are in x86_<set>_ops.inc; the kernels of the 16- and 32-byte
// sets are written once on them in x86_rows.inc (and on 16-byte vectors in
// x86_models.inc), those of AVX-512 in x86_avx512_kernels.inc and
// x86_avx512_models.inc.
//
// This file is compiled for baseline x86-64 like every other: only the
// functions marked with a target attribute may use the wider instructions,
// and all of them sit in an anonymous namespace, so the linker can never
// pick one of their copies for code that runs before the CPU has been
// checked (as it could an inline function compiled in a file built with
// -mavx2).  They use intrinsics and each other; what else they call is
// compiled for the baseline.  They are reached only through the tables at
// the bottom, and those only once Supported() lists the set.
#include "kernels/dispatch.h"

#if defined(__x86_64__)

// GCC 12 warns about the deliberately undefined vectors inside its own
// AVX-512 intrinsics (the warning sits in the header; newer GCC is quiet).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <bit>
#include <cstddef>
#include <cstdint>

#include "kernels/scalar.h"

namespace kernels {
namespace {

namespace ssse3 {
#define ALPHABET_KERNEL_TARGET __attribute__((target("ssse3")))
#define ALPHABET_KERNEL_PTEST 0
// clang-format off: the operations must come before the rows that use them.
#include "kernels/x86_sse_ops.inc"
#include "kernels/x86_rows.inc"
#include "kernels/x86_models.inc"
// clang-format on
#undef ALPHABET_KERNEL_PTEST
#undef ALPHABET_KERNEL_TARGET
}  // namespace ssse3

namespace sse41 {
#define ALPHABET_KERNEL_TARGET __attribute__((target("sse4.1")))
#define ALPHABET_KERNEL_PTEST 1
// clang-format off: the operations must come before the rows that use them.
#include "kernels/x86_sse_ops.inc"
#include "kernels/x86_rows.inc"
#include "kernels/x86_models.inc"
// clang-format on
#undef ALPHABET_KERNEL_PTEST
#undef ALPHABET_KERNEL_TARGET
}  // namespace sse41

namespace avx2 {
#define ALPHABET_KERNEL_TARGET __attribute__((target("avx2")))
// clang-format off: the operations must come before the rows that use them.
#include "kernels/x86_avx2_ops.inc"
#include "kernels/x86_rows.inc"
#include "kernels/x86_models.inc"
// clang-format on
#undef ALPHABET_KERNEL_TARGET
}  // namespace avx2

namespace avx512 {
#define ALPHABET_KERNEL_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))
// clang-format off: the operations must come before the kernels that use them.
#include "kernels/x86_avx512_ops.inc"
#include "kernels/x86_avx512_kernels.inc"
#include "kernels/x86_avx512_models.inc"
// clang-format on
#undef ALPHABET_KERNEL_TARGET
}  // namespace avx512

#define ALPHABET_KERNEL_TABLE(set)                                                                \
  KernelTable {                                                                                   \
    set::Translate, set::TranslateWide<uint16_t>, set::TranslateWide<uint32_t>,                   \
        set::TranslateWide<uint64_t>, set::ReverseTranslate, set::FirstAtLeast, set::ExpandRows4, \
        set::ExpandRows16, set::TranslateCodons                                                   \
  }
const KernelTable kSsse3Kernels = ALPHABET_KERNEL_TABLE(ssse3);
const KernelTable kSse41Kernels = ALPHABET_KERNEL_TABLE(sse41);
const KernelTable kAvx2Kernels = ALPHABET_KERNEL_TABLE(avx2);
const KernelTable kAvx512VbmiKernels = ALPHABET_KERNEL_TABLE(avx512);
#undef ALPHABET_KERNEL_TABLE

}  // namespace

const KernelTable* X86Kernels(Isa isa) {
  switch (isa) {
    case Isa::kScalar: return nullptr;
    case Isa::kSsse3: return &kSsse3Kernels;
    case Isa::kSse41: return &kSse41Kernels;
    case Isa::kAvx2: return &kAvx2Kernels;
    case Isa::kAvx512Vbmi: return &kAvx512VbmiKernels;
  }
  return nullptr;
}

}  // namespace kernels

#else  // not x86-64

namespace kernels {

const KernelTable* X86Kernels(Isa) { return nullptr; }

}  // namespace kernels

#endif
