#include "formats/utf8.h"

#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace formats {
namespace {

// What a strict decoder accepts, computed the other way round: decode the
// code point, then check that it is the shortest form, no surrogate and at
// most U+10FFFF.  Returns the length of the valid sequence at the start of
// `text`, or 0.
size_t ReferenceSequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length = lead < 0x80       ? 1
                  : lead >> 5 == 6  ? 2
                  : lead >> 4 == 14 ? 3
                  : lead >> 3 == 30 ? 4
                                    : 0;
  if (length == 0 || text.size() < length) return 0;
  uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[k]);
    if (next >> 6 != 2) return 0;
    code = code << 6 | (next & 0x3F);
  }
  const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < shortest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

size_t ReferenceFirstInvalid(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const size_t length = ReferenceSequenceLength(text.substr(i));
    if (length == 0) return i;
    i += length;
  }
  return i;
}

// Every sequence of up to three bytes, each byte drawn from the values
// where the rules change, after a valid prefix and before a valid suffix.
TEST(Utf8Test, AgreesWithAStrictDecoderOnEveryShortSequence) {
  std::vector<unsigned char> values;
  for (int b = 0; b < 256; ++b) values.push_back(static_cast<unsigned char>(b));
  const std::string prefix = "a\xC3\xA9";
  for (unsigned char a : values) {
    for (unsigned char b : values) {
      for (unsigned char c : {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF}) {
        for (size_t length = 1; length <= 3; ++length) {
          std::string text = prefix;
          const unsigned char bytes[] = {a, b, static_cast<unsigned char>(c)};
          text.append(reinterpret_cast<const char*>(bytes), length);
          EXPECT_EQ(FirstInvalidUtf8(text), ReferenceFirstInvalid(text))
              << std::hex << int{a} << " " << int{b} << " " << int{c} << " / " << length;
        }
      }
    }
  }
}

TEST(Utf8Test, FourByteSequencesAndRandomText) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200000; ++round) {
    std::string text;
    const size_t n = rng() % 9;
    for (size_t i = 0; i < n; ++i) {
      // Mostly bytes of multi-byte sequences, so that valid ones are common.
      const uint32_t r = rng();
      text += static_cast<char>(r % 4 == 0 ? r >> 8 : 0x80 | (r >> 8) % 0x78);
    }
    if (rng() % 2 == 0) text.insert(0, "\xF0\x9F\x98\x80");
    const size_t expected = ReferenceFirstInvalid(text);
    ASSERT_EQ(FirstInvalidUtf8(text), expected);
    if (expected == text.size()) {
      size_t count = 0;
      for (size_t i = 0; i < text.size(); i += ReferenceSequenceLength(text.substr(i))) ++count;
      ASSERT_EQ(CountCharacters(text), count);
    }
  }
}

TEST(Utf8Test, IsAsciiLooksAtEveryByte) {
  for (size_t length = 0; length < 40; ++length) {
    std::string text(length, 'a');
    EXPECT_TRUE(IsAscii(text));
    for (size_t i = 0; i < length; ++i) {
      text[i] = '\x80';
      EXPECT_FALSE(IsAscii(text)) << length << " " << i;
      text[i] = '\x7F';
      EXPECT_TRUE(IsAscii(text));
    }
  }
}

}  // namespace
}  // namespace formats
