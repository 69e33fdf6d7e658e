#include "formats/fasta_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace formats {
namespace {

// Each case as the genome tools' indexer answers it (their .fai, or the line
// of their refusal; 0 where they refuse without naming a line).
struct Case {
  const char* name;
  std::string input;
  std::string fai;       // empty: refused
  int64_t refused_line;  // the line of the refusal
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"two records", ">a desc\nACGT\nACGT\nAC\n>b\nAAA\n", "a\t10\t8\t4\t5\nb\t3\t24\t3\t4\n", 0},
      {"crlf", ">a desc\r\nACGT\r\nACGT\r\nAC\r\n>b\r\nAAA\r\n", "a\t10\t9\t4\t6\nb\t3\t29\t3\t5\n",
       0},
      {"no last line end", ">a\nACGT\nAC", "a\t6\t3\t4\t5\n", 0},
      {"one line, no line end", ">a\nACGT", "a\t4\t3\t4\t5\n", 0},
      {"full last line, no line end", ">a\nACGT\nACGT", "a\t8\t3\t4\t5\n", 0},
      {"width 1", ">a\nA\nC\nG\n", "a\t3\t3\t1\t2\n", 0},
      {"blank lines end a record", ">a\nACGT\nAC\n\n\n>b\nAA\n", "a\t6\t3\t4\t5\nb\t2\t16\t2\t3\n",
       0},
      {"a record without lines is left out", ">a\n>b\nAC\n", "b\t2\t6\t2\t3\n", 0},
      {"a blank first line leaves it out", ">a\n\n>b\nAC\n", "b\t2\t7\t2\t3\n", 0},
      {"a first line of spaces is a line", ">a\n  \n>b\nAC\n", "a\t0\t3\t0\t3\nb\t2\t9\t2\t3\n", 0},
      {"spaces are no bases", ">a\nAC GT\nACGT\n", "a\t8\t3\t4\t6\n", 0},
      {"a full-width line with fewer bases", ">a\nACGT\nACG\r\nAC\n", "a\t9\t3\t4\t5\n", 0},
      {"the name ends at whitespace", ">a\tb\nACGT\n>c\vd\nA\n", "a\t4\t5\t4\t5\nc\t1\t15\t1\t2\n",
       0},
      {"an empty name", ">\nACGT\n", "\t4\t2\t4\t5\n", 0},
      {"blank lines before the first header", "\r\n\n>a\nAC\n", "a\t2\t6\t2\t3\n", 0},
      {"a wider line", ">a\nACGT\nACGTA\n", "", 3},
      {"a wider last line without line end", ">a\nACGT\nACGTA", "", 3},
      {"a narrower first line", ">a\nAC\nACGT\n", "", 3},
      {"a line after a shorter one", ">a\nACGT\nAC\nACGT\n", "", 4},
      {"a line after a blank one", ">a\nACGT\n\nACGT\n", "", 4},
      {"spaces after the last line", ">a\nACGT\nAC\n \n>b\nAA\n", "", 4},
      {"a lone carriage return", ">a\nACGT\nAC\n\r\r\n>b\nA\n", "", 4},
      {"text before the first header", "xx\n>a\nACGT\n", "", 1},
      {"a last record without sequence", ">a\nAC\n>b\n", "", 3},
      {"a last header without line end", ">a\nAC\n>b", "", 3},
      {"nothing", "", "", 1},
      {"fastq", "@r1 desc\nACGT\n+\nIIII\n@r2\nAC\nGT\n+r2\nII\nII\n@r3\nA\n+\n#\n",
       "r1\t4\t9\t4\t5\t16\nr2\t4\t25\t2\t3\t35\nr3\t1\t45\t1\t2\t49\n", 0},
      {"fastq, crlf", "@a\r\nACGT\r\n+\r\nIIII\r\n@b\r\nAC\r\n+\r\nII\r\n",
       "a\t4\t4\t4\t6\t13\nb\t2\t23\t2\t4\t30\n", 0},
      {"fastq, blank lines between", "@a\nACGT\n+\nIIII\n  \n\n@b\nA\n+\nI\n",
       "a\t4\t3\t4\t5\t10\nb\t1\t22\t1\t2\t26\n", 0},
      {"fastq, '@' in a quality", "@a\nAC\n+\n@@\n@b\nA\n+\nI\n",
       "a\t2\t3\t2\t3\t8\nb\t1\t14\t1\t2\t18\n", 0},
      {"fastq, a short quality", "@a\nACGT\n+\nIII\n", "", 4},
      {"fastq, a wide quality line", "@a\nACGT\nAC\n+\nIIIIII\n", "", 5},
      {"fastq, no '+' after a short line", "@a\nACGT\n@b\nAC\n+\nII\n", "", 4},
      {"fastq, an empty sequence line", "@a\nACGT\n\n+\nIIII\n", "", 3},
      {"fastq, a quality too long", "@a\nACGT\nAC\n+\nIIII\nIII\n", "", 6},
      {"fastq, text after a record", "@a\nAC\n+\nII\nxx\n", "", 5},
      {"fastq, cut short", "@a\nACGT\n+\n", "", 4},
  };
  return cases;
}

