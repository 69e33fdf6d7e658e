// Times the alphabet core in C++: Encode and Decode per call, and NewAlphabet
// of a million symbols against filling a plain string-keyed map with them.
// It also builds an alphabet's code table three ways (the CodeTable the
// alphabet uses, and maps holding owned Value keys), the evidence behind the
// choice of table.
//
// Runs for a few seconds and prints one line per figure; times are the best
// of a few rounds, to keep scheduling noise out.  With --tsv it prints only
// the construction figure, as one tab-separated line (figure, measured,
// baseline, unit) for bench/suite.py.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "alphabet/alphabet.h"
#include "alphabet/code_table.h"
#include "alphabet/standard.h"

namespace {

using alphabet::AlphabetPtr;
using alphabet::Value;
using alphabet::ValueView;
using Clock = std::chrono::steady_clock;
using Symbols = std::vector<std::string>;

constexpr size_t kLargeAlphabet = 1'000'000;
constexpr int kRounds = 3;

// Keeps the compiler from dropping results the loops would otherwise discard.
volatile int64_t sink;

// Best wall time in seconds over `rounds` runs of `run(prepare())`; preparing
// the input and destroying the output happen outside the clock.
template <class Prepare, class Run>
double BestSeconds(int rounds, Prepare prepare, Run run) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    auto input = prepare();
    const auto start = Clock::now();
    [[maybe_unused]] const auto output = run(std::move(input));
    const std::chrono::duration<double> took = Clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

int Nothing() { return 0; }

// Bytes currently allocated from the heap, mapped blocks included.
size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// 1000000 as "1,000,000".
std::string Grouped(size_t n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

Symbols DistinctSymbols(size_t n) {
  Symbols symbols;
  symbols.reserve(n);
  for (size_t i = 0; i < n; ++i) symbols.push_back("sym" + std::to_string(i));
  return symbols;
}

// `count` random codes below `size`, the same in every run.
std::vector<int64_t> RandomCodes(size_t size, size_t count) {
  std::mt19937_64 rng(42);
  std::vector<int64_t> codes(count);
  for (int64_t& code : codes) code = static_cast<int64_t>(rng() % size);
  return codes;
}

void BenchEncodeDecode(const char* name, const AlphabetPtr& a, size_t calls) {
  const std::vector<int64_t> codes = RandomCodes(a->size(), calls);
  std::vector<std::string_view> texts;
  texts.reserve(calls);
  for (int64_t code : codes) texts.push_back(a->Symbols()[code]);

  const double encode = BestSeconds(kRounds, Nothing, [&](int) {
    int64_t sum = 0;
    for (std::string_view text : texts) sum += a->Encode(ValueView::Text(text)).code;
    sink = sum;
    return 0;
  });
  const double decode = BestSeconds(kRounds, Nothing, [&](int) {
    int64_t sum = 0;
    for (int64_t code : codes) sum += a->Decode(ValueView::Int(code)).symbol.size();
    sink = sum;
    return 0;
  });
  std::printf("%-22s Encode(text) %6.1f ns/call   Decode %6.1f ns/call\n", name,
              encode * 1e9 / calls, decode * 1e9 / calls);
}

// NewAlphabet against the plain map fill, one round of each in turn so that
// a change of machine load weighs on both alike.
void BenchConstruction(const Symbols& symbols, bool tsv) {
  auto copy_symbols = [&] { return symbols; };
  double new_alphabet = 1e30, string_map = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    new_alphabet = std::min(new_alphabet, BestSeconds(1, copy_symbols, [](Symbols s) {
      return alphabet::NewAlphabet(std::move(s));
    }));
    string_map = std::min(string_map, BestSeconds(1, copy_symbols, [](Symbols s) {
      std::unordered_map<std::string, int64_t> map;
      const int64_t n = static_cast<int64_t>(s.size());
      for (int64_t i = 0; i < n; ++i) map.insert_or_assign(s[i], i);
      return map;
    }));
  }
  if (tsv) {
    std::printf("C++ NewAlphabet, %s symbols\t%.3f\t%.3f\tms\n", Grouped(symbols.size()).c_str(),
                new_alphabet * 1e3, string_map * 1e3);
    return;
  }
  std::printf("NewAlphabet                              %7.1f ms\n", new_alphabet * 1e3);
  std::printf("unordered_map<string, int64_t> fill      %7.1f ms\n", string_map * 1e3);
  std::printf("NewAlphabet / unordered_map fill         %7.2f  (NewAlphabet: 2 entries per symbol)\n",
              new_alphabet / string_map);
}

// The code table filled as NewAlphabet fills it, in a map that owns its keys;
// with `sized`, the map reserves room for every entry first, as CodeTable is
// sized once.
template <class Map>
Map FillOwningMap(const Symbols& symbols, bool sized) {
  Map map;
  if (sized) map.reserve(2 * symbols.size());
  const int64_t n = static_cast<int64_t>(symbols.size());
  for (int64_t i = 0; i < n; ++i) {
    map.insert_or_assign(Value::Text(symbols[i]), i);
    map.emplace(Value::Int(i), i);
  }
  return map;
}

// One build (timed, and its heap growth measured), then random text lookups.
template <class Build, class Lookup>
void BenchCodeTable(const char* name, const Symbols& symbols, Build build, Lookup lookup) {
  const size_t heap_before = HeapInUse();
  const auto start = Clock::now();
  const auto table = build();
  const std::chrono::duration<double> built = Clock::now() - start;
  const size_t bytes = HeapInUse() - heap_before;

  constexpr size_t kLookups = 1 << 18;
  const std::vector<int64_t> codes = RandomCodes(symbols.size(), kLookups);
  const double looked_up = BestSeconds(kRounds, Nothing, [&](int) {
    int64_t sum = 0;
    for (int64_t code : codes) sum += lookup(table, ValueView::Text(symbols[code]));
    sink = sum;
    return 0;
  });
  std::printf("%-38s build %7.1f ms  %6.1f MB  lookup %6.1f ns\n", name, built.count() * 1e3,
              bytes / 1e6, looked_up * 1e9 / kLookups);
}

void BenchCodeTables(const Symbols& symbols) {
  using StdMap = std::unordered_map<Value, int64_t, alphabet::ValueHash, alphabet::ValueEqual>;
  auto find = [](const StdMap& m, ValueView key) { return m.find(key)->second; };
  BenchCodeTable(
      "CodeTable (the alphabet's)", symbols, [&] { return alphabet::CodeTable(symbols); },
      [&](const alphabet::CodeTable& t, ValueView key) { return *t.Find(symbols, key); });
  BenchCodeTable(
      "unordered_map<Value, int64_t>, sized", symbols,
      [&] { return FillOwningMap<StdMap>(symbols, true); }, find);
  BenchCodeTable(
      "unordered_map<Value, int64_t>", symbols,
      [&] { return FillOwningMap<StdMap>(symbols, false); }, find);
}

}  // namespace

int main(int argc, char** argv) {
  const bool tsv = argc > 1 && std::string_view(argv[1]) == "--tsv";
  if (argc > 2 || (argc == 2 && !tsv)) {
    std::fprintf(stderr, "usage: %s [--tsv]\n", argv[0]);
    return 2;
  }
  alphabet::InitStandardAlphabets();
  const Symbols symbols = DistinctSymbols(kLargeAlphabet);
  if (tsv) {
    BenchConstruction(symbols, tsv);
    return 0;
  }

  std::printf("-- Encode / Decode of random symbols and codes\n");
  BenchEncodeDecode("DNA (4 symbols)", alphabet::DNA(), 1 << 20);
  BenchEncodeDecode("Protein (20 symbols)", alphabet::Protein(), 1 << 20);
  BenchEncodeDecode("1,000,000 symbols", alphabet::NewAlphabet(symbols), 1 << 18);

  std::printf("\n-- Construction from %zu distinct symbols, best of %d\n", kLargeAlphabet,
              kRounds);
  BenchConstruction(symbols, tsv);

  std::printf("\n-- Code table of %zu symbols (2 entries per symbol), one build each\n",
              kLargeAlphabet);
  BenchCodeTables(symbols);
  return 0;
}
