#include "alphabet/hash.h"

#include <cstdint>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace alphabet {
namespace {

constexpr uint64_t kSeedNumbers[] = {1, 2, 0x5eed};
constexpr HashSeed kSeeds[] = {HashSeed::FromNumber(kSeedNumbers[0]),
                               HashSeed::FromNumber(kSeedNumbers[1]),
                               HashSeed::FromNumber(kSeedNumbers[2])};

// Lengths that reach every way a text is read: empty, 1 to 3 bytes, one or
// two half words, one or two words, and several 16-byte blocks with a last
// block that overlaps the one before it or does not.
constexpr size_t kLongest = 56;

class SeededHashTest : public testing::TestWithParam<uint64_t> {
 protected:
  const HashSeed seed = HashSeed::FromNumber(GetParam());
};
INSTANTIATE_TEST_SUITE_P(Seeds, SeededHashTest, testing::ValuesIn(kSeedNumbers));

// A byte that no longer reaches the hash would not break lookups, only
// collapse a table of texts sharing that byte's neighbours into long probe
// runs.  Every byte position must count, and so must the length.
TEST_P(SeededHashTest, EveryByteAndTheLengthReachTheTextHash) {
  for (size_t length = 1; length <= kLongest; ++length) {
    const std::string base(length, 'x');
    for (size_t at = 0; at < length; ++at) {
      std::string changed = base;
      changed[at] = 'y';
      EXPECT_NE(HashText(base, seed), HashText(changed, seed))
          << "length " << length << " byte " << at;
    }
    EXPECT_NE(HashText(base, seed), HashText(base + '\0', seed)) << "length " << length;
  }
  EXPECT_NE(HashText("", seed), HashText(std::string(1, '\0'), seed));
}

// The hash depends on the text's bytes only: the same text read from another
// address, followed by other bytes, hashes alike (a read past the end would
// pick up the bytes that follow).
TEST_P(SeededHashTest, EqualTextsHashEqualWhereverTheyLie) {
  for (size_t length = 0; length <= kLongest; ++length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
    const uint64_t expected = HashText(text, seed);
    for (size_t offset = 1; offset < 8; ++offset) {
      std::string buffer(offset, '#');
      buffer += text;
      buffer.append(16, static_cast<char>(offset));
      EXPECT_EQ(HashText(std::string_view(buffer).substr(offset, length), seed), expected)
          << "length " << length << " offset " << offset;
    }
  }
}

// Were a block's first word not masked with the secret, a zero first word
// would zero the block's product and with it the other word and everything
// mixed in before: texts that differ only there would collide whatever the
// seed.  The byte that differs is in the second word of a text of up to 16
// bytes, and of the first block of a longer one (which its last block does
// not reach).
TEST_P(SeededHashTest, AZeroWordDoesNotWipeOutTheState) {
  for (size_t length : {12, 16, 32, 40, 48}) {
    const size_t at = length <= 16 ? length - 1 : 8;
    std::set<uint64_t> hashes;
    for (int i = 0; i < 64; ++i) {
      std::string text(length, '\0');
      text[at] = static_cast<char>(i);
      hashes.insert(HashText(text, seed));
    }
    EXPECT_EQ(hashes.size(), 64u) << "length " << length;
  }
}

TEST(HashTest, AnotherSeedGivesOtherHashes) {
  for (size_t length = 0; length <= kLongest; ++length) {
    const std::string text(length, 'q');
    std::set<uint64_t> hashes;
    for (const HashSeed& seed : kSeeds) hashes.insert(HashText(text, seed));
    EXPECT_EQ(hashes.size(), std::size(kSeeds)) << "length " << length;
  }
  for (int64_t integer : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{1} << 40}) {
    std::set<uint64_t> hashes;
    for (const HashSeed& seed : kSeeds) hashes.insert(HashInteger(integer, seed));
    EXPECT_EQ(hashes.size(), std::size(kSeeds)) << integer;
  }
  // Each word of the seed counts on its own.
  const std::string texts[] = {"", "ab", "abcdef", "abcdefghijkl", std::string(40, 'z')};
  for (uint64_t HashSeed::* word : {&HashSeed::text, &HashSeed::block}) {
    HashSeed other = kSeeds[0];
    other.*word ^= 1;
    for (const std::string& text : texts) {
      EXPECT_NE(HashText(text, kSeeds[0]), HashText(text, other)) << text.size();
    }
  }
  HashSeed other = kSeeds[0];
  other.integer ^= 1;
  EXPECT_NE(HashInteger(5, kSeeds[0]), HashInteger(5, other));
}

TEST(HashTest, ProcessSeedIsDrawnOnceAndLooksRandom) {
  const HashSeed& seed = ProcessHashSeed();
  EXPECT_EQ(&ProcessHashSeed(), &seed);
  HashSeed seen_by_thread;
  std::thread([&] { seen_by_thread = ProcessHashSeed(); }).join();
  EXPECT_EQ(seen_by_thread.text, seed.text);
  EXPECT_EQ(seen_by_thread.block, seed.block);
  EXPECT_EQ(seen_by_thread.integer, seed.integer);
  // A source that delivered nothing, or one word three times, would show.
  const std::set<uint64_t> words = {seed.text, seed.block, seed.integer};
  EXPECT_EQ(words.size(), 3u);
  EXPECT_FALSE(words.contains(0));
}

TEST(HashTest, EachDrawIsANewSeed) {
  // A seed that is the same in every process (a constant, or one expanded
  // from a fixed number) would be the same on every draw too.
  const HashSeed first = hash_internal::DrawSeed();
  const HashSeed second = hash_internal::DrawSeed();
  EXPECT_NE(first.text, second.text);
  EXPECT_NE(first.block, second.block);
  EXPECT_NE(first.integer, second.integer);
}

}  // namespace
}  // namespace alphabet
