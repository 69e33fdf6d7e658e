// Times the alphabet core in C++: Encode and Decode per call, and NewAlphabet
// of a million symbols against filling a plain string-keyed map with them and
// against the same build with the code table's former hash, which had no
// seed.  It also builds alphabets from texts crafted to collide under that
// former hash, against as many ordinary texts, and builds an alphabet's code
// table three ways (the CodeTable the alphabet uses, and maps holding owned
// Value keys), the evidence behind the choice of table.
//
// Runs for several seconds and prints one line per figure; times are the
// best of a few rounds, to keep scheduling noise out.  With --tsv it prints
// only the construction figures, one tab-separated line each (figure,
// measured, baseline, unit, baseline name, goal: the greatest ratio allowed,
// or "-") for bench/suite.py.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
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
constexpr size_t kCraftedAlphabet = 12'000;
constexpr int kRounds = 3;
// Builds of a million symbols take tens of milliseconds, and seeded against
// unseeded is a close call: more rounds.  Small builds are cheap and noisy.
constexpr int kLargeBuildRounds = 5;
constexpr int kSmallBuildRounds = 40;

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
  const std::string digits = std::to_string(n);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

Symbols DistinctSymbols(size_t n) {
  Symbols symbols;
  symbols.reserve(n);
  for (size_t i = 0; i < n; ++i) symbols.push_back("sym" + std::to_string(i));
  return symbols;
}

// 16-byte texts that say what they are: "ordinary-0000042".
Symbols OrdinarySymbols(size_t n) {
  Symbols symbols;
  symbols.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char text[17];
    std::snprintf(text, sizeof text, "ordinary-%07zu", i % 10'000'000);
    symbols.emplace_back(text, 16);
  }
  return symbols;
}

// The code table's hash before it had a seed, kept here as the baseline it
// is measured against.  Fixed constants: anyone can compute it.
struct UnseededHash {
  static uint64_t Fold(uint64_t a, uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
  }
  static constexpr uint64_t kSeed = 0xa0761d6478bd642fULL;
  static constexpr uint64_t kStep = 0xe7037ed1a0b428dbULL;
  static constexpr uint64_t kLast = 0x8ebc6af09c88c6e3ULL;
  static constexpr uint64_t kInteger = 0x589965cc75374cc3ULL;

  uint64_t Text(std::string_view text) const {
    const char* p = text.data();
    size_t left = text.size();
    uint64_t h = kSeed ^ left;
    for (; left > 8; left -= 8, p += 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      h = Fold(h ^ word, kStep);
    }
    uint64_t last = 0;
    if (left > 0) std::memcpy(&last, p, left);
    return Fold(h ^ last, kLast);
  }
  uint64_t Integer(int64_t integer) const {
    return Fold(static_cast<uint64_t>(integer) ^ kInteger, kStep);
  }
};

// What NewAlphabet builds, with the unseeded hash: the list and its table.
struct UnseededAlphabet {
  explicit UnseededAlphabet(Symbols s) : symbols(std::move(s)), table(symbols) {}
  const Symbols symbols;
  const alphabet::BasicCodeTable<UnseededHash> table;
};

// 16-byte texts that all share one unseeded hash: the first word counts up,
// and the second cancels the state the first leaves, so the last step always
// mixes the same value.
Symbols CraftedSymbols(size_t n) {
  Symbols symbols;
  symbols.reserve(n);
  for (uint64_t i = 1; i <= n; ++i) {
    const uint64_t first = i * 0x9e3779b97f4a7c15ULL;
    using H = UnseededHash;
    const uint64_t state = H::Fold(H::kSeed ^ 16 ^ first, H::kStep);  // after the first word
    const uint64_t words[2] = {first, state ^ 7};
    symbols.emplace_back(reinterpret_cast<const char*>(words), 16);
  }
  return symbols;
}

// `count` random codes below `size`, the same in every run.
std::vector<int64_t> RandomCodes(size_t size, size_t count) {
  std::mt19937_64 rng(42);
  std::vector<int64_t> codes(count);
  for (int64_t& code : codes) code = static_cast<int64_t>(rng() % size);
  return codes;
}

// The table lookup that Encode makes, with the seeded hash and with the
// unseeded one, in turn.  (Decode never hashes.)
void BenchTableLookup(const alphabet::Alphabet& a, const std::vector<std::string_view>& texts) {
  const size_t calls = texts.size();
  const alphabet::CodeTable seeded(a.Symbols());
  const alphabet::BasicCodeTable<UnseededHash> unseeded(a.Symbols());
  auto lookups = [&](const auto& table) {
    return BestSeconds(1, Nothing, [&](int) {
      int64_t sum = 0;
      for (std::string_view text : texts) sum += *table.Find(a.Symbols(), ValueView::Text(text));
      sink = sum;
      return 0;
    });
  };
  double seeded_best = 1e30, unseeded_best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    seeded_best = std::min(seeded_best, lookups(seeded));
    unseeded_best = std::min(unseeded_best, lookups(unseeded));
  }
  std::printf("%-22s table lookup %6.1f ns/call, unseeded hash %6.1f ns/call: %.2f\n", "",
              seeded_best * 1e9 / calls, unseeded_best * 1e9 / calls, seeded_best / unseeded_best);
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

  BenchTableLookup(*a, texts);
}

