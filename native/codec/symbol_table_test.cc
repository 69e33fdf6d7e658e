#include "native/codec/symbol_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "alphabet/hash.h"

namespace native {
namespace {

TextKey Key(const std::string& text) { return {text.data(), text.size(), 1}; }

// Every text of `length` letters from "ab": texts that differ in any one
// byte, so a packing that skipped a byte would merge two of them.
std::vector<std::string> AllTexts(size_t length) {
  std::vector<std::string> texts;
  for (uint32_t bits = 0; bits < (1u << length); ++bits) {
    std::string text(length, 'a');
    for (size_t i = 0; i < length; ++i) {
      if (bits >> i & 1) text[i] = 'b';
    }
    texts.push_back(text);
  }
  return texts;
}

TEST(SymbolTableTest, EveryByteOfEveryLengthTellsKeysApart) {
  for (size_t length = 0; length <= 12; ++length) {
    const std::vector<std::string> texts = AllTexts(length);
    SymbolTable table;  // starts small: grows many times
    for (size_t i = 0; i < texts.size(); i += 2) table.Assign(Key(texts[i]), uint32_t(i));
    for (size_t i = 0; i < texts.size(); ++i) {
      const uint32_t expected = i % 2 == 0 ? uint32_t(i) : SymbolTable::kAbsent;
      EXPECT_EQ(table.Find(Key(texts[i])), expected) << "'" << texts[i] << "'";
    }
    EXPECT_EQ(table.size(), (texts.size() + 1) / 2);
  }
}

TEST(SymbolTableTest, WidthAndLengthAreSeparateFromTheBytes) {
  // The same four bytes: "AA" stored two bytes a character (U+4141 U+4141
  // is "\x41\x41\x41\x41"), and "AAAA" one byte a character.
  const std::string bytes = "AAAA";
  SymbolTable table;
  table.Assign({bytes.data(), 4, 1}, 1);
  table.Assign({bytes.data(), 2, 2}, 2);
  table.Assign({bytes.data(), 1, 4}, 4);
  EXPECT_EQ(table.Find({bytes.data(), 4, 1}), 1u);
  EXPECT_EQ(table.Find({bytes.data(), 2, 2}), 2u);
  EXPECT_EQ(table.Find({bytes.data(), 1, 4}), 4u);
  // A shorter key is not a prefix match, nor is the empty text absent.
  EXPECT_EQ(table.Find({bytes.data(), 3, 1}), SymbolTable::kAbsent);
  table.Assign({bytes.data(), 0, 1}, 7);
  EXPECT_EQ(table.Find({"", 0, 1}), 7u);
}

TEST(SymbolTableTest, InsertKeepsAndAssignReplaces) {
  SymbolTable table(4);
  EXPECT_EQ(table.Insert(Key("GAT"), 3), 3u);
  EXPECT_EQ(table.Insert(Key("GAT"), 5), 3u);
  EXPECT_EQ(table.Find(Key("GAT")), 3u);
  table.Assign(Key("GAT"), 5);
  EXPECT_EQ(table.Find(Key("GAT")), 5u);
  const std::string long_key(100, 'x');
  EXPECT_EQ(table.Insert(Key(long_key), 1), 1u);
  EXPECT_EQ(table.Insert(Key(long_key), 2), 1u);
  table.Assign(Key(long_key), 2);
  EXPECT_EQ(table.Find(Key(long_key)), 2u);
  EXPECT_EQ(table.size(), 2u);
}

TEST(SymbolTableTest, LongKeysDifferingInOneMiddleByteSurviveGrowth) {
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) {
    std::string text(40, '-');
    text[17] = char('A' + i % 26);
    text[23] = char('A' + i / 26 % 26);
    text[31] = char('A' + i / 676);
    texts.push_back(text);
  }
  SymbolTable table;
  for (size_t i = 0; i < texts.size(); ++i) table.Assign(Key(texts[i]), uint32_t(i));
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(table.Find(Key(texts[i])), uint32_t(i));
  std::string other(40, '-');
  EXPECT_EQ(table.Find(Key(other)), SymbolTable::kAbsent);
}

TEST(CharTableTest, FindsWhatWasAssignedAndNothingElse) {
  CharTable table;
  EXPECT_EQ(table.Find(0x4E00), CharTable::kAbsent);
  for (uint32_t c = 0x100; c < 0x100 + 5000; c += 3) table.Assign(c, c - 0x100);
  table.Assign(0x10FFFF, 9);
  table.Assign(0x100, 77);  // replaces
  EXPECT_EQ(table.Find(0x100), 77u);
  EXPECT_EQ(table.Find(0x103), 3u);
  EXPECT_EQ(table.Find(0x104), CharTable::kAbsent);
  EXPECT_EQ(table.Find(0x10FFFF), 9u);
  EXPECT_EQ(table.size(), 5000u / 3 + 2);
}

// 16-byte texts that an unkeyed hash of fixed constants sends to one slot:
// the second word of each undoes what the first did to the state.  This is
// what a caller who reads the constants can make, 20,000 at a time.
std::vector<std::string> CraftedTexts(size_t count) {
  constexpr uint64_t kStart = 0xa0761d6478bd642fULL ^ ((uint64_t{16} << 2) ^ 1);
  constexpr uint64_t kStep = 0xe7037ed1a0b428dbULL;
  const auto fold = [](uint64_t a, uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
  };
  std::vector<std::string> texts;
  for (uint64_t n = 0; texts.size() < count; ++n) {
    uint64_t first = 0x4141414141414141ULL + n;
    const uint64_t second = fold(kStart ^ first, kStep) ^ 0x5a5a5a5a5a5a5a5aULL;
    std::string text(16, '\0');
    std::memcpy(text.data(), &first, 8);
    std::memcpy(text.data() + 8, &second, 8);
    if (text.find('\0') == std::string::npos) texts.push_back(text);
  }
  return texts;
}

TEST(SymbolTableTest, TextsCraftedToCollideStillFindTheirSlotsAtOnce) {
  const std::vector<std::string> texts = CraftedTexts(20000);
  SymbolTable table(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) table.Assign(Key(texts[i]), uint32_t(i));
  for (size_t i = 0; i < texts.size(); i += 97) EXPECT_EQ(table.Find(Key(texts[i])), uint32_t(i));
  // With every key in one run, the longest probe would be 20,000 slots;
  // a table at most 5/8 full has runs of a few dozen.
  EXPECT_LT(table.LongestProbe(), 200u);
}

TEST(SymbolTableTest, AFixedSeedLaysTheTableOutTheSameWayEveryTime) {
  std::mt19937_64 random(11);
  std::vector<std::string> texts;
  for (int i = 0; i < 5000; ++i) texts.push_back(std::to_string(random()));
  const alphabet::HashSeed seed = alphabet::HashSeed::FromNumber(42);
  const auto probe_with = [&](const alphabet::HashSeed& chosen) {
    SymbolTable table(0, chosen);
    for (size_t i = 0; i < texts.size(); ++i) table.Assign(Key(texts[i]), uint32_t(i));
    return table.LongestProbe();
  };
  EXPECT_EQ(probe_with(seed), probe_with(seed));
  // Seeds that differ lay it out differently: over a few seeds the longest
  // probe is not always the same.
  std::vector<size_t> probes;
  for (uint64_t number = 0; number < 8; ++number) {
    probes.push_back(probe_with(alphabet::HashSeed::FromNumber(number)));
  }
  EXPECT_NE(std::count(probes.begin(), probes.end(), probes[0]), 8);
}

TEST(CharTableTest, CodePointsSharingAHomeUnderAFixedMultiplierSpreadOut) {
  // Code points whose product with a fixed odd multiplier lands in one
  // narrow range: a table hashed that way would hold them in one run.
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  std::vector<uint32_t> clustered;
  for (uint32_t c = 0x100; c < 0x110000 && clustered.size() < 20000; ++c) {
    if (((c * kMultiplier) >> 32 & 0x7fff) < 1024) clustered.push_back(c);
  }
  ASSERT_EQ(clustered.size(), 20000u);
  CharTable table;
  for (size_t i = 0; i < clustered.size(); ++i) table.Assign(clustered[i], uint32_t(i));
  for (size_t i = 0; i < clustered.size(); i += 101) EXPECT_EQ(table.Find(clustered[i]), i);
  EXPECT_LT(table.LongestProbe(), 200u);
}

}  // namespace
}  // namespace native
