#include "kernels/scalar.h"

#include <algorithm>
#include <cstring>

#include "kernels/dispatch.h"

namespace kernels::scalar {
namespace {

constexpr uint64_t kEveryByte = 0x0101010101010101;

// Whether any byte of `word` equals the byte repeated in `repeated`.  XOR
// makes those bytes zero; (x - 1) & ~x sets the top bit of the lowest zero
// byte, and of no byte when there is none.
bool HasByte(uint64_t word, uint64_t repeated) {
  const uint64_t x = word ^ repeated;
  return ((x - kEveryByte) & ~x & (kEveryByte << 7)) != 0;
}

// Bytes scanned before testing: the loop over a block compiles to vector
// code on its own.
constexpr size_t kScanBlock = 64;

}  // namespace

size_t Translate(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map) {
  const uint8_t* table = map.table();
  const bool check = !map.all_valid();
  const uint8_t marker = map.marker();
  const uint64_t markers = kEveryByte * marker;
  // Eight bytes are read as one word and their images gathered into another,
  // stored only once checked: one load and one store per eight bytes instead
  // of eight of each (and `out` may be `in`).  Byte j of a word is the j-th
  // byte in memory or the (7-j)-th, as the host orders them, the same way in
  // and out.
  auto images_of = [table](uint64_t bytes) {
    auto image = [&](int j) { return uint64_t{table[(bytes >> (8 * j)) & 0xFF]} << (8 * j); };
    return image(0) | image(1) | image(2) | image(3) | image(4) | image(5) | image(6) | image(7);
  };
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t bytes;
    std::memcpy(&bytes, in + i, 8);
    const uint64_t images = images_of(bytes);
    if (check && HasByte(images, markers)) break;
    std::memcpy(out + i, &images, 8);
  }
  for (; i < n; ++i) {
    const uint8_t image = table[in[i]];
    if (check && image == marker) return i;
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

size_t ReverseTranslateRange(const uint8_t* in, uint8_t* out, size_t n, size_t begin, size_t end,
                             const ByteMap& map) {
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
  for (; i + kScanBlock <= n; i += kScanBlock) {
    uint8_t highest = 0;
    for (size_t j = 0; j < kScanBlock; ++j) highest = std::max(highest, in[i + j]);
    if (highest >= threshold) break;
  }
  for (; i < n; ++i) {
    if (in[i] >= threshold) return i;
  }
  return n;
}

namespace {

template <size_t kBytes>
void ExpandFixed(const uint8_t* codes, size_t n, const uint8_t* table, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) std::memcpy(out + i * kBytes, table + codes[i] * kBytes, kBytes);
}

}  // namespace

void ExpandRows(const uint8_t* codes, size_t n, const uint8_t* table, size_t /*rows*/,
                size_t row_bytes, uint8_t* out) {
  // A row of a fixed size is one load and one store.
  switch (row_bytes) {
    case 1: return ExpandFixed<1>(codes, n, table, out);
    case 2: return ExpandFixed<2>(codes, n, table, out);
    case 4: return ExpandFixed<4>(codes, n, table, out);
    case 8: return ExpandFixed<8>(codes, n, table, out);
    case 16: return ExpandFixed<16>(codes, n, table, out);
    case 32: return ExpandFixed<32>(codes, n, table, out);
    default:
      for (size_t i = 0; i < n; ++i) {
        std::memcpy(out + i * row_bytes, table + codes[i] * row_bytes, row_bytes);
      }
  }
}

void ExpandRows4(const uint8_t* codes, size_t n, const uint8_t* table, size_t /*rows*/,
                 uint8_t* out) {
  ExpandFixed<4>(codes, n, table, out);
}

void ExpandRows16(const uint8_t* codes, size_t n, const uint8_t* table, size_t /*rows*/,
                  uint8_t* out) {
  ExpandFixed<16>(codes, n, table, out);
}

void TranslateCodons(const uint8_t* nucleotides, size_t codons, const uint8_t* table,
                     uint8_t* out) {
  for (size_t i = 0; i < codons; ++i) {
    const uint8_t* codon = nucleotides + 3 * i;
    out[i] = table[codon[0] << 8 | codon[1] << 4 | codon[2]];
  }
}

}  // namespace kernels::scalar

namespace kernels {

const KernelTable kScalarKernels = {
    scalar::Translate,
    scalar::TranslateWide<uint16_t>,
    scalar::TranslateWide<uint32_t>,
    scalar::TranslateWide<uint64_t>,
    scalar::ReverseTranslate,
    scalar::FirstAtLeast,
    scalar::ExpandRows4,
    scalar::ExpandRows16,
    scalar::TranslateCodons,
};

}  // namespace kernels
