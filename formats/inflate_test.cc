#include "formats/inflate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace formats {
namespace {

// Writes a DEFLATE stream bit by bit: the test's own small encoder of stored
// and fixed-Huffman blocks, so that any sequence of literals and matches can
// be checked against the output it must give.
class BitWriter {
 public:
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
  }
  // A Huffman code goes most significant bit first.
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  void Align() {
    while (used_ != 0) Bit(0);
  }
  void Byte(uint8_t byte) { bytes_.push_back(byte); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void Bit(uint32_t bit) {
    if (used_ == 0) bytes_.push_back(0);
    bytes_.back() = static_cast<uint8_t>(bytes_.back() | (bit << used_));
    used_ = (used_ + 1) % 8;
  }
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

constexpr int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                   33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                   1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void FixedSymbol(BitWriter& out, int symbol) {
  if (symbol < 144) {
    out.Code(0x30 + symbol, 8);
  } else if (symbol < 256) {
    out.Code(0x190 + symbol - 144, 9);
  } else if (symbol < 280) {
    out.Code(symbol - 256, 7);
  } else {
    out.Code(0xc0 + symbol - 280, 8);
  }
}

void FixedMatch(BitWriter& out, int length, int distance) {
  int l = 28;
  while (kLengthBase[l] > length) --l;
  FixedSymbol(out, 257 + l);
  out.Bits(static_cast<uint32_t>(length - kLengthBase[l]), kLengthExtra[l]);
  int d = 29;
  while (kDistanceBase[d] > distance) --d;
  out.Code(static_cast<uint32_t>(d), 5);
  out.Bits(static_cast<uint32_t>(distance - kDistanceBase[d]), kDistanceExtra[d]);
}

// A random fixed-Huffman stream of literals and matches (overlapping ones
// included), and the output it stands for.
std::vector<uint8_t> RandomFixedStream(std::mt19937& random, size_t size, std::string& expected) {
  BitWriter out;
  out.Bits(1, 1);  // final
  out.Bits(1, 2);  // fixed codes
  expected.clear();
  while (expected.size() < size) {
    if (expected.empty() || random() % 3 == 0) {
      const auto byte = static_cast<uint8_t>(random() % 256);
      FixedSymbol(out, byte);
      expected.push_back(static_cast<char>(byte));
      continue;
    }
    const int most = static_cast<int>(std::min<size_t>(expected.size(), 32768));
    const int distance = random() % 4 == 0 ? 1 + static_cast<int>(random() % std::min(most, 8))
                                           : 1 + static_cast<int>(random() % most);
    const int length = 3 + static_cast<int>(random() % 256);
    FixedMatch(out, length, distance);
    for (int i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
  }
  FixedSymbol(out, 256);
  return out.bytes();
}

std::string Inflated(const std::vector<uint8_t>& in, size_t room, InflateStatus& status,
                     size_t wanted = SIZE_MAX) {
  std::vector<uint8_t> out(room);
  const InflateResult result = Inflate(in, out, wanted);
  status = result.status;
  return std::string(out.begin(), out.begin() + static_cast<ptrdiff_t>(result.written));
}

TEST(Inflate, FixedCodesGiveWhatTheirSymbolsSay) {
  std::mt19937 random(11);
  for (int round = 0; round < 40; ++round) {
    std::string expected;
    const std::vector<uint8_t> stream = RandomFixedStream(random, 1 + random() % 20000, expected);
    // Exactly the room needed takes the careful path at the end; more room
    // lets every match take the fast one.
    for (size_t slack : {size_t{0}, size_t{300}}) {
      InflateStatus status;
      EXPECT_EQ(Inflated(stream, expected.size() + slack, status), expected);
      EXPECT_EQ(status, InflateStatus::kEnded);
    }
    std::vector<uint8_t> out(expected.size());
    EXPECT_EQ(Inflate(stream, out).read, stream.size());
  }
}

TEST(Inflate, StoredBlocksFollowedByFixedOnes) {
  BitWriter out;
  const std::string stored = "stored bytes, copied as they are";
  out.Bits(0, 1);
  out.Bits(0, 2);
  out.Align();
  for (uint32_t part :
       {static_cast<uint32_t>(stored.size()), ~static_cast<uint32_t>(stored.size())}) {
    out.Byte(static_cast<uint8_t>(part & 0xff));
    out.Byte(static_cast<uint8_t>((part >> 8) & 0xff));
  }
  for (char c : stored) out.Byte(static_cast<uint8_t>(c));
  out.Bits(1, 1);
  out.Bits(1, 2);
  FixedMatch(out, 6, static_cast<int>(stored.size()));
  FixedSymbol(out, 256);
  InflateStatus status;
  EXPECT_EQ(Inflated(out.bytes(), 100, status), stored + "stored");
  EXPECT_EQ(status, InflateStatus::kEnded);
}

// zlib's output (level 9, raw) for 600 random bases: a block with dynamic
// codes.
constexpr char kDynamicText[] =
    "GCTAAAGACAATTACATAACATACACGTCAGCACGAAACTTGTTGGCCCAGTGTGAATCGCTTAAGGGTTAAGTAAGTGTGATGCATACG"
    "CCTTTACTTGCTGTGTCCACCCCATCGGACTGGCATTTTTATTACACTCAGAAACAGAACTCGGGTAATTTTGACAGGTCACGCAGAGGC"
    "GCGCCCTCCTGAAGTGCGTGGACACTCGCTATGAATCTCTGATTTACCCACTCTGCCAAACTCCAGCGCGGTCAGTTCCATCACCCTAAG"
    "TAACCGAATAATGCGTTCGCTCTATTGACTACGACGCGCTCATTCCCTTGTCGGAGAGTTATGGAACAAGGACGCTGTCTGAGACTAGAA"
    "GACAGATAGTGCACACGACCGGCGTCGGAGAAACTCTATTTGCCGCCTGACAAGTCAATGCGATCCGTAGGGGCAGCGCAGTATGCCAAG"
    "ACTATAGGCACTGTCGCATCACAAACGATTAACTGATAAATGAGCCCTTTATGACACGGGCATATGACTGGTTTACGATAGTATGTCCAA"
    "CGGCGAGCTTTACATTTGCTGTGAGAGGTACAGGGATTAGTGAGAAGCCGTGCGTATCAA";
constexpr char kDynamicStream[] =
    "2d91d91180400c426bcbf04103f45f8b3cd65157cdc19158b93b9fee929efde3d0c9d19977f34adcdb5263fd6c2c"
    "72a36db5f7da43261e406b0362db443c6d15fd6d2c1d6065a464bc820d264e51032279b41931856cb27d5c45efed"
    "91562a906bab9da72e64a740cbb44c73820520e62f99228a7e13c230d4c00e10485460ea461ea4d382ad521ba043"
    "0473f4aa488554fbfc265c3d93bbe94204c5eb9f307890e93903297a422ab1a5ccda4f3d529fa31190c22570cf0f"
    "88f807185e706e639bd249d80af61396387f79c88ce526f0fcf6f8b46dc32c21dbca185e08f0b70bf8ef03";

std::vector<uint8_t> FromHex(const char* hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; hex[i] != '\0'; i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  }
  return bytes;
}

TEST(Inflate, DynamicCodesAsZlibWritesThem) {
  const std::vector<uint8_t> stream = FromHex(kDynamicStream);
  InflateStatus status;
  EXPECT_EQ(Inflated(stream, 4096, status), kDynamicText);
  EXPECT_EQ(status, InflateStatus::kEnded);
}

TEST(Inflate, StopsOnceEnoughHasComeOut) {
  std::mt19937 random(3);
  std::string expected;
  const std::vector<uint8_t> stream = RandomFixedStream(random, 5000, expected);
  for (size_t wanted : {size_t{1}, size_t{100}, size_t{4999}}) {
    InflateStatus status;
    const std::string got = Inflated(stream, expected.size(), status, wanted);
    EXPECT_EQ(status, InflateStatus::kStopped);
    ASSERT_GE(got.size(), wanted);
    EXPECT_EQ(got, expected.substr(0, got.size()));
  }
  InflateStatus status;
  EXPECT_EQ(Inflated(FromHex(kDynamicStream), 4096, status, 10).substr(0, 10),
            std::string(kDynamicText, 10));
}

TEST(Inflate, RefusesWhatIsNotDeflate) {
  BitWriter reserved;
  reserved.Bits(1, 1);
  reserved.Bits(3, 2);  // block type 3 does not exist
  BitWriter too_far;
  too_far.Bits(1, 1);
  too_far.Bits(1, 2);
  FixedSymbol(too_far, 'A');
  FixedMatch(too_far, 3, 2);  // only one byte has come out
  BitWriter bad_stored;
  bad_stored.Bits(1, 1);
  bad_stored.Bits(0, 2);
  bad_stored.Align();
  for (uint8_t byte : {5, 0, 5, 0}) bad_stored.Byte(byte);  // NLEN is not ~LEN
  for (const BitWriter* stream : {&reserved, &too_far, &bad_stored}) {
    InflateStatus status;
    Inflated(stream->bytes(), 64, status);
    EXPECT_EQ(status, InflateStatus::kCorrupt);
  }
}

TEST(Inflate, EveryCutOfAStreamIsTruncatedOrCorruptNeverWhole) {
  std::mt19937 random(5);
  std::string expected;
  const std::vector<uint8_t> fixed = RandomFixedStream(random, 3000, expected);
  for (const std::vector<uint8_t>& stream : {fixed, FromHex(kDynamicStream)}) {
    for (size_t cut = 0; cut < stream.size(); ++cut) {
      const std::vector<uint8_t> part(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut));
      InflateStatus status;
      Inflated(part, 8192, status);
      EXPECT_TRUE(status == InflateStatus::kTruncated || status == InflateStatus::kCorrupt)
          << "cut at " << cut;
    }
  }
}

TEST(Inflate, RefusesOutputBeyondItsRoom) {
  std::mt19937 random(9);
  std::string expected;
  const std::vector<uint8_t> stream = RandomFixedStream(random, 2000, expected);
  InflateStatus status;
  const std::string got = Inflated(stream, expected.size() - 1, status);
  EXPECT_EQ(status, InflateStatus::kTooLong);
  EXPECT_EQ(got, expected.substr(0, got.size()));
}

TEST(Inflate, RandomBytesNeverReachOutsideTheBuffers) {
  // Whatever the input, the decoder ends with a status (the sanitizer
  // builds check the memory it touches).
  std::mt19937 random(13);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> junk(1 + random() % 300);
    for (uint8_t& byte : junk) byte = static_cast<uint8_t>(random());
    InflateStatus status;
    Inflated(junk, 1 + random() % 1024, status);
    EXPECT_NE(status, InflateStatus::kStopped);
  }
}

}  // namespace
}  // namespace formats
