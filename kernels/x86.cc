// The kernels for SSSE3, SSE4.1, AVX2 and AVX-512 VBMI.
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

namespace alphabet::kernels {
namespace {

namespace ssse3 {
#define ALPHABET_KERNEL_TARGET __attribute__((target("ssse3")))
#define ALPHABET_KERNEL_PTEST 0
// clang-format off: the operations must come before the rows that use them.
#include "kernels/x86_sse_ops.inc"
#include "kernels/x86_rows.inc"
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
// clang-format on
#undef ALPHABET_KERNEL_PTEST
#undef ALPHABET_KERNEL_TARGET
}  // namespace sse41

namespace avx2 {
#define ALPHABET_KERNEL_TARGET __attribute__((target("avx2")))

using Vec = __m256i;
constexpr size_t kWidth = 32;

ALPHABET_KERNEL_TARGET inline Vec Load(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
ALPHABET_KERNEL_TARGET inline void Store(void* p, Vec v) {
  _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}
ALPHABET_KERNEL_TARGET inline Vec Splat8(uint8_t byte) {
  return _mm256_set1_epi8(static_cast<char>(byte));
}
// pshufb works within each 16-byte lane: the row goes into both.
ALPHABET_KERNEL_TARGET inline Vec LoadRow(const uint8_t* row) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
}
ALPHABET_KERNEL_TARGET inline Vec Shuffle(Vec table, Vec index) {
  return _mm256_shuffle_epi8(table, index);
}
ALPHABET_KERNEL_TARGET inline Vec Or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
ALPHABET_KERNEL_TARGET inline Vec Xor(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
ALPHABET_KERNEL_TARGET inline Vec AddsU8(Vec a, Vec b) { return _mm256_adds_epu8(a, b); }
ALPHABET_KERNEL_TARGET inline Vec MaxU8(Vec a, Vec b) { return _mm256_max_epu8(a, b); }
ALPHABET_KERNEL_TARGET inline Vec CmpEq8(Vec a, Vec b) { return _mm256_cmpeq_epi8(a, b); }
ALPHABET_KERNEL_TARGET inline uint64_t ByteMask(Vec v) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(v));
}
ALPHABET_KERNEL_TARGET inline bool AnySet(Vec v) { return !_mm256_testz_si256(v, v); }
ALPHABET_KERNEL_TARGET inline Vec Reverse(Vec v) {
  const Vec within_lanes = _mm256_shuffle_epi8(
      v, _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,  //
                          15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
  return _mm256_permute4x64_epi64(within_lanes, 0x4E);
}

// As in x86_sse_ops.inc.  The packing instructions work within 16-byte
// lanes, so their results come out interleaved by lane and are put back in
// order with a cross-lane permutation.
ALPHABET_KERNEL_TARGET inline Vec Narrow(const uint16_t* p, Vec& high) {
  const Vec a = Load(p), b = Load(p + 16);
  const Vec low = _mm256_set1_epi16(0xFF);
  high = Or(high, _mm256_andnot_si256(low, Or(a, b)));
  const Vec packed = _mm256_packus_epi16(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
  return _mm256_permute4x64_epi64(packed, 0xD8);
}
ALPHABET_KERNEL_TARGET inline Vec Narrow(const uint32_t* p, Vec& high) {
  const Vec a = Load(p), b = Load(p + 8), c = Load(p + 16), d = Load(p + 24);
  const Vec low = _mm256_set1_epi32(0xFF);
  high = Or(high, _mm256_andnot_si256(low, Or(Or(a, b), Or(c, d))));
  const Vec ab = _mm256_packs_epi32(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
  const Vec cd = _mm256_packs_epi32(_mm256_and_si256(c, low), _mm256_and_si256(d, low));
  // 4-byte groups come out as a0 b0 c0 d0 a1 b1 c1 d1 (a0: the first four
  // codes of a, a1: its last four).
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(ab, cd),
                                     _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}
// Two 16-byte halves, each narrowed as in x86_sse_ops.inc.
ALPHABET_KERNEL_TARGET inline __m128i NarrowHalf(const uint64_t* p, __m128i& high) {
  const __m128i low = _mm_set1_epi64x(0xFF);
  __m128i quarters[4];
  for (int q = 0; q < 4; ++q) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * q));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * q + 2));
    high = _mm_or_si128(high, _mm_andnot_si128(low, _mm_or_si128(a, b)));
    quarters[q] = _mm_packs_epi32(_mm_and_si128(a, low), _mm_and_si128(b, low));
  }
  return _mm_packus_epi16(_mm_packs_epi32(quarters[0], quarters[1]),
                          _mm_packs_epi32(quarters[2], quarters[3]));
}
ALPHABET_KERNEL_TARGET inline Vec Narrow(const uint64_t* p, Vec& high) {
  __m128i high_half = _mm_setzero_si128();
  const __m128i first = NarrowHalf(p, high_half);
  const __m128i second = NarrowHalf(p + 16, high_half);
  high = Or(high, _mm256_set_m128i(high_half, high_half));
  return _mm256_set_m128i(second, first);
}