// Builds the index of `input` fed in pieces of `piece` bytes.
bool Build(const std::string& input, size_t piece, FaiBuilder& builder) {
  for (size_t at = 0; at < input.size(); at += piece) {
    const std::string part = input.substr(at, piece);
    if (!builder.Add(std::span<const char>(part.data(), part.size()))) return false;
  }
  return builder.Finish();
}

TEST(FaiBuilder, AnswersAsTheToolsDoInPiecesOfAnySize) {
  for (const Case& c : Cases()) {
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1} << 20}) {
      FaiBuilder builder;
      const bool built = Build(c.input, piece, builder);
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      if (c.fai.empty()) {
        EXPECT_FALSE(built);
        EXPECT_EQ(builder.error().line, c.refused_line) << builder.error().message;
        EXPECT_EQ(builder.error().message.rfind("line " + std::to_string(c.refused_line) + ": ", 0),
                  0u)
            << builder.error().message;
      } else {
        ASSERT_TRUE(built) << builder.error().message;
        EXPECT_EQ(FormatFai(builder.entries(), builder.fastq()), c.fai);
      }
    }
  }
}

TEST(FaiBuilder, NamesTheRecordOfARefusal) {
  FaiBuilder builder;
  EXPECT_FALSE(Build(">first\nACGT\n>second x\nACGT\nACGTA\n", 5, builder));
  EXPECT_EQ(builder.error().record, "second");
  EXPECT_NE(builder.error().message.find("'second'"), std::string::npos);
}

TEST(FaiBuilder, GivesEveryRecordOfANameMetTwice) {
  // Keeping the first is the caller's part.
  FaiBuilder builder;
  ASSERT_TRUE(Build(">a\nACGT\n>a x\nAA\n", 4, builder));
  ASSERT_EQ(builder.entries().size(), 2u);
  EXPECT_EQ(builder.entries()[1].line, 3);
}

TEST(ParseFai, ReadsWhatFormatFaiWrites) {
  for (const Case& c : Cases()) {
    if (c.fai.empty()) continue;
    std::vector<FaiEntry> entries;
    bool fastq = false;
    IndexError error;
    ASSERT_TRUE(ParseFai(c.fai, entries, fastq, error)) << c.name << ": " << error.message;
    EXPECT_EQ(FormatFai(entries, fastq), c.fai) << c.name;
  }
}

TEST(ParseFai, RefusesMalformedLinesNamingThem) {
  const std::vector<std::pair<std::string, int64_t>> bad = {
      {"a\t1\t2\t3\n", 1},                       // four fields
      {"a\t1\t2\t3\t4\nb\t1\t2\t3\t4\t5\n", 2},  // five, then six
      {"a\t1\t2\t3\t4\nb\t1\tx\t3\t4\n", 2},     // a field that is no number
      {"a\t1\t2\t-3\t4\n", 1},
      {"a\t10\t2\t6\t4\n", 1},  // a line narrower than its bases
      {"a\t99999999999999999999\t2\t3\t4\n", 1},
  };
  for (const auto& [text, line] : bad) {
    std::vector<FaiEntry> entries;
    bool fastq = false;
    IndexError error;
    EXPECT_FALSE(ParseFai(text, entries, fastq, error)) << text;
    EXPECT_EQ(error.line, line) << text;
  }
}

TEST(FaiEntry, EndIsJustPastTheLastBase) {
  FaiEntry entry;
  entry.offset = 10;
  entry.line_bases = 4;
  entry.line_width = 5;
  for (const auto& [length, end] : std::vector<std::pair<uint64_t, uint64_t>>{
           {0, 10}, {1, 11}, {4, 14}, {5, 16}, {8, 19}, {9, 21}}) {
    entry.length = length;
    EXPECT_EQ(entry.End(), end) << length;
  }
}

}  // namespace
}  // namespace formats
