#include "alphabet/code_table.h"

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "alphabet/hash.h"

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
  for (int64_t absent : {int64_t{-1}, n, std::numeric_limits<int64_t>::min(),
                         std::numeric_limits<int64_t>::max()}) {
    EXPECT_EQ(table.Find(symbols, ValueView::Int(absent)), std::nullopt) << absent;
  }
  for (int i = 20000; i < 21000; ++i) {
    EXPECT_EQ(table.Find(symbols, ValueView::Text(std::to_string(i))), std::nullopt);
  }
}

// Two texts whose hashes agree in the bits a slot keeps (the top 23) and in
// the home slot of a four-slot table: looking up the absent one reaches the
// present one's slot first, and only comparing the texts tells them apart.
TEST(CodeTableTest, MatchingFingerprintIsNotAMatch) {
  constexpr uint64_t kCompared = ~((uint64_t{1} << 41) - 1) | 3;
  std::unordered_map<uint64_t, std::string> seen;
  std::string present, absent;
  for (int i = 0; absent.empty(); ++i) {
    std::string text = "t" + std::to_string(i);
    auto [it, fresh] = seen.emplace(HashText(text) & kCompared, text);
    if (!fresh) {
      present = it->second;
      absent = text;
    }
  }
  const std::vector<std::string> symbols = {present};
  const CodeTable table(symbols);
  EXPECT_EQ(table.Find(symbols, ValueView::Text(present)), 0);
  EXPECT_EQ(table.Find(symbols, ValueView::Text(absent)), std::nullopt);
}

}  // namespace
}  // namespace alphabet