#include "kernels/x86_rows.inc"
#undef ALPHABET_KERNEL_TARGET
}  // namespace avx2

// AVX-512 VBMI: vpermi2b looks a byte up in 128 entries at once (two
// registers of the table), so a whole map takes two lookups and a blend by
// the byte's top bit, and one lookup when no byte from 0x80 up has an image.
// Masks give the position of a refused byte directly and handle each tail
// in one masked step: masked-off bytes are neither read nor written.
namespace avx512 {
#define ALPHABET_KERNEL_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

constexpr size_t kWidth = 64;

alignas(64) constexpr uint8_t kAscending[64] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
    22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};

// The first `count` bits, for count < 64.
inline uint64_t FirstBits(size_t count) { return (uint64_t{1} << count) - 1; }

struct Tables {
  __m512i quarter[4];
  __m512i marker;
  bool check;     // some byte has no image
  bool low_only;  // every byte with an image is below 0x80
};

ALPHABET_KERNEL_TARGET inline void PrepareTables(const ByteMap& map, Tables& tables) {
  for (int q = 0; q < 4; ++q) tables.quarter[q] = _mm512_loadu_si512(map.table() + 64 * q);
  tables.marker = _mm512_set1_epi8(static_cast<char>(map.marker()));
  tables.check = !map.all_valid();
  tables.low_only = map.valid_below_0x80();
}

// The image of each byte; the bytes without one are added to `refused`.
ALPHABET_KERNEL_TARGET inline __m512i Lookup(const Tables& tables, __m512i bytes,
                                             __mmask64& refused) {
  const __mmask64 top = _mm512_movepi8_mask(bytes);
  __m512i images = _mm512_permutex2var_epi8(tables.quarter[0], bytes, tables.quarter[1]);
  if (tables.low_only) {
    refused |= top;
  } else {
    images = _mm512_mask_blend_epi8(
        top, images, _mm512_permutex2var_epi8(tables.quarter[2], bytes, tables.quarter[3]));
  }
  if (tables.check) refused |= _mm512_cmpeq_epi8_mask(images, tables.marker);
  return images;
}

// Stores the images before the first refused byte and returns its index.
ALPHABET_KERNEL_TARGET inline size_t StopAt(uint8_t* out, size_t i, __m512i images,
                                            __mmask64 refused) {
  _mm512_mask_storeu_epi8(out + i, (refused & -refused) - 1, images);
  return i + static_cast<size_t>(std::countr_zero(refused));
}

ALPHABET_KERNEL_TARGET size_t Translate(const uint8_t* in, uint8_t* out, size_t n,
                                        const ByteMap& map) {
  Tables tables;
  PrepareTables(map, tables);
  size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) {
    __mmask64 refused = 0;
    const __m512i images = Lookup(tables, _mm512_loadu_si512(in + i), refused);
    if (refused != 0) return StopAt(out, i, images, refused);
    _mm512_storeu_si512(out + i, images);
  }
  if (i == n) return n;
  const __mmask64 take = FirstBits(n - i);
  __mmask64 refused = 0;
  const __m512i images = Lookup(tables, _mm512_maskz_loadu_epi8(take, in + i), refused);
  refused &= take;
  if (refused != 0) return StopAt(out, i, images, refused);
  _mm512_mask_storeu_epi8(out + i, take, images);
  return n;
}

