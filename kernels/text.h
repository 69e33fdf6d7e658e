// Bulk work on runs of bytes that the package's text paths need around the
// translations: finding bytes out of range, printing codes.  Same terms as
// translate.h: the active instruction set, borrowed pointers, `n` elements
// in each buffer, safe from any thread.
#ifndef ALPHABET_KERNELS_TEXT_H_
#define ALPHABET_KERNELS_TEXT_H_

#include <cstddef>
#include <cstdint>

namespace kernels {

// The index of the first byte >= threshold, or n.  With threshold 0x80 it
// finds the first byte that is not ASCII; with an alphabet's size, the first
// code out of range.
size_t FirstAtLeast(const uint8_t* in, size_t n, uint8_t threshold);

inline bool IsAscii(const uint8_t* in, size_t n) { return FirstAtLeast(in, n, 0x80) == n; }

// FormatDecimal writes codes as decimal numbers separated by single spaces,
// without a trailing space ("2 0 3 3"), and returns the number of bytes
// written.  `out` must hold n * kDecimalBytesPerByteCode (or ...WideCode)
// bytes; those past the returned count are unspecified.  Portable code, the
// same for every set.
inline constexpr size_t kDecimalBytesPerByteCode = 4;  // "255 "
inline constexpr size_t kDecimalBytesPerWideCode = 6;  // "65535 "
size_t FormatDecimal(const uint8_t* codes, size_t n, char* out);
size_t FormatDecimal(const uint16_t* codes, size_t n, char* out);

// ScanDecimal and ParseDecimal read what FormatDecimal writes, and more:
// numbers of ASCII digits (no sign) separated by runs of ASCII whitespace
// and commas, with any of those before the first and after the last.
// ScanDecimal counts the numbers and finds the largest; `refused` is the
// offset of the first byte that is neither digit nor separator, or of the
// first digit of a number beyond 2**64 - 1; n when there is none.  Given a
// text it accepted, ParseDecimal writes its numbers into `out` (room for
// `count` items of a type that holds `largest`).  Portable code.
struct DecimalScan {
  size_t count = 0;
  uint64_t largest = 0;
  size_t refused = 0;
};
DecimalScan ScanDecimal(const char* text, size_t n);
void ParseDecimal(const char* text, size_t n, uint8_t* out);
void ParseDecimal(const char* text, size_t n, uint16_t* out);
void ParseDecimal(const char* text, size_t n, uint32_t* out);
void ParseDecimal(const char* text, size_t n, uint64_t* out);

}  // namespace kernels

#endif  // ALPHABET_KERNELS_TEXT_H_
