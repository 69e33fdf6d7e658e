#include "kernels/kmers.h"

#include <algorithm>
#include <cstdint>
#include <limits>
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

using Wide = unsigned __int128;

TEST(KmersTest, MaxKmerLengthIsTheLargestKWhoseKmersFit) {
  EXPECT_EQ(MaxKmerLength(2), 64u);
  EXPECT_EQ(MaxKmerLength(4), 32u);
  EXPECT_EQ(MaxKmerLength(5), 27u);
  EXPECT_EQ(MaxKmerLength(20), 14u);
  EXPECT_EQ(MaxKmerLength(21), 14u);
  EXPECT_EQ(MaxKmerLength(256), 8u);
  EXPECT_EQ(MaxKmerLength(1), std::numeric_limits<size_t>::max());
  const Wide two_64 = Wide{1} << 64;
  for (uint64_t base : {2ull, 3ull, 4ull, 7ull, 16ull, 255ull, 256ull, 1000ull, 65536ull,
                        4294967296ull, 4294967297ull, 1ull << 63, ~0ull}) {
    const size_t k = MaxKmerLength(base);
    Wide power = 1;
    for (size_t j = 0; j < k; ++j) power *= base;
    EXPECT_LE(power, two_64) << "base " << base;
    EXPECT_GT(power * base, two_64) << "base " << base;
  }
}

// The k-mers computed one by one from their codes, in 128 bits.
std::vector<uint64_t> Reference(const std::vector<uint8_t>& codes, size_t k, uint64_t base) {
  std::vector<uint64_t> kmers;
  for (size_t i = 0; i + k <= codes.size(); ++i) {
    Wide kmer = 0;
    for (size_t j = 0; j < k; ++j) kmer = kmer * base + codes[i + j];
    EXPECT_LT(kmer, Wide{1} << 64);
    kmers.push_back(static_cast<uint64_t>(kmer));
  }
  return kmers;
}

class KmersBaseTest : public ::testing::TestWithParam<uint64_t> {};

