#include "alphabet/code_table.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "alphabet/hash.h"
#include "alphabet/value.h"

namespace alphabet {
namespace {

// Large enough for long probe runs and for runs that wrap past the last
// slot; short texts from a small range make repeats common.
TEST(CodeTableTest, LargeRandomListFindsExactlyItsEntries) {
  std::mt19937 rng(7);
  std::vector<std::string> symbols(30000);
  for (std::string& s : symbols) s = std::to_string(rng() % 20000);
  const CodeTable table(symbols);

  std::map<std::string, int64_t> last;
  for (size_t i = 0; i < symbols.size(); ++i) last[symbols[i]] = static_cast<int64_t>(i);
  EXPECT_EQ(table.size(), symbols.size() + last.size());
  for (const auto& [text, code] : last) {
    EXPECT_EQ(table.Find(symbols, ValueView::Text(text)), code) << text;
  }
  const int64_t n = static_cast<int64_t>(symbols.size());
  for (int64_t i = 0; i < n; ++i) EXPECT_EQ(table.Find(symbols, ValueView::Int(i)), i);
  for (int64_t absent :
       {int64_t{-1}, n, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
    EXPECT_EQ(table.Find(symbols, ValueView::Int(absent)), std::nullopt) << absent;
  }
  for (int i = 20000; i < 21000; ++i) {
    EXPECT_EQ(table.Find(symbols, ValueView::Text(std::to_string(i))), std::nullopt);
  }
  // About 45,000 entries in 131,072 slots: runs this long would mean a hash
  // that spreads short decimal texts badly, whatever the process's seed.
  EXPECT_LE(table.LongestProbe(symbols), 64u);
}

// Two texts whose hashes agree in the bits a slot keeps (the top 23) and in
// the home slot of a four-slot table: looking up the absent one reaches the
// present one's slot first, and only comparing the texts tells them apart.
TEST(CodeTableTest, MatchingFingerprintIsNotAMatch) {
  constexpr uint64_t kCompared = ~((uint64_t{1} << 41) - 1) | 3;
  const ValueHash hash(HashSeed::FromNumber(11));
  std::unordered_map<uint64_t, std::string> seen;
  std::string present, absent;
  for (int i = 0; absent.empty(); ++i) {
    std::string text = "t" + std::to_string(i);
    auto [it, fresh] = seen.emplace(hash.Text(text) & kCompared, text);
    if (!fresh) {
      present = it->second;
      absent = text;
    }
  }
  const std::vector<std::string> symbols = {present};
  const CodeTable table(symbols, hash);
  EXPECT_EQ(table.Find(symbols, ValueView::Text(present)), 0);
  EXPECT_EQ(table.Find(symbols, ValueView::Text(absent)), std::nullopt);
}

// Every text in one probe run, all with one fingerprint: only comparing texts
// tells entries apart, and a repeated text must still end with its last
// position.  The run is as long as the texts are many, which is what
// LongestProbe has to report.
struct OneHomeForEveryText {
  uint64_t Text(std::string_view) const { return 42; }
  uint64_t Integer(int64_t integer) const { return static_cast<uint64_t>(integer); }
};

TEST(CodeTableTest, TextsThatAllCollideAreStillFound) {
  std::vector<std::string> symbols;
  for (int i = 0; i < 300; ++i) symbols.push_back("c" + std::to_string(i % 200));
  const BasicCodeTable<OneHomeForEveryText> table(symbols);
  EXPECT_EQ(table.size(), 300u + 200u);
  for (int i = 0; i < 200; ++i) {
    const int64_t last = i < 100 ? 200 + i : i;
    EXPECT_EQ(table.Find(symbols, ValueView::Text("c" + std::to_string(i))), last) << i;
  }
  for (int64_t i = 0; i < 300; ++i) EXPECT_EQ(table.Find(symbols, ValueView::Int(i)), i);
  EXPECT_EQ(table.Find(symbols, ValueView::Text("c200")), std::nullopt);
  EXPECT_EQ(table.Find(symbols, ValueView::Int(300)), std::nullopt);
  EXPECT_GE(table.LongestProbe(symbols), 200u);
}

// Texts crafted against the hash this table used before it was seeded, which
// had fixed constants: two words each, the second chosen to cancel the state
// the first leaves, so that all of them share one hash.  That hash is copied
// here only to show that the set does what it was made for.
constexpr uint64_t kOldStart = 0xa0761d6478bd642fULL ^ 16;  // its start for 16-byte texts
constexpr uint64_t kOldStep = 0xe7037ed1a0b428dbULL;
constexpr uint64_t kOldLast = 0x8ebc6af09c88c6e3ULL;

uint64_t OldFold(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

uint64_t OldHashOf16Bytes(std::string_view text) {
  uint64_t words[2];
  std::memcpy(words, text.data(), 16);
  return OldFold(OldFold(kOldStart ^ words[0], kOldStep) ^ words[1], kOldLast);
}

std::vector<std::string> CraftedSymbols(size_t count) {
  std::vector<std::string> symbols;
  for (uint64_t i = 1; i <= count; ++i) {
    const uint64_t words[2] = {i * 0x9e3779b97f4a7c15ULL,
                               OldFold(kOldStart ^ (i * 0x9e3779b97f4a7c15ULL), kOldStep) ^ 7};
    symbols.emplace_back(reinterpret_cast<const char*>(words), 16);
  }
  return symbols;
}

constexpr size_t kCrafted = 12000;
constexpr HashSeed kSeeds[] = {HashSeed::FromNumber(1), HashSeed::FromNumber(2),
                               HashSeed::FromNumber(0x5eed)};

TEST(CodeTableTest, CraftedTextsCollideOnlyUnderTheUnseededHash) {
  const std::vector<std::string> symbols = CraftedSymbols(kCrafted);
  ASSERT_EQ(std::set<std::string>(symbols.begin(), symbols.end()).size(), kCrafted);
  std::set<uint64_t> old_hashes;
  for (const std::string& s : symbols) old_hashes.insert(OldHashOf16Bytes(s));
  ASSERT_EQ(old_hashes.size(), 1u);

  // A table of 12,000 symbols has 65,536 slots; 12,000 random homes among
  // them are about 10,970 distinct ones.
  constexpr uint64_t kSlots = 65536;
  for (const HashSeed& seed : kSeeds) {
    std::set<uint64_t> hashes, homes;
    for (const std::string& s : symbols) {
      hashes.insert(HashText(s, seed));
      homes.insert(HashText(s, seed) & (kSlots - 1));
    }
    EXPECT_EQ(hashes.size(), kCrafted);
    EXPECT_GT(homes.size(), 10500u);
  }
}

class CraftedTableTest : public testing::TestWithParam<ValueHash> {};
INSTANTIATE_TEST_SUITE_P(Seeds, CraftedTableTest,
                         testing::Values(ValueHash(kSeeds[0]), ValueHash(kSeeds[1]),
                                         ValueHash(kSeeds[2]), ValueHash()),
                         [](const testing::TestParamInfo<ValueHash>& info) {
                           return info.index < std::size(kSeeds)
                                      ? "Fixed" + std::to_string(info.index)
                                      : std::string("ThisProcess");
                         });

// Built from the crafted texts, a few of them repeated at the end, the table
// finds every text at its last position, and no lookup walks far: under the
// unseeded hash the texts made one run of 12,000 slots.
TEST_P(CraftedTableTest, FindsEveryTextInFewProbes) {
  std::vector<std::string> symbols = CraftedSymbols(kCrafted);
  for (size_t i = 0; i < 100; ++i) symbols.push_back(symbols[i]);
  const CodeTable table(symbols, GetParam());
  EXPECT_EQ(table.size(), symbols.size() + kCrafted);
  for (size_t i = 0; i < kCrafted; ++i) {
    const int64_t last = static_cast<int64_t>(i < 100 ? kCrafted + i : i);
    ASSERT_EQ(table.Find(symbols, ValueView::Text(symbols[i])), last) << i;
  }
  EXPECT_LE(table.LongestProbe(symbols), 64u);
}

}  // namespace
}  // namespace alphabet
