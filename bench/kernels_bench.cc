// The bulk kernels (kernels/) at every instruction set this machine runs,
// each against memcpy of the same number of bytes: encoding and decoding 10M
// random DNA and protein symbols, decoding wider codes, the reverse
// complement, k-mers, and the text helpers.
//
// Every figure is the best of several rounds, the kernel and its memcpy run
// in turn (a, b, a, b, ...) so that a change of load weighs on both.  The
// table gives each kernel's ns per element and its ratio to memcpy, one
// column per set.  With --tsv it prints only the figures bench/suite.py
// shows, for the best set, as tab-separated lines: figure, measured ms,
// baseline ms, unit, baseline name, goal on the ratio ("-" for none), note.
// --rounds N takes the best of N rounds instead of 9, for a busy machine.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/byte_map.h"
#include "kernels/isa.h"
#include "kernels/kmers.h"
#include "kernels/text.h"
#include "kernels/translate.h"

namespace {

using kernels::ByteMap;
using kernels::Isa;
using Clock = std::chrono::steady_clock;

constexpr size_t kSize = 10'000'000;
int rounds = 9;  // --rounds N

constexpr std::string_view kDnaLetters = "ACGT";
constexpr std::string_view kProteinLetters = "ACDEFGHIKLMNPQRSTVWY";

// Keeps the compiler from dropping work whose results nobody reads.
volatile uint64_t sink;

double Seconds(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  const std::chrono::duration<double> took = Clock::now() - start;
  return took.count();
}

// One kernel over its input: what it runs, how many elements, and how many
// bytes its memcpy baseline copies.
struct Case {
  std::string name;
  std::string group;  // the suite's name for the figure, empty to leave it out
  double limit;       // goal on the ratio in the suite, 0 for none
  size_t elements;
  size_t copied_bytes;
  std::function<void()> run;
};

struct Measured {
  double kernel;  // seconds
  double copy;    // seconds
};

Measured Measure(const Case& c) {
  std::vector<uint8_t> from(c.copied_bytes, 1), to(c.copied_bytes, 2);
  Measured best{1e30, 1e30};
  for (int round = 0; round < rounds; ++round) {
    best.kernel = std::min(best.kernel, Seconds(c.run));
    best.copy = std::min(best.copy, Seconds([&] {
                           std::memcpy(to.data(), from.data(), c.copied_bytes);
                           sink = to[c.copied_bytes / 2];
                         }));
  }
  return best;
}

ByteMap MapOf(std::string_view letters, bool encode) {
  std::array<int32_t, 256> images;
  images.fill(ByteMap::kNoImage);
  for (size_t code = 0; code < letters.size(); ++code) {
    const auto letter = static_cast<uint8_t>(letters[code]);
    if (encode) {
      images[letter] = static_cast<int32_t>(code);
    } else {
      images[code] = letter;
    }
  }
  return ByteMap(images);
}

ByteMap DnaComplement() {
  std::array<int32_t, 256> images;
  images.fill(ByteMap::kNoImage);
  for (int code = 0; code < 4; ++code) images[code] = 3 - code;
  return ByteMap(images);
}

struct Data {
  std::vector<uint8_t> dna_text, protein_text, dna_codes, protein_codes;
  std::vector<uint16_t> protein_codes16;
  std::vector<int64_t> protein_codes64;
  ByteMap dna_encode = MapOf(kDnaLetters, true), protein_encode = MapOf(kProteinLetters, true);
  ByteMap dna_decode = MapOf(kDnaLetters, false), protein_decode = MapOf(kProteinLetters, false);
  ByteMap dna_complement = DnaComplement();
  std::vector<uint8_t> out;
  std::vector<uint64_t> kmers;
  std::vector<char> decimal;
};

void Fill(Data& d) {
  std::mt19937_64 rng(42);
  d.dna_codes.resize(kSize);
  d.protein_codes.resize(kSize);
  d.dna_text.resize(kSize);
  d.protein_text.resize(kSize);
  for (size_t i = 0; i < kSize; ++i) {
    d.dna_codes[i] = static_cast<uint8_t>(rng() % kDnaLetters.size());
    d.protein_codes[i] = static_cast<uint8_t>(rng() % kProteinLetters.size());
    d.dna_text[i] = static_cast<uint8_t>(kDnaLetters[d.dna_codes[i]]);
    d.protein_text[i] = static_cast<uint8_t>(kProteinLetters[d.protein_codes[i]]);
  }
  d.protein_codes16.assign(d.protein_codes.begin(), d.protein_codes.end());
  d.protein_codes64.assign(d.protein_codes.begin(), d.protein_codes.end());
  // Outputs are written once so that no round pays for first-touch faults.
  d.out.assign(kSize * 2, 0);
  d.kmers.assign(kSize, 0);
  d.decimal.assign(kSize * kernels::kDecimalBytesPerByteCode, 0);
}

// A kernel call that must go through: a refused input would make the figure
// meaningless.
void Expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "kernels_bench: %s failed\n", what);
    std::exit(1);
  }
}

