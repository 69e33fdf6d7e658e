#include "kernels/text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "kernels/dispatch.h"

namespace kernels {
namespace {

// For each byte value its decimal digits and a space, padded to four bytes,
// and how many of them count.
struct ByteDecimal {
  char text[4];
  uint32_t length;
};

constexpr std::array<ByteDecimal, 256> kByteDecimals = [] {
  std::array<ByteDecimal, 256> table{};
  for (int value = 0; value < 256; ++value) {
    ByteDecimal& entry = table[value];
    uint32_t length = 0;
    if (value >= 100) entry.text[length++] = static_cast<char>('0' + value / 100);
    if (value >= 10) entry.text[length++] = static_cast<char>('0' + value / 10 % 10);
    entry.text[length++] = static_cast<char>('0' + value % 10);
    while (length < 4) entry.text[length++] = ' ';
    entry.length = (value >= 100) + (value >= 10) + 2;
  }
  return table;
}();

// "00" "01" ... "99".
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

}  // namespace

size_t FirstAtLeast(const uint8_t* in, size_t n, uint8_t threshold) {
  return ActiveKernels().first_at_least(in, n, threshold);
}

size_t FormatDecimal(const uint8_t* codes, size_t n, char* out) {
  // Four bytes are stored for every code and the end moves by its length:
  // the store for code i starts at most at 4 * i, so it stays in `out`.
  size_t end = 0;
  for (size_t i = 0; i < n; ++i) {
    const ByteDecimal& entry = kByteDecimals[codes[i]];
    std::memcpy(out + end, entry.text, 4);
    end += entry.length;
  }
  return n == 0 ? 0 : end - 1;  // no space after the last
}

size_t FormatDecimal(const uint16_t* codes, size_t n, char* out) {
  size_t end = 0;
  for (size_t i = 0; i < n; ++i) {
    // Digits are produced two at a time from the right into `text`.
    char text[8];
    char* start = text + sizeof text;
    *--start = ' ';
    uint32_t value = codes[i];
    while (value >= 100) {
      start -= 2;
      std::memcpy(start, &kDigitPairs[2 * (value % 100)], 2);
      value /= 100;
    }
    if (value >= 10) {
      start -= 2;
      std::memcpy(start, &kDigitPairs[2 * value], 2);
    } else {
      *--start = static_cast<char>('0' + value);
    }
    const size_t length = static_cast<size_t>(text + sizeof text - start);
    std::memcpy(out + end, start, length);
    end += length;
  }
  return n == 0 ? 0 : end - 1;
}

namespace {

bool IsDecimalSeparator(char c) {
  return c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

template <class Code>
void ParseDecimalInto(const char* text, size_t n, Code* out) {
  size_t at = 0;
  while (at < n) {
    if (!IsDigit(text[at])) {
      ++at;
      continue;
    }
    uint64_t value = 0;
    for (; at < n && IsDigit(text[at]); ++at)
      value = value * 10 + static_cast<uint64_t>(text[at] - '0');
    *out++ = static_cast<Code>(value);
  }
}

}  // namespace

DecimalScan ScanDecimal(const char* text, size_t n) {
  DecimalScan scan;
  size_t at = 0;
  while (at < n) {
    const char c = text[at];
    if (IsDecimalSeparator(c)) {
      ++at;
      continue;
    }
    if (!IsDigit(c)) {
      scan.refused = at;
      return scan;
    }
    const size_t start = at;
    uint64_t value = 0;
    for (; at < n && IsDigit(text[at]); ++at) {
      const auto digit = static_cast<uint64_t>(text[at] - '0');
      if (value > (UINT64_MAX - digit) / 10) {
        scan.refused = start;
        return scan;
      }
      value = value * 10 + digit;
    }
    ++scan.count;
    scan.largest = std::max(scan.largest, value);
  }
  scan.refused = n;
  return scan;
}

void ParseDecimal(const char* text, size_t n, uint8_t* out) { ParseDecimalInto(text, n, out); }
void ParseDecimal(const char* text, size_t n, uint16_t* out) { ParseDecimalInto(text, n, out); }
void ParseDecimal(const char* text, size_t n, uint32_t* out) { ParseDecimalInto(text, n, out); }
void ParseDecimal(const char* text, size_t n, uint64_t* out) { ParseDecimalInto(text, n, out); }

}  // namespace kernels
