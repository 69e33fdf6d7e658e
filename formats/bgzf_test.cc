#include "formats/bgzf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/bgzf_testing.h"

namespace formats {
namespace {

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Crc32, MatchesTheCheckValueOfTheGzipPolynomial) {
  EXPECT_EQ(Crc32(Bytes("123456789")), 0xcbf43926u);
  EXPECT_EQ(Crc32(Bytes("")), 0u);
  // In pieces, continuing from the last.
  EXPECT_EQ(Crc32(Bytes("6789"), Crc32(Bytes("12345"))), 0xcbf43926u);
}

TEST(ParseBlock, ReadsABlockAndAsksForMoreWhenCut) {
  const std::string data = "ACGTACGTNN";
  const std::string block = testing::StoredBgzfBlock(data);
  BgzfBlock parsed;
  size_t needed = 0;
  ASSERT_EQ(ParseBlock(Bytes(block), parsed, needed), BlockFault::kNone);
  EXPECT_EQ(parsed.size, block.size());
  EXPECT_EQ(parsed.uncompressed, data.size());
  EXPECT_EQ(parsed.crc, Crc32(Bytes(data)));
  std::vector<uint8_t> out(kBgzfMaxBlock);
  std::string error;
  ASSERT_EQ(InflateBlock(parsed, out.data(), kBgzfMaxBlock, error), 10) << error;
  EXPECT_EQ(std::string(out.begin(), out.begin() + 10), data);
  for (size_t cut : {size_t{0}, size_t{5}, size_t{12}, size_t{17}, block.size() - 1}) {
    EXPECT_EQ(ParseBlock(Bytes(block.substr(0, cut)), parsed, needed), BlockFault::kShort) << cut;
    EXPECT_GT(needed, cut);
    EXPECT_LE(needed, block.size());
  }
}

TEST(ParseBlock, TellsBgzfFromOtherGzipAndFromPlainText) {
  const std::string block = testing::StoredBgzfBlock("ACGT");
  EXPECT_EQ(CompressionOf(Bytes(block)), Compression::kBgzf);
  EXPECT_EQ(CompressionOf(Bytes(block.substr(0, kBgzfHeaderSize))), Compression::kBgzf);
  // A gzip member without the extra field, as gzip writes it.
  const std::string gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  EXPECT_EQ(CompressionOf(Bytes(gzip + "rest")), Compression::kGzip);
  EXPECT_EQ(CompressionOf(Bytes(">chr1\nACGT\n")), Compression::kNone);
  EXPECT_EQ(CompressionOf(Bytes("")), Compression::kNone);
  BgzfBlock parsed;
  size_t needed = 0;
  EXPECT_EQ(ParseBlock(Bytes(gzip + std::string(30, '\0')), parsed, needed), BlockFault::kNotBgzf);
  std::string small = block;
  small[16] = 2;  // a block size smaller than its header and footer
  small[17] = 0;
  EXPECT_EQ(ParseBlock(Bytes(small), parsed, needed), BlockFault::kMalformed);
}

TEST(InflateBlock, HoldsABlockToTheSizeItStates) {
  std::string block = testing::StoredBgzfBlock("ACGTACGT");
  block[block.size() - 4] = 9;  // ISIZE says 9
  BgzfBlock parsed;
  size_t needed = 0;
  ASSERT_EQ(ParseBlock(Bytes(block), parsed, needed), BlockFault::kNone);
  std::vector<uint8_t> out(kBgzfMaxBlock);
  std::string error;
  EXPECT_EQ(InflateBlock(parsed, out.data(), kBgzfMaxBlock, error), -1);
  EXPECT_FALSE(error.empty());
}

TEST(GziBuilder, ListsTheBlocksThatHoldDataButTheFirst) {
  // As the tools list them: two files of one block each and an empty end
  // block, concatenated; the empty blocks and the block at (0, 0) are left
  // out, and so is a first data block after an empty one.
  GziBuilder gzi;
  gzi.Add(0, 8);
  gzi.Add(39, 0);
  gzi.Add(67, 8);
  gzi.Add(106, 0);
  EXPECT_EQ(gzi.entries(), (std::vector<GziEntry>{{67, 8}}));
  GziBuilder empty_first;
  empty_first.Add(0, 0);
  empty_first.Add(28, 8);
  empty_first.Add(67, 0);
  EXPECT_TRUE(empty_first.entries().empty());
  EXPECT_EQ(empty_first.total(), 8u);
}

TEST(Gzi, ReadsWhatItWritesAndRefusesTheRest) {
  const std::vector<GziEntry> entries = {{100, 65280}, {250, 130560}, {400, 195840}};
  const std::string bytes = FormatGzi(entries);
  ASSERT_EQ(bytes.size(), 8u + 16 * 3);
  EXPECT_EQ(bytes[0], 3);
  std::vector<GziEntry> read;
  std::string error;
  ASSERT_TRUE(ParseGzi(Bytes(bytes), read, error)) << error;
  EXPECT_EQ(read, entries);
  EXPECT_TRUE(ParseGzi(Bytes(FormatGzi({})), read, error));
  EXPECT_TRUE(read.empty());
  EXPECT_FALSE(ParseGzi(Bytes(bytes.substr(0, bytes.size() - 1)), read, error));
  EXPECT_FALSE(ParseGzi(Bytes(bytes.substr(0, 4)), read, error));
  const std::string falling = FormatGzi(std::vector<GziEntry>{{100, 200}, {90, 300}});
  EXPECT_FALSE(ParseGzi(Bytes(falling), read, error));
}

}  // namespace
}  // namespace formats
