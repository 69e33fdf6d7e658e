// Bulk translation of bytes and codes through a ByteMap, at memory speed:
// encoding a text to codes, decoding codes to text, complementing codes.
//
// Every call runs the kernels of the active instruction set (isa.h); all
// sets give the same results.  Pointers are the caller's and only borrowed
// for the call; `n` counts elements, and `in` and `out` must each hold n of
// them (nothing is read or written outside them).  Calls only read the map
// and keep no state, so any number may run at once, on one map or several.
//
// Refusal: a checked call stops at the first input without an image and
// returns its index; it returns n when every input has one.  The outputs
// before the returned index hold their images; those from it on are left
// unspecified (some may have been written).
#ifndef ALPHABET_KERNELS_TRANSLATE_H_
#define ALPHABET_KERNELS_TRANSLATE_H_

#include <cstddef>
#include <cstdint>

#include "kernels/byte_map.h"

namespace kernels {

// out[i] = image of in[i], for i < n; returns the first refused index or n.
// `out` may be `in` (translation in place); otherwise they must not overlap.
size_t TranslateChecked(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map);

// As TranslateChecked, for codes held in wider integers (decoding a buffer of
// numpy or array codes), or for text held in wider units (encoding a str
// stored two or four bytes per character): a value outside [0, 256) is
// refused like a byte without an image.  T is one of int8_t, int16_t,
// int32_t, int64_t, uint16_t, uint32_t, uint64_t.  `in` and `out` must not
// overlap.
template <class T>
size_t TranslateWideChecked(const T* in, uint8_t* out, size_t n, const ByteMap& map);

// out[i] = the 16-bit code of in[i], for alphabets of more than 256 symbols;
// returns the first refused index or n.  `in` and `out` must not overlap.
size_t EncodeWide(const uint8_t* in, uint16_t* out, size_t n, const WideByteMap& map);

// out[n - 1 - i] = image of in[i]: the reverse complement of codes through a
// complement map.  Returns the first refused index in input order, or n; on
// refusal out[n - 1 - j] holds its image for every j before it, the rest of
// `out` is unspecified.  `in` and `out` must not overlap.
size_t ReverseTranslateChecked(const uint8_t* in, uint8_t* out, size_t n, const ByteMap& map);

}  // namespace kernels

#endif  // ALPHABET_KERNELS_TRANSLATE_H_
