#include "formats/utf8.h"

#include <cstdint>
#include <cstring>

namespace formats {

bool IsAscii(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  // Thirty-two bytes at a time, in four words that do not wait for each
  // other, then eight: a FASTQ record's few hundred bytes take a dozen steps.
  uint64_t high = 0;
  for (; n >= 32; p += 32, n -= 32) {
    uint64_t words[4];
    std::memcpy(words, p, 32);
    high |= (words[0] | words[1]) | (words[2] | words[3]);
  }
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ULL) == 0;
}

size_t FirstInvalidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    // The range the second byte must fall in: narrower than 80..BF after the
    // leads where it rules out overlong forms, surrogates or code points
    // above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (n - i < length) return i;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return i;
    for (size_t k = 2; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return i;
    }
    i += length;
  }
  return n;
}

size_t CountCharacters(std::string_view text) {
  size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

size_t OffsetOfCharacter(std::string_view text, size_t index) {
  for (size_t at = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) continue;
    if (index == 0) return at;
    --index;
  }
  return text.size();
}

}  // namespace formats
