#include "native/symbol_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace native
