#include "kernels/scalar.h"

#include <cstring>

#include "kernels/dispatch.h"

namespace alphabet::kernels::scalar {
namespace {

// Bytes looked up before testing for a refusal: one test per block instead of
// one branch per byte.
constexpr size_t kBlock = 16;

}  // namespace

size_t Translate(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map) {
  const uint8_t* table = map.table();
  if (map.all_valid()) {
    for (size_t i = 0; i < n; ++i) out[i] = table[in[i]];
    return n;
  }
  const uint8_t marker = map.marker();
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    // Images go to `block` first: with `out` == `in`, a refused block must
    // still hold its input for the byte-by-byte pass below.
    uint8_t block[kBlock];
    bool refused = false;
    for (size_t j = 0; j < kBlock; ++j) {
      block[j] = table[in[i + j]];
      refused |= block[j] == marker;
    }
    if (refused) break;
    std::memcpy(out + i, block, kBlock);
  }
  for (; i < n; ++i) {
    const uint8_t image = table[in[i]];
    if (image == marker) return i;
    out[i] = image;
  }
  return n;
}

template <class T>
size_t TranslateWide(const T* in, uint8_t* out, size_t n, const ByteMap& map) {
  static_assert(sizeof(T) > 1 && T(-1) > T(0), "unsigned codes wider than a byte");
  const uint8_t* table = map.table();
  const bool check = !map.all_valid();
  const uint8_t marker = map.marker();
  for (size_t i = 0; i < n; ++i) {
    if (in[i] > 255) return i;
    const uint8_t image = table[in[i]];
    if (check && image == marker) return i;
    out[i] = image;
  }
  return n;
}

template size_t TranslateWide(const uint16_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWide(const uint32_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWide(const uint64_t*, uint8_t*, size_t, const ByteMap&);

size_t ReverseTranslateRange(const uint8_t* in, uint8_t* out, size_t n, size_t begin,
                             size_t end, const ByteMap& map) {
  const uint8_t* table = map.table();
  const bool check = !map.all_valid();
  const uint8_t marker = map.marker();
  for (size_t i = begin; i < end; ++i) {
    const uint8_t image = table[in[i]];
    if (check && image == marker) return i;
    out[n - 1 - i] = image;
  }
  return end;
}

size_t ReverseTranslate(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map) {
  return ReverseTranslateRange(in, out, n, 0, n, map);
}

size_t FirstAtLeast(const uint8_t* in, size_t n, uint8_t threshold) {
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    bool found = false;
    for (size_t j = 0; j < kBlock; ++j) found |= in[i + j] >= threshold;
    if (found) break;
  }
  for (; i < n; ++i) {
    if (in[i] >= threshold) return i;
  }
  return n;
}

size_t CopyWithout(const uint8_t* in, size_t n, uint8_t* out, uint8_t drop, uint8_t drop_too) {
  // Every byte is written and a kept one advances the end: no branch to
  // mispredict.  The write position never passes the read position, so `out`
  // may be `in`.
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t byte = in[i];
    out[kept] = byte;
    kept += byte != drop && byte != drop_too;
  }
  return kept;
}

}  // namespace alphabet::kernels::scalar

namespace alphabet::kernels {

const KernelTable kScalarKernels = {
    scalar::Translate,        scalar::TranslateWide<uint16_t>, scalar::TranslateWide<uint32_t>,
    scalar::TranslateWide<uint64_t>, scalar::ReverseTranslate, scalar::FirstAtLeast,
    scalar::CopyWithout,
};

}  // namespace alphabet::kernels
