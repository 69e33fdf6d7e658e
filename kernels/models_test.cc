#include "kernels/models.h"

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/isa.h"
#include "kernels/kernels_testing.h"

namespace kernels {
namespace {

using testing::FencedBuffer;
using testing::ForEachIsa;
using testing::Placement;

// Each code's row, one byte at a time.
std::vector<uint8_t> ReferenceRows(const std::vector<uint8_t>& codes,
                                   const std::vector<uint8_t>& table, size_t row_bytes) {
  std::vector<uint8_t> out;
  for (const uint8_t code : codes) {
    for (size_t j = 0; j < row_bytes; ++j) out.push_back(table[code * row_bytes + j]);
  }
  return out;
}

// Row sizes of one-hot rows (4 bases or 20 amino acids, in bytes or floats),
// table sizes around the 16 rows the vector paths take, and every length
// up to past two blocks of 64 codes.
TEST(ExpandRowsTest, AgreesWithTheReferenceOnEveryPath) {
  std::mt19937_64 rng(7);
  for (const size_t row_bytes : {1, 4, 16, 20, 80, 3}) {
    for (const size_t rows : {1, 4, 15, 16, 17, 200, 256}) {
      std::vector<uint8_t> table(rows * row_bytes);
      for (uint8_t& b : table) b = static_cast<uint8_t>(rng());
      for (size_t n = 0; n <= 150; n += (n < 70 ? 1 : 7)) {
        std::vector<uint8_t> codes(n);
        for (uint8_t& c : codes) c = static_cast<uint8_t>(rng() % rows);
        const std::vector<uint8_t> expected = ReferenceRows(codes, table, row_bytes);
        ForEachIsa([&](Isa) {
          std::vector<uint8_t> out(n * row_bytes + 1, 0xEE);
          ASSERT_EQ(ExpandRows(codes.data(), n, table.data(), rows, row_bytes, out.data()), n);
          EXPECT_EQ(out.back(), 0xEE) << "wrote past the rows";
          out.pop_back();
          ASSERT_EQ(out, expected) << "rows " << rows << ", row bytes " << row_bytes << ", n " << n;
        });
      }
    }
  }
}

// Outputs of 4 MiB and more are streamed past the cache when aligned: the
// same rows either way, and an unaligned output takes the ordinary stores.
TEST(ExpandRowsTest, LargeOutputsAgreeAlignedOrNot) {
  std::mt19937_64 rng(12);
  for (const size_t row_bytes : {4, 16}) {
    const size_t rows = 16;
    std::vector<uint8_t> table(rows * row_bytes);
    for (uint8_t& b : table) b = static_cast<uint8_t>(rng());
    const size_t n = (size_t{4} << 20) / row_bytes + 37;
    std::vector<uint8_t> codes(n);
    for (uint8_t& c : codes) c = static_cast<uint8_t>(rng() % rows);
    const std::vector<uint8_t> expected = ReferenceRows(codes, table, row_bytes);
    ForEachIsa([&](Isa) {
      for (const size_t offset : {0, 64, 1, 16}) {
        testing::GuardedBuffer<uint8_t> out(n * row_bytes, offset);
        ASSERT_EQ(ExpandRows(codes.data(), n, table.data(), rows, row_bytes, out.data()), n);
        EXPECT_TRUE(out.Values() == expected) << "row bytes " << row_bytes << ", offset " << offset;
        EXPECT_TRUE(out.Intact());
      }
    });
  }
}

TEST(ExpandRowsTest, StopsAtTheFirstCodeWithoutARow) {
  std::mt19937_64 rng(8);
  const std::vector<uint8_t> table(16 * 4, 1);
  for (const size_t n : {1, 15, 16, 17, 64, 100}) {
    for (const size_t at : testing::RefusalPositions(rng, n)) {
      std::vector<uint8_t> codes(n, 3);
      codes[at] = static_cast<uint8_t>(16 + rng() % 200);
      ForEachIsa([&](Isa) {
        std::vector<uint8_t> out(n * 4);
        EXPECT_EQ(ExpandRows(codes.data(), n, table.data(), 16, 4, out.data()), at);
      });
    }
  }
}

TEST(ExpandRowsTest, NoReadsOrWritesPastTheBuffers) {
  std::vector<uint8_t> table(16 * 4);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i);
  ForEachIsa([&](Isa) {
    for (size_t n = 0; n <= 200; ++n) {
      FencedBuffer<uint8_t> codes(n, Placement::kAgainstEnd);
      for (size_t i = 0; i < n; ++i) codes.data()[i] = static_cast<uint8_t>(i % 16);
      FencedBuffer<uint8_t> out(n * 4, Placement::kAgainstEnd);
      EXPECT_EQ(ExpandRows(codes.data(), n, table.data(), 16, 4, out.data()), n);
    }
  });
}

std::vector<uint8_t> ReferenceCodons(const std::vector<uint8_t>& nucleotides,
                                     const std::vector<uint8_t>& table) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 3 <= nucleotides.size(); i += 3) {
    out.push_back(table[nucleotides[i] * 256 + nucleotides[i + 1] * 16 + nucleotides[i + 2]]);
  }
  return out;
}

// Plain bases (the vector paths), ambiguity codes now and then (blocks that
// fall back), and every codon count up to past two blocks of 64.
TEST(TranslateCodonsTest, AgreesWithTheReferenceOnEveryPath) {
  std::mt19937_64 rng(9);
  std::vector<uint8_t> table(kCodonTableSize);
  for (uint8_t& b : table) b = static_cast<uint8_t>('A' + rng() % 26);
  for (const int ambiguous_one_in : {0, 500, 20, 1}) {
    for (size_t codons = 0; codons <= 200; codons += (codons < 140 ? 1 : 13)) {
      std::vector<uint8_t> nucleotides(3 * codons);
      for (uint8_t& nt : nucleotides) {
        const bool other = ambiguous_one_in != 0 && rng() % ambiguous_one_in == 0;
        nt = static_cast<uint8_t>(other ? rng() % 16 : rng() % 4);
      }
      const std::vector<uint8_t> expected = ReferenceCodons(nucleotides, table);
      ForEachIsa([&](Isa) {
        FencedBuffer<uint8_t> in(nucleotides.size(), Placement::kAgainstEnd);
        std::copy(nucleotides.begin(), nucleotides.end(), in.data());
        FencedBuffer<uint8_t> out(codons, Placement::kAgainstEnd);
        TranslateCodons(in.data(), codons, table.data(), out.data());
        ASSERT_EQ(std::vector<uint8_t>(out.data(), out.data() + codons), expected)
            << "codons " << codons;
      });
    }
  }
}

}  // namespace
}  // namespace kernels
