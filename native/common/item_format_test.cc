#include "native/common/item_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

namespace native {
namespace {

struct Case {
  const char* format;
  bool parses;
  ItemClass item_class;
  size_t size;
  bool foreign;
};

constexpr bool kLittle = std::endian::native == std::endian::little;

TEST(ItemFormatTest, OneItemFormatsWithTheirSizesAndOrders) {
  const Case cases[] = {
      {nullptr, true, ItemClass::kUnsigned, 1, false},  // what no format means
      {"B", true, ItemClass::kUnsigned, 1, false},
      {"b", true, ItemClass::kSigned, 1, false},
      {"c", true, ItemClass::kChar, 1, false},
      {"?", true, ItemClass::kBool, 1, false},
      {"@h", true, ItemClass::kSigned, 2, false},
      {"=H", true, ItemClass::kUnsigned, 2, false},
      // Native sizes after '@' or nothing, standard ones after '=', '<', '>', '!'.
      {"l", true, ItemClass::kSigned, sizeof(long), false},
      {"<l", true, ItemClass::kSigned, 4, !kLittle},
      {"=L", true, ItemClass::kUnsigned, 4, false},
      {"i", true, ItemClass::kSigned, sizeof(int), false},
      {">i", true, ItemClass::kSigned, 4, kLittle},
      {"!Q", true, ItemClass::kUnsigned, 8, kLittle},
      {"<q", true, ItemClass::kSigned, 8, !kLittle},
      {"n", true, ItemClass::kSigned, sizeof(size_t), false},
      {"N", true, ItemClass::kUnsigned, sizeof(size_t), false},
      {"f", true, ItemClass::kFloat, 4, false},
      {">d", true, ItemClass::kFloat, 8, kLittle},
      // Not one plain item: several, a count, padding, standard 'n', no type.
      {"BB", false, ItemClass::kUnsigned, 0, false},
      {"2B", false, ItemClass::kUnsigned, 0, false},
      {"x", false, ItemClass::kUnsigned, 0, false},
      {"<n", false, ItemClass::kUnsigned, 0, false},
      {"", false, ItemClass::kUnsigned, 0, false},
      {"<", false, ItemClass::kUnsigned, 0, false},
      {"e", false, ItemClass::kUnsigned, 0, false},
  };
  for (const Case& c : cases) {
    const std::string name = c.format == nullptr ? "(none)" : c.format;
    ItemFormat item{};
    ASSERT_EQ(ParseItemFormat(c.format, item), c.parses) << name;
    if (!c.parses) continue;
    EXPECT_EQ(item.item_class, c.item_class) << name;
    EXPECT_EQ(item.size, c.size) << name;
    EXPECT_EQ(item.foreign_order, c.foreign) << name;
    EXPECT_EQ(std::string(item.bare), name == "(none)" ? "B" : name.substr(name.size() - 1));
  }
}

}  // namespace
}  // namespace native
