#include "kernels/translate.h"

#include <type_traits>

#include "kernels/dispatch.h"
#include "kernels/text.h"

namespace kernels {

size_t TranslateChecked(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map) {
  return ActiveKernels().translate(in, out, n, map);
}

template <class T>
size_t TranslateWideChecked(const T* in, uint8_t* out, size_t n, const ByteMap& map) {
  const KernelTable& kernels = ActiveKernels();
  if constexpr (sizeof(T) == 1) {
    // A negative byte would read as a code from 0x80 up, which the map may
    // accept: the codes before the first negative one are translated alone.
    static_assert(std::is_same_v<T, int8_t>, "uint8_t codes go to TranslateChecked");
    const auto* bytes = reinterpret_cast<const uint8_t*>(in);
    const size_t first_negative = kernels.first_at_least(bytes, n, 0x80);
    return kernels.translate(bytes, out, first_negative, map);
  } else {
    // The unsigned view of a negative code is at least 0x8000: refused too.
    using U = std::make_unsigned_t<T>;
    const U* codes = reinterpret_cast<const U*>(in);
    if constexpr (sizeof(T) == 2) return kernels.translate_u16(codes, out, n, map);
    if constexpr (sizeof(T) == 4) return kernels.translate_u32(codes, out, n, map);
    if constexpr (sizeof(T) == 8) return kernels.translate_u64(codes, out, n, map);
  }
}

template size_t TranslateWideChecked(const int8_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWideChecked(const int16_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWideChecked(const int32_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWideChecked(const int64_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWideChecked(const uint16_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWideChecked(const uint32_t*, uint8_t*, size_t, const ByteMap&);
template size_t TranslateWideChecked(const uint64_t*, uint8_t*, size_t, const ByteMap&);

size_t EncodeWide(const uint8_t* in, uint16_t* out, size_t n, const WideByteMap& map) {
  // One table load per byte; the refusal bit sits above the code.
  const uint32_t* entries = map.entries();
  for (size_t i = 0; i < n; ++i) {
    const uint32_t entry = entries[in[i]];
    if (entry & WideByteMap::kRefused) return i;
    out[i] = static_cast<uint16_t>(entry);
  }
  return n;
}

size_t ReverseTranslateChecked(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map) {
  return ActiveKernels().reverse_translate(in, out, n, map);
}

}  // namespace kernels
