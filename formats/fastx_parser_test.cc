#include "formats/fastx_parser.h"

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace formats {
namespace {

struct Owned {
  std::string id, description, sequence, quality;
  int64_t line = 0;
  bool ascii = true;
  bool operator==(const Owned&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Owned& r) {
  return out << "{" << r.id << "|" << r.description << "|" << r.sequence << "|" << r.quality
             << "|line " << r.line << (r.ascii ? "" : "|non-ascii") << "}";
}

struct Outcome {
  std::vector<Owned> records;
  ErrorKind kind = ErrorKind::kNone;
  int64_t line = 0;
  std::string message;
  Format format = Format::kUnknown;
};

void Take(FastxParser& parser, Outcome& out) {
  // Records are copied at once: their views end with the next call.
  parser.Parse();
  for (const Record& r : parser.records()) {
    out.records.push_back({std::string(r.id), std::string(r.description), std::string(r.sequence),
                           std::string(r.quality), r.line, r.ascii});
  }
}

// Feeds `input` in pieces of `chunk` bytes, parsing after each, through
// Reserve and Commit (committing less than was reserved, as a short read
// does).
Outcome ParseInChunks(std::string_view input, size_t chunk) {
  FastxParser parser;
  Outcome out;
  for (size_t at = 0; at < input.size() && !parser.done(); at += chunk) {
    const std::string_view piece = input.substr(at, chunk);
    std::span<char> room = parser.Reserve(piece.size());
    EXPECT_GE(room.size(), piece.size());
    std::copy(piece.begin(), piece.end(), room.begin());
    parser.Commit(piece.size());
    Take(parser, out);
  }
  parser.Finish();
  Take(parser, out);
  EXPECT_TRUE(parser.done());
  out.kind = parser.error().kind;
  out.line = parser.error().line;
  out.message = parser.error().message;
  out.format = parser.format();
  return out;
}

// The outcome of `input` fed whole, after checking that every way of cutting
// it into equal pieces gives the same.
Outcome ParseEveryWay(std::string_view input) {
  const Outcome whole = ParseInChunks(input, input.size() + 1);
  for (size_t chunk = 1; chunk <= input.size(); ++chunk) {
    const Outcome cut = ParseInChunks(input, chunk);
    EXPECT_EQ(cut.records, whole.records) << "chunks of " << chunk;
    EXPECT_EQ(cut.kind, whole.kind) << "chunks of " << chunk;
    EXPECT_EQ(cut.message, whole.message) << "chunks of " << chunk;
  }
  return whole;
}

Owned Fasta(std::string id, std::string description, std::string sequence, int64_t line) {
  return {std::move(id), std::move(description), std::move(sequence), "", line, true};
}

Owned Fastq(std::string id, std::string sequence, std::string quality, int64_t line) {
  return {std::move(id), "", std::move(sequence), std::move(quality), line, true};
}

struct GoodCase {
  const char* name;
  std::string_view input;
  Format format;
  std::vector<Owned> records;
};

std::ostream& operator<<(std::ostream& out, const GoodCase& c) { return out << c.name; }

class AwkwardInput : public testing::TestWithParam<GoodCase> {};

TEST_P(AwkwardInput, GivesItsRecordsHoweverItIsCut) {
  const GoodCase& c = GetParam();
  const Outcome out = ParseEveryWay(c.input);
  EXPECT_EQ(out.kind, ErrorKind::kNone) << out.message;
  EXPECT_EQ(out.format, c.format);
  EXPECT_EQ(out.records, c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Fastx, AwkwardInput,
    testing::Values(GoodCase{"empty", "", Format::kUnknown, {}},
                    GoodCase{"only_blank_lines", "\n \r\n\t\n", Format::kUnknown, {}},
                    GoodCase{"only_a_byte_order_mark", "\xEF\xBB\xBF", Format::kUnknown, {}},
                    GoodCase{"multi_line_fasta",
                             ">r1 first read\nACGT\nGG\nT\n>r2\nCC\n",
                             Format::kFasta,
                             {Fasta("r1", "first read", "ACGTGGT", 1), Fasta("r2", "", "CC", 5)}},
                    GoodCase{"crlf_and_no_final_line_end",
                             ">r1 d\r\nAC\r\nGT\r\n>r2\r\nTT\r",
                             Format::kFasta,
                             {Fasta("r1", "d", "ACGT", 1), Fasta("r2", "", "TT", 4)}},
                    GoodCase{"byte_order_mark_then_fasta",
                             "\xEF\xBB\xBF>r\nAC\n",
                             Format::kFasta,
                             {Fasta("r", "", "AC", 1)}},
                    GoodCase{"blank_lines_anywhere",
                             "\n\n>a\n\nAC\n  \nGT\n\n>b\n\n",
                             Format::kFasta,
                             {Fasta("a", "", "ACGT", 3), Fasta("b", "", "", 9)}},
                    GoodCase{"empty_records",
                             ">a\n>b\nA\n>c\n>d",
                             Format::kFasta,
                             {Fasta("a", "", "", 1), Fasta("b", "", "A", 2), Fasta("c", "", "", 4),
                              Fasta("d", "", "", 5)}},
                    GoodCase{"header_words",
                             ">\n>id\tdesc  with  spaces  \n>  lead\n>id \n",
                             Format::kFasta,
                             {Fasta("", "", "", 1), Fasta("id", "desc  with  spaces  ", "", 2),
                              Fasta("", "lead", "", 3), Fasta("id", "", "", 4)}},
                    GoodCase{"fasta_keeps_other_characters_of_sequence_lines",
                             ">r\n@AC GT+\n;x\n",
                             Format::kFasta,
                             {Fasta("r", "", "@AC GT+;x", 1)}},
                    GoodCase{"fastq_four_line",
                             "@r1 d\nACGT\n+\nIIII\n@r2\nGG\n+r2\n#@\n",
                             Format::kFastq,
                             {{"r1", "d", "ACGT", "IIII", 1, true}, Fastq("r2", "GG", "#@", 5)}},
                    GoodCase{"fastq_multi_line_with_markers_in_quality",
                             "@r\nAC\nGT\n+\n@I\n+I\n\n@s\nA\n+\n@",
                             Format::kFastq,
                             {Fastq("r", "ACGT", "@I+I", 1), Fastq("s", "A", "@", 8)}},
                    GoodCase{
                        "fastq_empty_sequences",
                        "@a\n\n+\n\n@b\n+\n@c\nA\n+\nI\r\n",
                        Format::kFastq,
                        {Fastq("a", "", "", 1), Fastq("b", "", "", 5), Fastq("c", "A", "I", 7)}},
                    GoodCase{"utf8_text_counts_characters",
                             "@r\xC3\xA9 \xE2\x82\xAC\nA\xC3\xA9\n+\nII\n",
                             Format::kFastq,
                             {{"r\xC3\xA9", "\xE2\x82\xAC", "A\xC3\xA9", "II", 1, false}}},
                    GoodCase{"ascii_is_per_record",
                             ">a\nAC\n>b\n\xC3\xA9\n>c\nG\n",
                             Format::kFasta,
                             {Fasta("a", "", "AC", 1),
                              {"b", "", "\xC3\xA9", "", 3, false},
                              Fasta("c", "", "G", 5)}}),
    [](const testing::TestParamInfo<GoodCase>& info) { return info.param.name; });

struct BadCase {
  const char* name;
  std::string_view input;
  ErrorKind kind;
  int64_t line;
  std::string_view message;
  size_t records_before;
};

std::ostream& operator<<(std::ostream& out, const BadCase& c) { return out << c.name; }

class MalformedInput : public testing::TestWithParam<BadCase> {};

TEST_P(MalformedInput, NamesTheLineAfterTheRecordsBeforeIt) {
  const BadCase& c = GetParam();
  const Outcome out = ParseEveryWay(c.input);
  EXPECT_EQ(out.kind, c.kind) << out.message;
  EXPECT_EQ(out.line, c.line);
  EXPECT_EQ(out.message, c.message);
  EXPECT_EQ(out.records.size(), c.records_before);
  for (const Owned& record : out.records) EXPECT_EQ(record.id, "ok");
}

INSTANTIATE_TEST_SUITE_P(
    Fastx, MalformedInput,
    testing::Values(
        BadCase{"no_header", "\nACGT\n>ok\n", ErrorKind::kNoHeader, 2,
                "line 2: expected a header line starting with '>' (FASTA) or '@' (FASTQ), "
                "found 'ACGT'",
                0},
        BadCase{"fastq_record_without_at", "@ok\nA\n+\nI\n\nA\n+\nI\n", ErrorKind::kNoHeader, 6,
                "line 6: expected a FASTQ header line starting with '@', found 'A'", 1},
        BadCase{"fasta_header_in_fastq", "@ok\nA\n+\nI\n>r\nA\n", ErrorKind::kNoHeader, 5,
                "line 5: expected a FASTQ header line starting with '@', found '>r'", 1},
        BadCase{"missing_plus", "@ok\nA\n+\nI\n@r\nAC\nII\n@s\nA\n+\nI\n", ErrorKind::kMissingPlus,
                8, "line 8: expected the '+' line of FASTQ record 'r', found '@s'", 1},
        BadCase{"truncated_after_header", "@ok\nA\n+\nI\n@r two\n", ErrorKind::kTruncated, 5,
                "line 5: FASTQ record 'r' is cut short: the input ends before its '+' line", 1},
        BadCase{"truncated_after_sequence", "@r\nACGT", ErrorKind::kTruncated, 1,
                "line 1: FASTQ record 'r' is cut short: the input ends before its '+' line", 0},
        BadCase{"truncated_after_plus", "@ok\nA\n+\nI\n@r\nAC\n+\n\n", ErrorKind::kTruncated, 5,
                "line 5: FASTQ record 'r' is cut short: the input ends before its quality", 1},
        BadCase{"quality_too_long", "@ok\nA\n+\nI\n@r\nAC\n+\nIII\n@s\n", ErrorKind::kQualityLength,
                8, "line 8: the quality of FASTQ record 'r' has 3 characters, its sequence 2", 1},
        BadCase{"quality_too_short_before_next_record", "@ok\nA\n+\nI\n@r\nACG\n+\nII\n@s\nA\n",
                ErrorKind::kQualityLength, 8,
                "line 8: the quality of FASTQ record 'r' has 2 characters, its sequence 3", 1},
        BadCase{"quality_too_short_at_the_end", "@r\nACG\n+\nII", ErrorKind::kQualityLength, 4,
                "line 4: the quality of FASTQ record 'r' has 2 characters, its sequence 3", 0},
        BadCase{"multi_line_quality_overrun", "@r\nACGT\n+\nII\nIII\n", ErrorKind::kQualityLength,
                5, "line 5: the quality of FASTQ record 'r' has 5 characters, its sequence 4", 0},
        BadCase{"invalid_utf8_in_header", ">ok\nA\n>r\xFF\nA\n", ErrorKind::kInvalidUtf8, 3,
                "line 3: not UTF-8: byte 0xff at column 3", 1},
        BadCase{"invalid_utf8_cut_at_the_end", ">ok\nA\nC\xC3", ErrorKind::kInvalidUtf8, 3,
                "line 3: not UTF-8: byte 0xc3 at column 2", 0},
        BadCase{"invalid_utf8_cut_by_a_line_end", ">ok\nA\xE2\x82\nC\n", ErrorKind::kInvalidUtf8, 2,
                "line 2: not UTF-8: byte 0xe2 at column 2", 0},
        BadCase{"surrogate_in_quality", "@r\nA\n+\n\xED\xA0\x80\n", ErrorKind::kInvalidUtf8, 4,
                "line 4: not UTF-8: byte 0xed at column 1", 0}),
    [](const testing::TestParamInfo<BadCase>& info) { return info.param.name; });

// Text quoted in a message stays on one line, escaped, and short.
TEST(FastxParserTest, QuotedTextIsEscapedAndCut) {
  const std::string input = "x'\\\x01\xC3\xA9" + std::string(50, 'y');
  const Outcome out = ParseInChunks(input, input.size());
  EXPECT_EQ(out.message,
            "line 1: expected a header line starting with '>' (FASTA) or '@' (FASTQ), found "
            "'x\\'\\\\\\x01\xC3\xA9" +
                std::string(34, 'y') + "'...");
  // The cut falls inside a two-byte character: the whole character goes.
  const Outcome cut = ParseInChunks(std::string(39, 'y') + "\xC3\xA9", 64);
  EXPECT_EQ(cut.message.substr(cut.message.find("found ")),
            "found '" + std::string(39, 'y') + "'...");
}

TEST(FastxParserTest, NothingIsParsedAfterAnError) {
  FastxParser parser;
  parser.Append("x\n>r\nAC\n");
  EXPECT_FALSE(parser.Parse());
  parser.Append(">s\nAC\n");
  parser.Finish();
  EXPECT_FALSE(parser.Parse());
  EXPECT_TRUE(parser.records().empty());
  EXPECT_EQ(parser.error().line, 1);
  EXPECT_TRUE(parser.done());
}

// Memory follows the longest record, not the input: a long input of short
// records in small pieces keeps a small buffer, and a long record is held
// once (plus a piece of input), not once per piece.
TEST(FastxParserTest, MemoryIsBoundedByTheLongestRecord) {
  FastxParser parser;
  const std::string record = ">read some description\n" + std::string(150, 'A') + "\n";
  size_t records = 0;
  size_t most = 0;
  for (int i = 0; i < 20000; ++i) {
    parser.Append(record);
    ASSERT_TRUE(parser.Parse());
    records += parser.records().size();
    most = std::max(most, parser.HeldBytes());
  }
  EXPECT_EQ(records, 19999u);
  EXPECT_LT(most, 8 * record.size());

  const std::string line(1000, 'C');
  parser.Append(">long\n");
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    parser.Append(line + "\n");
    expected += line;
    ASSERT_TRUE(parser.Parse());
    most = std::max(most, parser.HeldBytes());
  }
  parser.Finish();
  ASSERT_TRUE(parser.Parse());
  ASSERT_EQ(parser.records().size(), 1u);
  EXPECT_EQ(parser.records()[0].sequence, expected);
  EXPECT_LT(most, 3 * expected.size());
}

// A long single-line record cut into many pieces, each piece parsed: the
// line is scanned once and the record comes out whole.
TEST(FastxParserTest, LongLineAcrossManyPieces) {
  FastxParser parser;
  std::string sequence;
  std::mt19937 rng(3);
  for (int i = 0; i < 1 << 20; ++i) sequence += "ACGT"[rng() % 4];
  const std::string input = "@r\n" + sequence + "\n+\n" + std::string(sequence.size(), 'I');
  std::vector<std::string> got;
  for (size_t at = 0; at < input.size(); at += 4093) {
    parser.Append(std::string_view(input).substr(at, 4093));
    ASSERT_TRUE(parser.Parse());
    for (const Record& r : parser.records()) got.emplace_back(r.sequence);
  }
  parser.Finish();
  ASSERT_TRUE(parser.Parse());
  ASSERT_EQ(parser.records().size(), 1u);
  EXPECT_EQ(parser.records()[0].sequence, sequence);
  EXPECT_EQ(parser.records()[0].quality.size(), sequence.size());
  EXPECT_TRUE(got.empty());
}

// Random records written in random shapes (line widths, line ends, blank
// lines, a byte-order mark) and cut at random places read back as written.
TEST(FastxParserTest, RandomRecordsRoundTrip) {
  std::mt19937 rng(11);
  auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::string letters = "ACGTN";
  for (int round = 0; round < 300; ++round) {
    const bool fastq = pick(2) == 1;
    const std::string eol = pick(2) == 1 ? "\r\n" : "\n";
    const size_t width = 1 + pick(12);
    std::string input = pick(4) == 0 ? "\xEF\xBB\xBF" : "";
    std::vector<Owned> expected;
    int64_t line = 1;
    auto put_line = [&](const std::string& text) {
      input += text + eol;
      ++line;
    };
    auto put_wrapped = [&](const std::string& text) {
      for (size_t at = 0; at < text.size(); at += width) put_line(text.substr(at, width));
    };
    const size_t count = pick(6);
    for (size_t i = 0; i < count; ++i) {
      if (pick(3) == 0) put_line("");
      Owned r;
      r.id = "r" + std::to_string(i);
      r.description = pick(2) == 1 ? "d " + std::to_string(pick(100)) : "";
      for (size_t n = pick(30); n > 0; --n) r.sequence += letters[pick(letters.size())];
      if (fastq) {
        for (size_t n = r.sequence.size(); n > 0; --n)
          r.quality += static_cast<char>('!' + pick(90));
      }
      r.line = line;
      put_line((fastq ? "@" : ">") + r.id + (r.description.empty() ? "" : " " + r.description));
      put_wrapped(r.sequence);
      if (fastq) {
        put_line("+");
        put_wrapped(r.quality);
      }
      expected.push_back(r);
    }
    if (input.ends_with(eol) && pick(2) == 0) input.resize(input.size() - eol.size());
    for (size_t chunk : {size_t{1}, 1 + pick(7), 1 + pick(64), input.size() + 1}) {
      const Outcome out = ParseInChunks(input, chunk);
      ASSERT_EQ(out.kind, ErrorKind::kNone) << out.message << "\n" << input;
      ASSERT_EQ(out.records, expected) << input;
    }
  }
}

TEST(FastxParser, RefusesALineThatCannotStartAHeaderWithoutWaitingForItsEnd) {
  for (const auto& [input, line, message] :
       std::vector<std::tuple<std::string, int64_t, std::string>>{
           {std::string(1000, '\0'), 1,
            "line 1: expected a header line starting with '>' (FASTA) or '@' (FASTQ), found "
            "'\\x00"},
           {"\n \n" + std::string(1000, 'x'), 3, "found '" + std::string(40, 'x') + "'..."},
           {"@a\nA\n+\nI\n" + std::string(1000, 'x'), 5,
            "expected a FASTQ header line starting with '@'"},
       }) {
    FastxParser parser;
    parser.Append(input);  // no line end, and no Finish
    parser.Parse();
    EXPECT_TRUE(parser.done()) << message;
    EXPECT_EQ(parser.error().kind, ErrorKind::kNoHeader);
    EXPECT_EQ(parser.error().line, line);
    EXPECT_NE(parser.error().message.find(message), std::string::npos) << parser.error().message;
  }
  // A header may be long: only its first byte is looked at.
  FastxParser parser;
  parser.Append(">" + std::string(1000, 'x'));
  parser.Parse();
  EXPECT_FALSE(parser.done());
  // So may blank space, and a line too short to quote whole waits for more.
  parser.Append(std::string(1000, ' '));
  FastxParser other;
  other.Append(std::string(42, 'x'));
  other.Parse();
  EXPECT_FALSE(other.done());
}

TEST(FastxParser, BreakEndsTheInputAtTheLineReached) {
  FastxParser parser;
  parser.Append("@a\nAC\n+\nII\n@b x\nA");
  parser.Parse();
  ASSERT_EQ(parser.records().size(), 1u);
  parser.Break("the source broke");
  EXPECT_FALSE(parser.Parse());
  EXPECT_TRUE(parser.records().empty());
  EXPECT_EQ(parser.error().kind, ErrorKind::kBrokenInput);
  EXPECT_EQ(parser.error().line, 6);
  EXPECT_EQ(parser.error().message, "line 6: the source broke (in record 'b')");
  // Between records nothing is cut short but the input.
  FastxParser between;
  between.Append(">a\nAC\n");
  between.Parse();
  between.Break("cut");
  EXPECT_FALSE(between.Parse());
  EXPECT_EQ(between.error().message, "line 3: cut (in record 'a')");
}

TEST(FastxParser, RecordsTellWhereEachSequenceAndQualityCharacterLies) {
  const std::string input = "@r\nACG\nTAC\n\nGA\n+\nIIIIIIII\n>\n";
  FastxParser parser;
  parser.Append(input.substr(0, input.size() - 2));
  parser.Finish();
  parser.Parse();
  ASSERT_EQ(parser.records().size(), 1u);
  const Record& r = parser.records()[0];
  EXPECT_EQ(r.sequence, "ACGTACGA");
  const std::vector<std::pair<int64_t, size_t>> expected = {{2, 0}, {2, 1}, {2, 2}, {3, 0},
                                                            {3, 1}, {3, 2}, {5, 0}, {5, 1}};
  for (size_t at = 0; at < expected.size(); ++at) {
    const FieldPlace place = PlaceInField(r.sequence_lines, at);
    EXPECT_EQ(std::make_pair(place.line, place.byte), expected[at]) << at;
  }
  EXPECT_EQ(PlaceInField(r.quality_lines, 7).line, 7);
  EXPECT_EQ(PlaceInField(r.quality_lines, 7).byte, 7u);
}

}  // namespace
}  // namespace formats