// Narrow(p, take, high): the low bytes of the codes at p selected by `take`
// (a bit per code, 64 codes at most), 0 for the others; `high` gets a bit
// for each code above 255.
ALPHABET_KERNEL_TARGET inline __m512i Narrow(const uint16_t* p, __mmask64 take, __mmask64& high) {
  const __m512i limit = _mm512_set1_epi16(255);
  const __m512i a = _mm512_maskz_loadu_epi16(static_cast<__mmask32>(take), p);
  const __m512i b = _mm512_maskz_loadu_epi16(static_cast<__mmask32>(take >> 32), p + 32);
  high = _mm512_cmpgt_epu16_mask(a, limit) | (uint64_t{_mm512_cmpgt_epu16_mask(b, limit)} << 32);
  return _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi16_epi8(a)),
                            _mm512_cvtepi16_epi8(b), 1);
}
ALPHABET_KERNEL_TARGET inline __m512i Narrow(const uint32_t* p, __mmask64 take, __mmask64& high) {
  const __m512i limit = _mm512_set1_epi32(255);
  __m128i parts[4];
  high = 0;
  for (int q = 0; q < 4; ++q) {
    const __m512i codes =
        _mm512_maskz_loadu_epi32(static_cast<__mmask16>(take >> 16 * q), p + 16 * q);
    high |= uint64_t{_mm512_cmpgt_epu32_mask(codes, limit)} << 16 * q;
    parts[q] = _mm512_cvtepi32_epi8(codes);
  }
  const __m512i low = _mm512_inserti32x4(_mm512_castsi128_si512(parts[0]), parts[1], 1);
  return _mm512_inserti32x4(_mm512_inserti32x4(low, parts[2], 2), parts[3], 3);
}
ALPHABET_KERNEL_TARGET inline __m512i Narrow(const uint64_t* p, __mmask64 take, __mmask64& high) {
  const __m512i limit = _mm512_set1_epi64(255);
  __m128i eighths[8];
  high = 0;
  for (int e = 0; e < 8; ++e) {
    const __m512i codes = _mm512_maskz_loadu_epi64(static_cast<__mmask8>(take >> 8 * e), p + 8 * e);
    high |= uint64_t{_mm512_cmpgt_epu64_mask(codes, limit)} << 8 * e;
    eighths[e] = _mm512_cvtepi64_epi8(codes);  // 8 bytes, then zeros
  }
  __m512i bytes = _mm512_castsi128_si512(_mm_unpacklo_epi64(eighths[0], eighths[1]));
  bytes = _mm512_inserti32x4(bytes, _mm_unpacklo_epi64(eighths[2], eighths[3]), 1);
  bytes = _mm512_inserti32x4(bytes, _mm_unpacklo_epi64(eighths[4], eighths[5]), 2);
  return _mm512_inserti32x4(bytes, _mm_unpacklo_epi64(eighths[6], eighths[7]), 3);
}

template <class U>
ALPHABET_KERNEL_TARGET size_t TranslateWide(const U* in, uint8_t* out, size_t n,
                                            const ByteMap& map) {
  Tables tables;
  PrepareTables(map, tables);
  for (size_t i = 0; i < n; i += kWidth) {
    const __mmask64 take = n - i >= kWidth ? ~__mmask64{0} : FirstBits(n - i);
    __mmask64 refused;
    const __m512i codes = Narrow(in + i, take, refused);
    const __m512i images = Lookup(tables, codes, refused);
    refused &= take;
    if (refused != 0) return StopAt(out, i, images, refused);
    _mm512_mask_storeu_epi8(out + i, take, images);
  }
  return n;
}