std::vector<Case> Cases(Data& d) {
  using namespace kernels;
  std::vector<Case> cases;
  auto translate = [&](std::string name, std::string group, const std::vector<uint8_t>& in,
                       const ByteMap& map) {
    cases.push_back({name, group, 3.0, kSize, kSize, [&d, &in, &map] {
                       Expect(TranslateChecked(in.data(), d.out.data(), kSize, map) == kSize,
                              "TranslateChecked");
                     }});
  };
  translate("encode DNA text", "encode 10M DNA symbols", d.dna_text, d.dna_encode);
  translate("encode protein text", "encode 10M protein symbols", d.protein_text, d.protein_encode);
  translate("decode DNA codes", "decode 10M DNA codes", d.dna_codes, d.dna_decode);
  translate("decode protein codes", "decode 10M protein codes", d.protein_codes, d.protein_decode);
  cases.push_back({"decode protein uint16 codes", "", 0, kSize, kSize * 2, [&d] {
                     Expect(TranslateWideChecked(d.protein_codes16.data(), d.out.data(), kSize,
                                                 d.protein_decode) == kSize,
                            "TranslateWideChecked");
                   }});
  cases.push_back({"decode protein int64 codes", "", 0, kSize, kSize * 8, [&d] {
                     Expect(TranslateWideChecked(d.protein_codes64.data(), d.out.data(), kSize,
                                                 d.protein_decode) == kSize,
                            "TranslateWideChecked");
                   }});
  cases.push_back(
      {"reverse complement DNA codes", "reverse complement 10M DNA codes", 2.0, kSize, kSize, [&d] {
         Expect(ReverseTranslateChecked(d.dna_codes.data(), d.out.data(), kSize,
                                        d.dna_complement) == kSize,
                "ReverseTranslateChecked");
       }});
  cases.push_back({"k-mers DNA, k = 21 (8 B out)", "k-mers of 10M DNA codes, k = 21", 2.0, kSize,
                   kSize * 8, [&d] {
                     Expect(Kmers(d.dna_codes.data(), kSize, 21, 4, d.kmers.data()) == kSize,
                            "Kmers");
                   }});
  cases.push_back({"k-mers protein, k = 5 (8 B out)", "k-mers of 10M protein codes, k = 5", 2.0,
                   kSize, kSize * 8, [&d] {
                     Expect(Kmers(d.protein_codes.data(), kSize, 5, 20, d.kmers.data()) == kSize,
                            "Kmers");
                   }});
  cases.push_back({"first non-ASCII byte", "", 0, kSize, kSize,
                   [&d] { Expect(IsAscii(d.protein_text.data(), kSize), "IsAscii"); }});
  cases.push_back({"decimal DNA codes (2 B out)", "", 0, kSize, kSize * 2, [&d] {
                     Expect(FormatDecimal(d.dna_codes.data(), kSize, d.decimal.data()) ==
                                2 * kSize - 1,
                            "FormatDecimal");
                   }});
  return cases;
}

void PrintTable(const std::vector<Case>& cases) {
  const auto sets = kernels::Supported();
  std::printf(
      "ns per element, and (in brackets) the ratio to memcpy of the bytes in the "
      "second column;\n%zu elements, best of %d rounds\n\n",
      kSize, rounds);
  std::printf("%-32s %8s %8s", "kernel", "memcpy B", "memcpy");
  for (const Isa isa : sets) std::printf(" %17s", kernels::IsaName(isa));
  std::printf("\n");
  for (const Case& c : cases) {
    double copy = 1e30;
    std::string cells;
    for (const Isa isa : sets) {
      kernels::SetActive(isa);
      const Measured m = Measure(c);
      copy = std::min(copy, m.copy);
      char cell[64];
      std::snprintf(cell, sizeof cell, " %8.3f (%5.2fx)", m.kernel * 1e9 / c.elements,
                    m.kernel / m.copy);
      cells += cell;
    }
    std::printf("%-32s %8zu %8.3f%s\n", c.name.c_str(), c.copied_bytes / c.elements,
                copy * 1e9 / c.elements, cells.c_str());
  }
  kernels::SetActive(kernels::Best());
}

void PrintTsv(const std::vector<Case>& cases) {
  const Isa best = kernels::Best();
  kernels::SetActive(best);
  for (const Case& c : cases) {
    if (c.group.empty()) continue;
    const Measured m = Measure(c);
    char limit[32] = "-";
    if (c.limit > 0) std::snprintf(limit, sizeof limit, "%g", c.limit);
    std::printf("%s [%s]\t%.4f\t%.4f\tms\tmemcpy of %zu MB\t%s\t%.3f ns per element\n",
                c.group.c_str(), kernels::IsaName(best), m.kernel * 1e3, m.copy * 1e3,
                c.copied_bytes / 1'000'000, limit, m.kernel * 1e9 / c.elements);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool tsv = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--tsv") {
      tsv = true;
    } else if (arg == "--rounds" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--tsv] [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  Data data;
  Fill(data);
  const std::vector<Case> cases = Cases(data);
  if (tsv) {
    PrintTsv(cases);
  } else {
    PrintTable(cases);
  }
  return 0;
}
