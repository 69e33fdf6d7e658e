// The bulk loops of the codec: byte translation through a table, the same
// reversed, and rolling k-mer indices.
//
// These are portable loops behind the interface of the project's vector
// kernels (a ByteMap built once per table; each loop returns the index of
// the first input it refuses, or n when it refuses none), so that the vector
// kernels can take their place without changing a caller.  Until then the
// only path is "scalar".
//
// Every function here is pure: no Python, no allocation, no shared state
// but the path choice, so they run with the interpreter lock released.
#ifndef ALPHABET_NATIVE_SCALAR_KERNELS_H_
#define ALPHABET_NATIVE_SCALAR_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace native::kernels {

// What each byte value stands for under one translation: an image (a byte)
// or none.  Built once from 256 entries and immutable afterwards, so any
// number of threads may use one map at once.
class ByteMap {
 public:
  static constexpr int32_t kNoImage = -1;

  // images[b] is the image of byte value b; any entry outside 0..255 gives b
  // no image.
  explicit ByteMap(std::span<const int32_t, 256> images);

  int32_t Image(uint8_t byte) const {
    return all_valid_ || table_[byte] != marker_ ? table_[byte] : kNoImage;
  }

  // Every byte value has an image: no input can be refused.
  bool all_valid() const { return all_valid_; }
  // A byte that is no valid byte's image, standing for "refused" in table();
  // 0 when all_valid().  With a byte refused, at most 255 images are in use,
  // so one is always free.
  uint8_t marker() const { return marker_; }
  // The image of each byte, marker() for a byte without one.
  const uint8_t* table() const { return table_; }

 private:
  alignas(64) uint8_t table_[256];
  uint8_t marker_ = 0;
  bool all_valid_ = false;
};

// out[i] = image of in[i], for i < n, up to the first byte without an image,
// whose index is returned (n when there is none).  `out` may be `in`.
size_t TranslateChecked(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map);

// The same for wider unsigned codes: a code above 255 has no image.  T is
// uint16_t, uint32_t or uint64_t; signed codes come as their unsigned
// counterparts, a negative one then being refused like any large code.
template <class T>
size_t TranslateWideChecked(const T* in, uint8_t* out, size_t n, const ByteMap& map);

// out[n - 1 - i] = image of in[i]; returns the first refused index, or n.
// `out` must not overlap `in`.
size_t ReverseTranslateChecked(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map);

// The k-mer indices of codes read as digits in base `base`, first code most
// significant: out[j] for the codes j .. j+k-1, for j <= n - k (nothing when
// n < k).  Needs k >= 1 and base**k <= 2**64 (base 0 holds no code).  Every
// code is checked against the base, also when n < k: returns the index of
// the first code >= base, or n.  T is uint8_t, uint16_t,
// uint32_t or uint64_t.
template <class T>
size_t Kmers(const T* codes, size_t n, size_t k, uint64_t base, uint64_t* out);

// The paths this build and machine can run, "scalar" first; the active one,
// and a switch between them (process-wide; false for a name not listed).
std::span<const std::string_view> SupportedPaths();
std::string_view ActivePath();
bool SetActivePath(std::string_view name);

}  // namespace native::kernels

#endif  // ALPHABET_NATIVE_SCALAR_KERNELS_H_
