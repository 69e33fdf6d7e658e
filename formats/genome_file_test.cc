#include "formats/genome_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "formats/bgzf_testing.h"

namespace formats {
namespace {

// A file in the test's temporary folder, removed at the end.
class TempFile {
 public:
  explicit TempFile(const std::string& contents) {
    static int count = 0;
    path_ = ::testing::TempDir() + "genome_file_test_" + std::to_string(::getpid()) + "_" +
            std::to_string(count++);
    std::ofstream(path_, std::ios::binary) << contents;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct Genome {
  std::string file;                    // the FASTA text
  std::vector<std::string> sequences;  // each record's bases
};

Genome RandomGenome(std::mt19937& random, const char* line_end) {
  Genome genome;
  const size_t widths[] = {1, 59, 60, 61};
  for (int record = 0; record < 6; ++record) {
    const size_t width = widths[record % 4];
    std::string bases(1 + random() % 5000, 'A');
    for (char& base : bases) base = "ACGTNacgtn"[random() % 10];
    genome.file += ">seq" + std::to_string(record) + " a description" + line_end;
    for (size_t at = 0; at < bases.size(); at += width) {
      genome.file += bases.substr(at, width) + line_end;
    }
    genome.sequences.push_back(bases);
  }
  return genome;
}

// The same bytes as BGZF, in blocks of random sizes, empty ones among them.
std::string AsBgzf(std::mt19937& random, const std::string& data) {
  std::string out;
  for (size_t at = 0; at < data.size();) {
    if (random() % 5 == 0) out += testing::StoredBgzfBlock("");
    const size_t size = std::min<size_t>(data.size() - at, 1 + random() % 3000);
    out += testing::StoredBgzfBlock(data.substr(at, size));
    at += size;
  }
  return out + testing::StoredBgzfBlock("");
}

std::unique_ptr<GenomeFile> OpenIndexed(const std::string& path, std::string& error) {
  FaiBuilder fai;
  GziBuilder gzi;
  bool bgzf = false;
  if (!BuildIndex(path, fai, gzi, bgzf, error)) {
    if (fai.failed()) error = fai.error().message;
    return nullptr;
  }
  return GenomeFile::Open(path, fai.entries(), fai.fastq(), bgzf ? &gzi.entries() : nullptr, error);
}

void ExpectRandomFetches(const GenomeFile& file, const Genome& genome, uint32_t seed) {
  std::mt19937 random(seed);
  std::string error;
  for (int round = 0; round < 300; ++round) {
    const size_t i = random() % genome.sequences.size();
    const std::string& bases = genome.sequences[i];
    const uint64_t begin = random() % (bases.size() + 1);
    const uint64_t end = begin + random() % (bases.size() - begin + 1);
    std::string out(end - begin, '?');
    ASSERT_EQ(file.Fetch(i, begin, end, out.data(), error), static_cast<int64_t>(end - begin))
        << error;
    ASSERT_EQ(out, bases.substr(begin, end - begin))
        << "sequence " << i << " [" << begin << ", " << end << ")";
  }
}

TEST(GenomeFile, FetchesEqualTheSequencesPlainAndBgzf) {
  std::mt19937 random(21);
  for (const char* line_end : {"\n", "\r\n"}) {
    const Genome genome = RandomGenome(random, line_end);
    for (bool bgzf : {false, true}) {
      const TempFile file(bgzf ? AsBgzf(random, genome.file) : genome.file);
      std::string error;
      const auto opened = OpenIndexed(file.path(), error);
      ASSERT_TRUE(opened) << error;
      EXPECT_EQ(opened->bgzf(), bgzf);
      EXPECT_EQ(opened->data_size(), genome.file.size());
      EXPECT_TRUE(opened->Fits());
      ExpectRandomFetches(*opened, genome, 7);
      std::string header;
      ASSERT_TRUE(opened->Header(2, header, error)) << error;
      EXPECT_EQ(header, "seq2 a description");
    }
  }
}

TEST(GenomeFile, ThreadsShareOneFileAndItsBlockCache) {
  std::mt19937 random(5);
  const Genome genome = RandomGenome(random, "\n");
  const TempFile file(AsBgzf(random, genome.file));
  std::string error;
  const auto opened = OpenIndexed(file.path(), error);
  ASSERT_TRUE(opened) << error;
  std::vector<std::thread> threads;
  for (uint32_t seed = 0; seed < 4; ++seed) {
    threads.emplace_back([&, seed] { ExpectRandomFetches(*opened, genome, seed); });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(GenomeFile, ReadsLinesOfMoreThanBasesAsTheToolsDo) {
  // The region's bases are those from its first byte on, passing over the
  // rest, where the lines are not all alike: spaces, and a line as wide as
  // the first but with fewer bases; or lines after the first with a base
  // more than it in as many bytes (a line feed where it ends in a carriage
  // return and a line feed), where the index's arithmetic runs past their
  // bases into the next header.
  using Fetched = std::tuple<size_t, uint64_t, uint64_t, std::string>;
  const std::pair<std::string, std::vector<Fetched>> files[] = {
      {">a\nAC GT\nACGT\n>b\nACGT\nACG\r\nAC\n",
       {{0, 0, 8, "ACGTACGT"}, {0, 1, 3, "CG"}, {1, 0, 9, "ACGTACGAC"}, {1, 3, 6, "TAC"}}},
      {">a\nACG\r\nACGT\nTTGA\n>b\nACGT",
       {{0, 0, 11, "ACGACGTTTGA"}, {0, 3, 7, "ACGT"}, {0, 0, 3, "ACG"}, {1, 0, 4, "ACGT"}}},
  };
  for (const auto& [text, cases] : files) {
    const TempFile file(text);
    std::string error;
    const auto opened = OpenIndexed(file.path(), error);
    ASSERT_TRUE(opened) << error;
    EXPECT_TRUE(opened->Fits());
    for (const auto& [i, begin, end, expected] : cases) {
      std::string out(end - begin, '?');
      EXPECT_EQ(opened->Fetch(i, begin, end, out.data(), error),
                static_cast<int64_t>(expected.size()));
      EXPECT_EQ(out, expected) << text;
    }
  }
}

TEST(GenomeFile, AnIndexOfALongerFileDoesNotFit) {
  const TempFile file(">a\nACGT\nAC\n");
  std::vector<FaiEntry> entries(1);
  entries[0] = {"a", 12, 3, 4, 5, 0, 1};
  std::string error;
  const auto opened = GenomeFile::Open(file.path(), entries, false, nullptr, error);
  ASSERT_TRUE(opened) << error;
  EXPECT_FALSE(opened->Fits());
  std::string out(12, '?');
  EXPECT_LT(opened->Fetch(0, 0, 12, out.data(), error), 12);
}

TEST(GenomeFile, RefusesGzipThatIsNotBgzfAndAStaleGzi) {
  const TempFile gzip(std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03xxxxxxxxxx", 20));
  FaiBuilder fai;
  GziBuilder gzi;
  bool bgzf = false;
  std::string error;
  EXPECT_FALSE(BuildIndex(gzip.path(), fai, gzi, bgzf, error));
  EXPECT_NE(error.find("gzip"), std::string::npos);
  EXPECT_FALSE(GenomeFile::Open(gzip.path(), {}, false, nullptr, error));
  // A .gzi whose last block lies inside a block: the data then fits nothing.
  const TempFile blocks(testing::StoredBgzfBlock(">a\nACGT\n") + testing::StoredBgzfBlock(""));
  const std::vector<GziEntry> wrong = {{5, 3}};
  std::vector<FaiEntry> entries(1);
  entries[0] = {"a", 4, 3, 4, 5, 0, 1};
  const auto opened = GenomeFile::Open(blocks.path(), entries, false, &wrong, error);
  ASSERT_TRUE(opened) << error;
  EXPECT_FALSE(opened->Fits());
}

}  // namespace
}  // namespace formats
