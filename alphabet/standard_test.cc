#include "alphabet/standard.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace alphabet {
namespace {

const std::vector<std::string> kProtein = {"A", "C", "D", "E", "F", "G", "H", "I", "K", "L",
                                           "M", "N", "P", "Q", "R", "S", "T", "V", "W", "Y"};

class StandardTest : public testing::Test {
 protected:
  // Every test starts from freshly built references.
  void SetUp() override { InitStandardAlphabets(); }
};

TEST_F(StandardTest, EachReferenceHoldsItsListInCodeOrder) {
  EXPECT_EQ(DNA()->Symbols(), (std::vector<std::string>{"A", "C", "G", "T"}));
  EXPECT_EQ(RNA()->Symbols(), (std::vector<std::string>{"A", "C", "G", "U"}));
  EXPECT_EQ(Protein()->Symbols(), kProtein);
  EXPECT_EQ(DNA()->encoding_size(), 8u);
  EXPECT_EQ(RNA()->encoding_size(), 8u);
  EXPECT_EQ(Protein()->encoding_size(), 40u);
  for (size_t i = 0; i < kProtein.size(); ++i) {
    EXPECT_EQ(Protein()->Encode(ValueView::Text(kProtein[i])).code, static_cast<int64_t>(i));
  }
}

TEST_F(StandardTest, CodesAndFailures) {
  EXPECT_EQ(DNA()->Encode(ValueView::Text("T")).code, 3);
  EXPECT_EQ(DNA()->Decode(ValueView::Int(3)).symbol, "T");
  EXPECT_EQ(DNA()->Encode(ValueView::Int(2)).code, 2);
  EXPECT_EQ(DNA()->Encode(ValueView::Text("a")).error->message(), "Symbol a not in alphabet");
  EXPECT_EQ(RNA()->Encode(ValueView::Text("U")).code, 3);
  EXPECT_EQ(RNA()->Encode(ValueView::Text("T")).error->message(), "Symbol T not in alphabet");
  EXPECT_EQ(Protein()->Decode(ValueView::Int(19)).symbol, "Y");
  EXPECT_EQ(Protein()->Decode(ValueView::Int(20)).error->message(), "Code 20 not in alphabet");
  for (const char* absent : {"B", "J", "O", "U", "X", "Z"}) {
    EXPECT_EQ(Protein()->Encode(ValueView::Text(absent)).error->message(),
              std::string("Symbol ") + absent + " not in alphabet");
  }
}

TEST_F(StandardTest, ExtendLeavesTheStandardAlphabetAsItWas) {
  const AlphabetPtr extended = DNA()->Extend({"N"});
  EXPECT_EQ(extended->Encode(ValueView::Text("N")).code, 4);
  EXPECT_EQ(DNA()->size(), 4u);
}

TEST_F(StandardTest, ReplacingAReferenceTouchesOnlyThatReference) {
  const AlphabetPtr old_dna = DNA(), rna = RNA(), protein = Protein();
  const AlphabetPtr acgtn = old_dna->Extend({"N"});
  SetDNA(acgtn);
  EXPECT_EQ(DNA(), acgtn);
  EXPECT_EQ(old_dna->size(), 4u);
  EXPECT_EQ(RNA(), rna);
  EXPECT_EQ(Protein(), protein);

  SetRNA(nullptr);
  EXPECT_EQ(RNA(), nullptr);
  SetProtein(old_dna);
  EXPECT_EQ(Protein(), old_dna);
  EXPECT_EQ(DNA(), acgtn);
}

}  // namespace
}  // namespace alphabet
