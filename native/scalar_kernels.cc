#include "native/scalar_kernels.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace native::kernels {
namespace {

// Bytes looked up before testing for a refusal: one test per block instead
// of one branch per byte.
constexpr size_t kBlock = 32;

// Each byte of `word` that equals `byte` gets its top bit set, the others
// none (exact: the subtraction is done on 7-bit lanes, so no lane borrows).
inline uint64_t MatchingBytes(uint64_t word, uint8_t byte) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const uint64_t x = word ^ (0x0101010101010101ULL * byte);
  return ~(((x & kLow7) + kLow7) | x | kLow7);
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// Eight images gathered into one word; the input comes as a word too, so a
// block costs one load per eight bytes besides the table's.
inline uint64_t Translate8(uint64_t in, const uint8_t* table) {
  uint64_t out = 0;
  for (int shift = 0; shift < 64; shift += 8) {
    out |= uint64_t{table[(in >> shift) & 0xFF]} << shift;
  }
  return out;
}

}  // namespace

ByteMap::ByteMap(std::span<const int32_t, 256> images) {
  bool image_used[256] = {};
  int valid = 0;
  for (int byte = 0; byte < 256; ++byte) {
    const int32_t image = images[byte];
    if (image < 0 || image > 255) continue;
    image_used[image] = true;
    ++valid;
  }
  all_valid_ = valid == 256;
  if (!all_valid_) {
    // Codes are small, so the top byte values are almost always free.
    int marker = 255;
    while (image_used[marker]) --marker;
    marker_ = static_cast<uint8_t>(marker);
  }
  for (int byte = 0; byte < 256; ++byte) {
    const int32_t image = images[byte];
    table_[byte] = image >= 0 && image <= 255 ? static_cast<uint8_t>(image) : marker_;
  }
}

size_t TranslateChecked(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map) {
  const uint8_t* table = map.table();
  size_t i = 0;
  if (map.all_valid()) {
    for (; i + 8 <= n; i += 8) {
      const uint64_t images = Translate8(Load64(in + i), table);
      std::memcpy(out + i, &images, 8);
    }
    for (; i < n; ++i) out[i] = table[in[i]];
    return n;
  }
  const uint8_t marker = map.marker();
  for (; i + kBlock <= n; i += kBlock) {
    // The images go to `block` first: with `out` == `in`, a refused block
    // must still hold its input for the byte-by-byte pass below.
    uint64_t block[kBlock / 8];
    uint64_t refused = 0;
    for (size_t j = 0; j < kBlock / 8; ++j) {
      block[j] = Translate8(Load64(in + i + 8 * j), table);
      refused |= MatchingBytes(block[j], marker);
    }
    if (refused != 0) break;
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
size_t TranslateWideChecked(const T* in, uint8_t* out, size_t n, const ByteMap& map) {
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

template size_t TranslateWideChecked(const uint16_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWideChecked(const uint32_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWideChecked(const uint64_t*, uint8_t*, size_t, const ByteMap&);

size_t ReverseTranslateChecked(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map) {
  const uint8_t* table = map.table();
  const bool check = !map.all_valid();
  const uint8_t marker = map.marker();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t images = __builtin_bswap64(Translate8(Load64(in + i), table));
    if (check && MatchingBytes(images, marker) != 0) break;
    std::memcpy(out + n - 8 - i, &images, 8);
  }
  for (; i < n; ++i) {
    const uint8_t image = table[in[i]];
    if (check && image == marker) return i;
    out[n - 1 - i] = image;
  }
  return n;
}

template <class T>
size_t Kmers(const T* codes, size_t n, size_t k, uint64_t base, uint64_t* out) {
  for (size_t i = 0; i < n; ++i) {
    if (uint64_t{codes[i]} >= base) return i;
  }
  if (n < k) return n;
  if (base != 0 && (base & (base - 1)) == 0) {
    // bits * k <= 64, so a shift by bits (< 64) of k - 1 digits loses none.
    const int bits = __builtin_ctzll(base);
    const uint64_t mask = bits * k >= 64 ? ~uint64_t{0} : (uint64_t{1} << (bits * k)) - 1;
    uint64_t index = 0;
    for (size_t i = 0; i + 1 < k; ++i) index = (index << bits) | codes[i];
    for (size_t i = k - 1; i < n; ++i) {
      index = ((index << bits) | codes[i]) & mask;
      out[i + 1 - k] = index;
    }
    return n;
  }
  // Wrapping arithmetic is exact: every true intermediate is below base**k.
  uint64_t lead = 1;  // base**(k-1)
  for (size_t i = 0; i + 1 < k; ++i) lead *= base;
  uint64_t index = 0;
  for (size_t i = 0; i + 1 < k; ++i) index = index * base + codes[i];
  for (size_t i = k - 1; i < n; ++i) {
    index = index * base + codes[i];
    out[i + 1 - k] = index;
    index -= codes[i + 1 - k] * lead;
  }
  return n;
}

template size_t Kmers(const uint8_t*, size_t, size_t, uint64_t, uint64_t*);
template size_t Kmers(const uint16_t*, size_t, size_t, uint64_t, uint64_t*);
template size_t Kmers(const uint32_t*, size_t, size_t, uint64_t, uint64_t*);
template size_t Kmers(const uint64_t*, size_t, size_t, uint64_t, uint64_t*);

namespace {

constexpr std::string_view kPaths[] = {"scalar"};
std::atomic<size_t> active_path{0};

}  // namespace

std::span<const std::string_view> SupportedPaths() { return kPaths; }

std::string_view ActivePath() { return kPaths[active_path.load(std::memory_order_relaxed)]; }

bool SetActivePath(std::string_view name) {
  const auto found = std::find(std::begin(kPaths), std::end(kPaths), name);
  if (found == std::end(kPaths)) return false;
  active_path.store(static_cast<size_t>(found - std::begin(kPaths)), std::memory_order_relaxed);
  return true;
}

}  // namespace native::kernels