// Every k from 1 to the largest, sequences shorter than k, short enough for
// one lane and long enough for several with uneven remainders, and a code out
// of range at the first, middle and last position.
TEST_P(KmersBaseTest, AgreesWithTheReferenceForEveryK) {
  const uint64_t base = GetParam();
  std::mt19937_64 rng(base);
  const size_t max_k = std::min<size_t>(MaxKmerLength(base), 64);
  for (size_t k = 1; k <= max_k; ++k) {
    for (const size_t n : {size_t{0}, k - 1, k, k + 1, k + 5, size_t{255} + k, size_t{256} + k + 3,
                           size_t{1000} + rng() % 1000}) {
      std::vector<uint8_t> codes(n);
      for (uint8_t& c : codes) c = static_cast<uint8_t>(base >= 256 ? rng() % 256 : rng() % base);
      std::vector<std::pair<std::vector<uint8_t>, size_t>> cases = {{codes, n}};
      if (n != 0 && base < 256) {
        for (const size_t at : {size_t{0}, n / 2, n - 1}) {
          cases.emplace_back(codes, at);
          cases.back().first[at] = static_cast<uint8_t>(base + rng() % (256 - base));
        }
      }
      for (const auto& each : cases) {
        const std::vector<uint8_t>& input = each.first;
        const size_t stop = each.second;
        const std::vector<uint64_t> expected =
            stop == n ? Reference(input, k, base) : std::vector<uint64_t>{};
        ForEachIsa([&](Isa) {
          std::vector<uint64_t> out(KmerCount(n, k) + 1, 0xDEAD);
          ASSERT_EQ(Kmers(input.data(), n, k, base, out.data()), stop)
              << "k = " << k << ", n = " << n;
          EXPECT_EQ(out.back(), 0xDEADu) << "wrote past the k-mers";
          if (stop == n) {
            out.pop_back();
            ASSERT_EQ(out, expected) << "k = " << k << ", n = " << n;
          }
        });
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Bases, KmersBaseTest,
                         ::testing::Values(1, 2, 3, 4, 5, 16, 20, 21, 255, 256, 300));

TEST(KmersTest, KmerCountAndLengthZero) {
  EXPECT_EQ(KmerCount(10, 0), 0u);
  EXPECT_EQ(KmerCount(10, 11), 0u);
  EXPECT_EQ(KmerCount(10, 10), 1u);
  EXPECT_EQ(KmerCount(0, 1), 0u);
  const uint8_t codes[] = {0, 1, 2, 3};
  uint64_t out = 0xDEAD;
  // No k-mer, but the codes are still checked.
  EXPECT_EQ(Kmers(codes, 4, 0, 4, &out), 4u);
  EXPECT_EQ(Kmers(codes, 4, 0, 3, &out), 3u);
  EXPECT_EQ(Kmers(codes, 4, 5, 2, &out), 2u);
  EXPECT_EQ(out, 0xDEADu);
}

TEST(KmersTest, NoReadsOrWritesPastTheBuffers) {
  std::mt19937_64 rng(21);
  for (const size_t k : {1, 3, 8, 32}) {
    for (size_t n = 0; n <= 600; n += 1 + n / 16) {
      FencedBuffer<uint8_t> codes(n, Placement::kAgainstEnd);
      for (size_t i = 0; i < n; ++i) codes.data()[i] = static_cast<uint8_t>(rng() % 4);
      FencedBuffer<uint64_t> out(KmerCount(n, k), Placement::kAgainstEnd);
      EXPECT_EQ(Kmers(codes.data(), n, k, 4, out.data()), n);
      EXPECT_EQ(Kmers(codes.data(), n, k, 5, out.data()), n);
    }
  }
}

// The smaller of each window's k-mer and its reverse complement's, computed
// one by one.
std::vector<uint64_t> ReferenceCanonical(const std::vector<uint8_t>& codes, size_t k, uint64_t base,
                                         const uint8_t* complement) {
  std::vector<uint64_t> kmers;
  for (size_t i = 0; i + k <= codes.size(); ++i) {
    Wide forward = 0, reverse = 0;
    for (size_t j = 0; j < k; ++j) {
      forward = forward * base + codes[i + j];
      reverse = reverse * base + complement[codes[i + k - 1 - j]];
    }
    kmers.push_back(static_cast<uint64_t>(std::min(forward, reverse)));
  }
  return kmers;
}

// Bases with shifts (4, 16) and without (5, 6, 20), every k that fits, and
// lengths around the lanes' split.
TEST(CanonicalKmersTest, AgreesWithTheReferenceForEveryK) {
  std::mt19937_64 rng(31);
  for (const uint64_t base : {2, 4, 5, 6, 16, 20}) {
    uint8_t complement[256] = {};
    for (uint64_t code = 0; code < base; ++code) {
      complement[code] = static_cast<uint8_t>(base - 1 - code);
    }
    if (base == 6) std::swap(complement[0], complement[1]);  // not only base - 1 - code
    for (size_t k = 1; k <= MaxKmerLength(base); ++k) {
      for (const size_t n : {size_t{0}, k - 1, k, k + 3, size_t{256} + k + 5, size_t{1100}}) {
        std::vector<uint8_t> codes(n);
        for (uint8_t& c : codes) c = static_cast<uint8_t>(rng() % base);
        const std::vector<uint64_t> expected = ReferenceCanonical(codes, k, base, complement);
        ForEachIsa([&](Isa) {
          std::vector<uint64_t> out(KmerCount(n, k));
          ASSERT_EQ(CanonicalKmers(codes.data(), n, k, base, complement, out.data()), n);
          ASSERT_EQ(out, expected) << "base " << base << ", k " << k << ", n " << n;
        });
      }
    }
  }
}

TEST(MixKmerTest, IsInvertibleSoDistinctKmersNeverTie) {
  // Each step undone in turn: the multiplications by their inverses modulo
  // 2^64, the shifts by shifting again.
  auto unshift = [](uint64_t y, int s) {
    uint64_t x = y;
    for (int shift = s; shift < 64; shift += s) x ^= y >> shift;
    return x;
  };
  auto inverse = [](uint64_t odd) {
    uint64_t x = odd;
    for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
    return x;
  };
  std::mt19937_64 rng(5);
  for (int i = 0; i < 1000; ++i) {
    const uint64_t kmer = i < 10 ? static_cast<uint64_t>(i) : rng();
    uint64_t x = MixKmer(kmer);
    x = unshift(x, 33) * inverse(0x81DADEF4BC2DD44D);
    x = unshift(x, 27) * inverse(0x7FB5D329728EA185);
    EXPECT_EQ(unshift(x, 31), kmer);
  }
}

// For each window, the leftmost smallest; reported when it changes.
std::vector<std::pair<uint64_t, uint64_t>> ReferenceMinimizers(const std::vector<uint64_t>& kmers,
                                                               size_t w) {
  std::vector<std::pair<uint64_t, uint64_t>> found;
  for (size_t start = 0; start + w <= kmers.size(); ++start) {
    size_t best = start;
    for (size_t i = start + 1; i < start + w; ++i) {
      if (MixKmer(kmers[i]) < MixKmer(kmers[best])) best = i;
    }
    if (found.empty() || found.back().first != best) found.emplace_back(best, kmers[best]);
  }
  return found;
}

// Few distinct k-mers make many ties; counts around multiples of w.
TEST(MinimizersTest, AgreeWithTheReference) {
  std::mt19937_64 rng(11);
  for (const size_t w : {1, 2, 3, 10, 16}) {
    for (const uint64_t distinct : {2, 5, 1000000}) {
      for (const size_t count : {size_t{0}, w - 1, w, w + 1, 3 * w, 3 * w + 1, size_t{500}}) {
        std::vector<uint64_t> kmers(count);
        for (uint64_t& kmer : kmers) kmer = rng() % distinct;
        uint64_t last = UINT64_MAX;
        std::vector<uint64_t> positions(count + 1), values(count + 1);
        MinimizerScratch scratch;
        const size_t found =
            Minimizers(kmers.data(), count, w, 0, last, positions.data(), values.data(), scratch);
        const auto expected = ReferenceMinimizers(kmers, w);
        ASSERT_EQ(found, expected.size()) << "w " << w << ", count " << count;
        for (size_t i = 0; i < found; ++i) {
          EXPECT_EQ(positions[i], expected[i].first);
          EXPECT_EQ(values[i], expected[i].second);
        }
      }
    }
  }
}

}  // namespace
}  // namespace kernels