ALPHABET_KERNEL_TARGET size_t ReverseTranslate(const uint8_t* in, uint8_t* out, size_t n,
                                               const ByteMap& map) {
  Tables tables;
  PrepareTables(map, tables);
  const __m512i ascending = _mm512_load_si512(kAscending);
  const __m512i descending = _mm512_sub_epi8(_mm512_set1_epi8(63), ascending);
  size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) {
    __mmask64 refused = 0;
    const __m512i images = Lookup(tables, _mm512_loadu_si512(in + i), refused);
    if (refused != 0) return scalar::ReverseTranslateRange(in, out, n, i, n, map);
    _mm512_storeu_si512(out + (n - i - kWidth), _mm512_permutexvar_epi8(descending, images));
  }
  if (i == n) return n;
  // The last `left` inputs go to out[0, left), the last of them first.
  const size_t left = n - i;
  const __mmask64 take = FirstBits(left);
  __mmask64 refused = 0;
  const __m512i images = Lookup(tables, _mm512_maskz_loadu_epi8(take, in + i), refused);
  if ((refused & take) != 0) return scalar::ReverseTranslateRange(in, out, n, i, n, map);
  const __m512i from = _mm512_sub_epi8(_mm512_set1_epi8(static_cast<char>(left - 1)), ascending);
  _mm512_mask_storeu_epi8(out, take, _mm512_permutexvar_epi8(from, images));
  return n;
}

ALPHABET_KERNEL_TARGET size_t FirstAtLeast(const uint8_t* in, size_t n, uint8_t threshold) {
  const __m512i limit = _mm512_set1_epi8(static_cast<char>(threshold));
  size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) {
    const __mmask64 at_least = _mm512_cmpge_epu8_mask(_mm512_loadu_si512(in + i), limit);
    if (at_least != 0) return i + static_cast<size_t>(std::countr_zero(at_least));
  }
  if (i == n) return n;
  const __mmask64 take = FirstBits(n - i);
  const __mmask64 at_least =
      _mm512_mask_cmpge_epu8_mask(take, _mm512_maskz_loadu_epi8(take, in + i), limit);
  return at_least != 0 ? i + static_cast<size_t>(std::countr_zero(at_least)) : n;
}

// As the CopyWithout of x86_rows.inc, on 64-byte blocks.
ALPHABET_KERNEL_TARGET size_t CopyWithout(const uint8_t* in, size_t n, uint8_t* out, uint8_t drop,
                                          uint8_t drop_too) {
  const __m512i first = _mm512_set1_epi8(static_cast<char>(drop));
  const __m512i second = _mm512_set1_epi8(static_cast<char>(drop_too));
  size_t i = 0, kept = 0;
  for (; i + 2 * kWidth <= n; i += kWidth) {
    const __m512i bytes = _mm512_loadu_si512(in + i);
    uint64_t dropped = _mm512_cmpeq_epi8_mask(bytes, first) | _mm512_cmpeq_epi8_mask(bytes, second);
    if (dropped == 0) {
      _mm512_storeu_si512(out + kept, bytes);
      kept += kWidth;
      continue;
    }
    size_t run = i;
    for (; dropped != 0; dropped &= dropped - 1) {
      const size_t at = i + static_cast<size_t>(std::countr_zero(dropped));
      _mm512_storeu_si512(out + kept, _mm512_loadu_si512(in + run));
      kept += at - run;
      run = at + 1;
    }
    _mm512_storeu_si512(out + kept, _mm512_loadu_si512(in + run));
    kept += i + kWidth - run;
  }
  return kept + scalar::CopyWithout(in + i, n - i, out + kept, drop, drop_too);
}

#undef ALPHABET_KERNEL_TARGET
}  // namespace avx512

#define ALPHABET_KERNEL_TABLE(set)                                                               \
  KernelTable {                                                                                  \
    set::Translate, set::TranslateWide<uint16_t>, set::TranslateWide<uint32_t>,                  \
        set::TranslateWide<uint64_t>, set::ReverseTranslate, set::FirstAtLeast, set::CopyWithout \
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

}  // namespace alphabet::kernels

#else  // not x86-64

namespace alphabet::kernels {

const KernelTable* X86Kernels(Isa) { return nullptr; }

}  // namespace alphabet::kernels

#endif
