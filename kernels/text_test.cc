#include "kernels/text.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/isa.h"
#include "kernels/kernels_testing.h"

namespace kernels {
namespace {

using testing::FencedBuffer;
using testing::ForEachIsa;
using testing::GuardedBuffer;
using testing::Placement;

TEST(FirstAtLeastTest, FindsTheFirstByteAtOrAboveTheThreshold) {
  std::mt19937_64 rng(11);
  for (size_t n = 0; n <= 300; ++n) {
    for (int round = 0; round < 4; ++round) {
      const uint8_t threshold = round == 0 ? 0x80 : round == 1 ? 0 : static_cast<uint8_t>(rng());
      // Bytes below the threshold, with one or two at or above it somewhere
      // (or none), the threshold itself among them.
      std::vector<uint8_t> input(n);
      for (uint8_t& b : input) b = threshold == 0 ? 0 : static_cast<uint8_t>(rng() % threshold);
      size_t expected = n;
      if (n != 0 && rng() % 4 != 0) {
        const size_t at = rng() % n;
        input[at] = static_cast<uint8_t>(threshold + rng() % (256 - threshold));
        if (rng() % 2) input[at] = threshold;
        expected = at;
        if (at + 1 < n) input[at + 1 + rng() % (n - at - 1)] = 0xFF;
      }
      if (threshold == 0) expected = 0;  // every byte qualifies, and 0 is n when empty
      ForEachIsa([&](Isa) {
        GuardedBuffer<uint8_t> in(n, rng() % 64);
        std::copy(input.begin(), input.end(), in.data());
        ASSERT_EQ(FirstAtLeast(in.data(), n, threshold), expected)
            << "n = " << n << ", threshold " << int{threshold};
        EXPECT_EQ(IsAscii(in.data(), n), FirstAtLeast(in.data(), n, 0x80) == n);
      });
    }
  }
}

template <class T>
std::string ReferenceDecimal(const std::vector<T>& codes) {
  std::string text;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (i != 0) text += ' ';
    text += std::to_string(codes[i]);
  }
  return text;
}

template <class T>
void CheckDecimal(const std::vector<T>& codes, size_t bytes_per_code) {
  const std::string expected = ReferenceDecimal(codes);
  // The buffer is exactly as large as the contract asks, against a fence.
  FencedBuffer<char> out(codes.size() * bytes_per_code, Placement::kAgainstEnd);
  const size_t written = FormatDecimal(codes.data(), codes.size(), out.data());
  ASSERT_EQ(std::string(out.data(), written), expected);
}

TEST(FormatDecimalTest, ByteCodesAsSpaceSeparatedNumbers) {
  std::vector<uint8_t> every(256);
  for (int i = 0; i < 256; ++i) every[i] = static_cast<uint8_t>(i);
  CheckDecimal(every, kDecimalBytesPerByteCode);
  CheckDecimal(std::vector<uint8_t>{}, kDecimalBytesPerByteCode);
  CheckDecimal(std::vector<uint8_t>{7}, kDecimalBytesPerByteCode);
  // The widest codes fill the buffer to its last byte.
  CheckDecimal(std::vector<uint8_t>(100, 255), kDecimalBytesPerByteCode);
  std::mt19937_64 rng(13);
  for (int round = 0; round < 50; ++round) {
    std::vector<uint8_t> codes(rng() % 500);
    for (uint8_t& c : codes) c = static_cast<uint8_t>(rng());
    CheckDecimal(codes, kDecimalBytesPerByteCode);
  }
}

TEST(FormatDecimalTest, WideCodesAsSpaceSeparatedNumbers) {
  std::vector<uint16_t> edges = {0, 9, 10, 99, 100, 999, 1000, 9999, 10000, 65535, 255, 256};
  CheckDecimal(edges, kDecimalBytesPerWideCode);
  CheckDecimal(std::vector<uint16_t>(100, 65535), kDecimalBytesPerWideCode);
  CheckDecimal(std::vector<uint16_t>{}, kDecimalBytesPerWideCode);
  std::mt19937_64 rng(14);
  for (int round = 0; round < 50; ++round) {
    std::vector<uint16_t> codes(rng() % 500);
    for (uint16_t& c : codes) c = static_cast<uint16_t>(rng() >> (rng() % 64));
    CheckDecimal(codes, kDecimalBytesPerWideCode);
  }
}

// ScanDecimal and ParseDecimal read back what FormatDecimal writes, with
// any separators between, around or instead of the single spaces.
TEST(ParseDecimalTest, ReadsBackFormattedCodesWithAnySeparators) {
  std::mt19937_64 rng(16);
  const char separators[] = " ,\t\r\n\v\f";
  for (int round = 0; round < 200; ++round) {
    std::vector<uint64_t> codes(rng() % 40);
    for (uint64_t& c : codes) c = rng() >> (rng() % 64);
    std::string text;
    for (size_t i = 0; i < codes.size() + 1; ++i) {
      for (uint64_t s = rng() % 3 + (i > 0 && i < codes.size() ? 1 : 0); s > 0; --s) {
        text += separators[rng() % (sizeof separators - 1)];
      }
      if (i < codes.size()) text += std::to_string(codes[i]);
    }
    // The buffer ends where the text does: one byte too far faults.
    FencedBuffer<char> in(text.size(), Placement::kAgainstEnd);
    std::copy(text.begin(), text.end(), in.data());
    const DecimalScan scan = ScanDecimal(in.data(), text.size());
    ASSERT_EQ(scan.refused, text.size()) << text;
    ASSERT_EQ(scan.count, codes.size());
    uint64_t largest = 0;
    for (const uint64_t c : codes) largest = std::max(largest, c);
    ASSERT_EQ(scan.largest, largest);
    std::vector<uint64_t> parsed(codes.size());
    ParseDecimal(in.data(), text.size(), parsed.data());
    ASSERT_EQ(parsed, codes) << text;
  }
}

TEST(ParseDecimalTest, NarrowOutputsHoldWhatFits) {
  const std::string text = "0 255,65535\t7";
  std::vector<uint16_t> wide(4);
  ParseDecimal(text.data(), text.size(), wide.data());
  EXPECT_EQ(wide, (std::vector<uint16_t>{0, 255, 65535, 7}));
  std::vector<uint8_t> narrow(2);
  ParseDecimal("3 250", 5, narrow.data());
  EXPECT_EQ(narrow, (std::vector<uint8_t>{3, 250}));
}

TEST(ParseDecimalTest, RefusesWhatIsNoCode) {
  struct Case {
    std::string text;
    size_t refused;
  };
  const Case cases[] = {
      {"1 -2", 2},
      {"+1", 0},
      {"1 x 2", 2},
      {"12a", 2},
      {"1\xd9\xa3", 1},
      {"18446744073709551615 1", 22},  // 2**64 - 1 is the largest
      {"0 18446744073709551616", 2},
      {"99999999999999999999", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScanDecimal(c.text.data(), c.text.size()).refused, c.refused) << c.text;
  }
  EXPECT_EQ(ScanDecimal("", 0).count, 0u);
  EXPECT_EQ(ScanDecimal(" ,, ", 4).count, 0u);
}

// Each buffer lies against an inaccessible page: one byte too far faults.
TEST(TextTest, NoKernelTouchesMemoryPastItsBuffers) {
  std::mt19937_64 rng(15);
  ForEachIsa([&](Isa) {
    for (size_t n = 0; n <= 200; ++n) {
      for (const auto placement : {Placement::kAgainstEnd, Placement::kAgainstStart}) {
        FencedBuffer<uint8_t> in(n, placement);
        for (size_t i = 0; i < n; ++i) in.data()[i] = static_cast<uint8_t>(rng() % 0x80);
        EXPECT_EQ(FirstAtLeast(in.data(), n, 0x80), n);
      }
    }
  });
}

}  // namespace
}  // namespace kernels