// One line for bench/suite.py: times in seconds, printed in ms (or us).
void PrintTsv(const std::string& name, double measured, double baseline,
              const std::string& baseline_name, const char* goal, bool microseconds = false) {
  const double scale = microseconds ? 1e6 : 1e3;
  std::printf("%s\t%.3f\t%.3f\t%s\t%s\t%s\n", name.c_str(), measured * scale, baseline * scale,
              microseconds ? "us" : "ms", baseline_name.c_str(), goal);
}

// NewAlphabet against the plain map fill and against the same build with the
// unseeded hash, one round of each in turn so that a change of machine load
// weighs on all alike.
void BenchConstruction(const Symbols& symbols, bool tsv) {
  auto copy_symbols = [&] { return symbols; };
  double new_alphabet = 1e30, unseeded = 1e30, string_map = 1e30;
  for (int round = 0; round < kLargeBuildRounds; ++round) {
    new_alphabet = std::min(new_alphabet, BestSeconds(1, copy_symbols, [](Symbols s) {
                              return alphabet::NewAlphabet(std::move(s));
                            }));
    unseeded = std::min(unseeded, BestSeconds(1, copy_symbols, [](Symbols s) {
                          return std::make_shared<const UnseededAlphabet>(std::move(s));
                        }));
    string_map = std::min(string_map, BestSeconds(1, copy_symbols, [](Symbols s) {
                            std::unordered_map<std::string, int64_t> map;
                            const int64_t n = static_cast<int64_t>(s.size());
                            for (int64_t i = 0; i < n; ++i) map.insert_or_assign(s[i], i);
                            return map;
                          }));
  }
  const std::string count = Grouped(symbols.size());
  if (tsv) {
    PrintTsv("C++ NewAlphabet, " + count + " symbols", new_alphabet, string_map,
             "unordered_map<string, int64_t> fill", "-");
    PrintTsv("C++ NewAlphabet, " + count + " symbols, seeded hash", new_alphabet, unseeded,
             "the same, unseeded hash", "1.10");
    return;
  }
  std::printf("NewAlphabet                              %7.1f ms\n", new_alphabet * 1e3);
  std::printf("the same with the unseeded hash          %7.1f ms\n", unseeded * 1e3);
  std::printf("unordered_map<string, int64_t> fill      %7.1f ms\n", string_map * 1e3);
  std::printf("NewAlphabet / unseeded hash              %7.2f  (goal <= 1.10)\n",
              new_alphabet / unseeded);
  std::printf(
      "NewAlphabet / unordered_map fill         %7.2f  (NewAlphabet: 2 entries per symbol)\n",
      new_alphabet / string_map);
}

// NewAlphabet of texts crafted to collide under the unseeded hash against
// NewAlphabet of as many ordinary texts of the same length.  Without --tsv,
// also one build of the crafted texts with the unseeded hash, to show what
// the seed prevents.
void BenchCraftedConstruction(bool tsv) {
  const Symbols crafted = CraftedSymbols(kCraftedAlphabet);
  const Symbols ordinary = OrdinarySymbols(kCraftedAlphabet);
  auto build = [](Symbols s) { return alphabet::NewAlphabet(std::move(s)); };
  double crafted_best = 1e30, ordinary_best = 1e30;
  for (int round = 0; round < kSmallBuildRounds; ++round) {
    crafted_best = std::min(crafted_best, BestSeconds(1, [&] { return crafted; }, build));
    ordinary_best = std::min(ordinary_best, BestSeconds(1, [&] { return ordinary; }, build));
  }
  const std::string count = Grouped(kCraftedAlphabet);
  if (tsv) {
    PrintTsv("C++ NewAlphabet, " + count + " crafted symbols", crafted_best, ordinary_best,
             count + " ordinary symbols", "2", /*microseconds=*/true);
    return;
  }
  const double unseeded = BestSeconds(
      1, [&] { return crafted; },
      [](Symbols s) { return std::make_shared<const UnseededAlphabet>(std::move(s)); });
  std::printf("NewAlphabet, crafted symbols             %7.1f us\n", crafted_best * 1e6);
  std::printf("NewAlphabet, ordinary symbols            %7.1f us\n", ordinary_best * 1e6);
  std::printf("crafted / ordinary                       %7.2f  (goal <= 2)\n",
              crafted_best / ordinary_best);
  std::printf("crafted, unseeded hash                   %7.1f ms  (%.0fx the ordinary)\n",
              unseeded * 1e3, unseeded / ordinary_best);
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
    BenchCraftedConstruction(tsv);
    return 0;
  }

  std::printf("-- Encode / Decode of random symbols and codes\n");
  BenchEncodeDecode("DNA (4 symbols)", alphabet::DNA(), 1 << 20);
  BenchEncodeDecode("Protein (20 symbols)", alphabet::Protein(), 1 << 20);
  BenchEncodeDecode("1,000,000 symbols", alphabet::NewAlphabet(symbols), 1 << 18);

  std::printf("\n-- Construction from %zu distinct symbols, best of %d\n", kLargeAlphabet,
              kLargeBuildRounds);
  BenchConstruction(symbols, tsv);

  std::printf(
      "\n-- Construction from %zu 16-byte symbols crafted to collide under the "
      "unseeded hash, best of %d\n",
      kCraftedAlphabet, kSmallBuildRounds);
  BenchCraftedConstruction(tsv);

  std::printf("\n-- Code table of %zu symbols (2 entries per symbol), one build each\n",
              kLargeAlphabet);
  BenchCodeTables(symbols);
  return 0;
}
