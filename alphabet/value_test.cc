#include "alphabet/value.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace alphabet {
namespace {

using namespace std::string_view_literals;

// Every pair drawn from this list is compared: equal exactly when the kind
// and contents match, and equal values must hash alike whether held as a
// Value or seen through a ValueView, under any seed.
TEST(ValueTest, EqualityFollowsKindAndContentsAndHashAgrees) {
  const std::vector<ValueView> views = {
      ValueView::Text("3"),      ValueView::Int(3),
      ValueView::Text(""),       ValueView::Int(0),
      ValueView::Text("a"),      ValueView::Text("A"),
      ValueView::Text("a\0b"sv), ValueView::Text("a\0c"sv),
      ValueView::Int(-1),        ValueView::Int(std::numeric_limits<int64_t>::min())};
  const ValueHash hashes[] = {ValueHash(), ValueHash(HashSeed::FromNumber(3))};
  const ValueEqual equal;
  for (size_t i = 0; i < views.size(); ++i) {
    const Value owned(views[i]);
    for (size_t j = 0; j < views.size(); ++j) {
      SCOPED_TRACE(testing::Message() << "pair " << i << ", " << j);
      EXPECT_EQ(equal(owned, views[j]), i == j);
      EXPECT_EQ(equal(views[j], owned), i == j);
      EXPECT_EQ(owned == Value(views[j]), i == j);
    }
    for (const ValueHash& hash : hashes) {
      EXPECT_EQ(hash(owned), hash(views[i]));
      EXPECT_EQ(hash(owned), hash(Value(views[i])));
    }
  }
}

// A long text is cut to at most kShownTextBytes of its bytes, never inside a
// UTF-8 character, and marked with "..."; a text that fits is left whole.
TEST(ValueTest, ShownTextIsCutAtACharacterBoundary) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes, one character
  const size_t limit = kShownTextBytes;
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"", ""},
      {std::string(limit, 'a'), std::string(limit, 'a')},
      {std::string(limit + 1, 'a'), std::string(limit, 'a') + "..."},
      {std::string(64 << 20, 'b'), std::string(limit, 'b') + "..."},
      // The character at the limit would be split two ways, or not at all.
      {std::string(limit - 1, 'a') + euro, std::string(limit - 1, 'a') + "..."},
      {std::string(limit - 2, 'a') + euro + "z", std::string(limit - 2, 'a') + "..."},
      {std::string(limit - 3, 'a') + euro + "z", std::string(limit - 3, 'a') + euro + "..."},
  };
  for (const Case& c : cases) {
    std::string out = "<";
    AppendShown(out, c.text);
    EXPECT_EQ(out, "<" + c.shown) << "text of " << c.text.size() << " bytes";
  }
}

}  // namespace
}  // namespace alphabet
