#include "alphabet/alphabet.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace alphabet {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

using Symbols = std::vector<std::string>;

AlphabetPtr Acgt() { return NewAlphabet({"A", "C", "G", "T"}); }

// A call on "A" "C" "G" "T": either `code`/`symbol` on success or exactly
// `message` on failure.
struct EncodeCase {
  ValueView symbol;
  int64_t code;
  std::string message;
};

class EncodeTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, AnswersCodeOrExactMessage) {
  const EncodeCase& c = GetParam();
  const EncodeResult r = Acgt()->Encode(c.symbol);
  EXPECT_EQ(r.code, c.code);
  EXPECT_EQ(r.error ? r.error->message() : "", c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Acgt, EncodeTest,
    testing::Values(EncodeCase{ValueView::Text("G"), 2, ""}, EncodeCase{ValueView::Int(3), 3, ""},
                    EncodeCase{ValueView::Int(0), 0, ""},
                    EncodeCase{ValueView::Int(4), 0, "Symbol 4 not in alphabet"},
                    EncodeCase{ValueView::Int(-1), 0, "Symbol -1 not in alphabet"},
                    EncodeCase{ValueView::Text("3"), 0, "Symbol 3 not in alphabet"},
                    EncodeCase{ValueView::Text("g"), 0, "Symbol g not in alphabet"},
                    EncodeCase{ValueView::Text(""), 0, "Symbol  not in alphabet"},
                    EncodeCase{ValueView::Text("AC"), 0, "Symbol AC not in alphabet"}));

struct DecodeCase {
  ValueView code;
  std::string symbol;
  std::string message;
};

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, AnswersSymbolOrExactMessage) {
  const DecodeCase& c = GetParam();
  const AlphabetPtr a = Acgt();  // the symbol points into it
  const DecodeResult r = a->Decode(c.code);
  EXPECT_EQ(r.symbol, c.symbol);
  EXPECT_NE(r.symbol.data(), nullptr);  // callers copy it with memcpy
  EXPECT_EQ(r.error ? r.error->message() : "", c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Acgt, DecodeTest,
    testing::Values(
        DecodeCase{ValueView::Int(0), "A", ""}, DecodeCase{ValueView::Int(3), "T", ""},
        DecodeCase{ValueView::Int(4), "", "Code 4 not in alphabet"},
        DecodeCase{ValueView::Int(-1), "", "Code -1 not in alphabet"},
        DecodeCase{ValueView::Int(kMin), "", "Code -9223372036854775808 not in alphabet"},
        DecodeCase{ValueView::Int(kMax), "", "Code 9223372036854775807 not in alphabet"},
        DecodeCase{ValueView::Text("0"), "", "Code 0 not in alphabet"},
        DecodeCase{ValueView::Text(""), "", "Code  not in alphabet"}));

TEST(AlphabetTest, EachFailureMakesItsOwnError) {
  const AlphabetPtr a = Acgt();
  const ErrorPtr first = a->Encode(ValueView::Text("X")).error;
  const ErrorPtr second = a->Encode(ValueView::Text("X")).error;
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
}

// Checks everything an alphabet must answer for `symbols`: each position
// decodes to its text and encodes (as an integer) to itself, each text
// encodes to its last position, and the table holds nothing else.
void ExpectBuiltFrom(const Alphabet& a, const Symbols& symbols) {
  EXPECT_EQ(a.Symbols(), symbols);
  std::map<std::string, int64_t> last;
  for (size_t i = 0; i < symbols.size(); ++i) {
    const int64_t code = static_cast<int64_t>(i);
    last[symbols[i]] = code;
    EXPECT_EQ(a.Decode(ValueView::Int(code)).symbol, symbols[i]);
    EXPECT_EQ(a.Encode(ValueView::Int(code)).code, code);
  }
  for (const auto& [text, code] : last) {
    EXPECT_EQ(a.Encode(ValueView::Text(text)).code, code) << "symbol " << text;
  }
  EXPECT_EQ(a.encoding_size(), symbols.size() + last.size());
  const int64_t n = static_cast<int64_t>(symbols.size());
  EXPECT_TRUE(a.Encode(ValueView::Int(n)).error);
  EXPECT_TRUE(a.Decode(ValueView::Int(n)).error);
}

TEST(AlphabetTest, RepeatedSymbolEncodesToItsLastPosition) {
  const Symbols symbols = {"A", "B", "A"};
  const AlphabetPtr a = NewAlphabet(symbols);
  EXPECT_EQ(a->Encode(ValueView::Text("A")).code, 2);
  ExpectBuiltFrom(*a, symbols);
}

TEST(AlphabetTest, EmptyAlphabetAnswersEveryCallWithAnError) {
  const AlphabetPtr empty = NewAlphabet({});
  ExpectBuiltFrom(*empty, {});
  EXPECT_EQ(empty->Encode(ValueView::Text("A")).error->message(), "Symbol A not in alphabet");
  EXPECT_EQ(empty->Decode(ValueView::Int(0)).error->message(), "Code 0 not in alphabet");
  ExpectBuiltFrom(*empty->Extend({"X", "Y"}), {"X", "Y"});
}

TEST(AlphabetTest, ExtendRebuildsTheTableAndLeavesTheReceiverAlone) {
  const AlphabetPtr base = Acgt();
  const AlphabetPtr with_n = base->Extend({"N"});
  const AlphabetPtr with_a = base->Extend({"A"});
  ExpectBuiltFrom(*with_n, {"A", "C", "G", "T", "N"});
  ExpectBuiltFrom(*with_a, {"A", "C", "G", "T", "A"});
  EXPECT_EQ(with_a->Encode(ValueView::Text("A")).code, 4);
  ExpectBuiltFrom(*base->Extend({}), {"A", "C", "G", "T"});
  ExpectBuiltFrom(*base, {"A", "C", "G", "T"});
  EXPECT_TRUE(base->Encode(ValueView::Text("N")).error);
}

// Seeded random lists over a small pool (the empty text and texts that spell
// codes included), so that repeats and text/integer look-alikes are common.
TEST(AlphabetTest, RandomListsAndExtensionsObeyTheInvariants) {
  const Symbols pool = {"", "0", "1", "2", "A", "a", "AA", "A\nB", std::string("\0", 1)};
  std::mt19937 rng(12345);
  auto random_list = [&] {
    Symbols list(rng() % 12);
    for (std::string& s : list) s = pool[rng() % pool.size()];
    return list;
  };
  for (int round = 0; round < 200; ++round) {
    const Symbols head = random_list(), tail = random_list();
    Symbols all = head;
    all.insert(all.end(), tail.begin(), tail.end());
    const AlphabetPtr a = NewAlphabet(head);
    ExpectBuiltFrom(*a->Extend(tail), all);
    ExpectBuiltFrom(*a, head);
  }
}

TEST(AlphabetTest, ConcurrentEncodeAndDecodeAgree) {
  constexpr int kSymbols = 2000, kThreads = 8;
  Symbols symbols;
  for (int i = 0; i < kSymbols; ++i) symbols.push_back("s" + std::to_string(i));
  const AlphabetPtr a = NewAlphabet(symbols);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (int i = t; i < kSymbols; i += 3) {
          const EncodeResult e = a->Encode(ValueView::Text(symbols[i]));
          const DecodeResult d = a->Decode(ValueView::Int(i));
          if (e.error || e.code != i || d.error || d.symbol != symbols[i]) ++wrong;
        }
        if (!a->Encode(ValueView::Text("missing")).error) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Renderings for trace output stay short however long the texts they show.
TEST(AlphabetTest, DescriptionsOfHugeTextsAreBounded) {
  const std::string huge(1 << 20, 'q');
  const std::string alphabet = Describe(*NewAlphabet(Symbols(12, huge)));
  EXPECT_TRUE(alphabet.starts_with("Alphabet{12 symbols: \"qqq")) << alphabet.substr(0, 40);
  EXPECT_TRUE(alphabet.ends_with("...\" ...}"));
  EXPECT_LE(alphabet.size(), 8 * (kShownTextBytes + 6) + 40);
  const std::string error = Describe(Error(huge));
  EXPECT_EQ(error, "Error{\"" + std::string(kShownTextBytes, 'q') + "...\"}");
  EXPECT_EQ(Describe(Error("short")), "Error{\"short\"}");
}

}  // namespace
}  // namespace alphabet
