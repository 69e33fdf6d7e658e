#include "handles/page_index.h"

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

namespace handles {
namespace {

struct Record {
  int64_t payload;
  uint32_t tag;
};

// Keys as the registry's pages come: runs, strides that a plain mask would
// pile into one cluster, and random keys over a small range, many colliding.
struct KeyPattern {
  const char* name;
  int64_t (*key)(std::mt19937_64& rng, int64_t i);
};

void PrintTo(const KeyPattern& pattern, std::ostream* os) { *os << pattern.name; }

class PageIndexTest : public testing::TestWithParam<KeyPattern> {};

// Random inserts and erases against a plain map: after every change each key
// ever used is found exactly when the model has it, with its value.
TEST_P(PageIndexTest, AgreesWithAPlainMapThroughChurn) {
  std::mt19937_64 rng(11);
  PageIndex<Record> index;
  std::unordered_map<int64_t, Record> model;
  std::vector<int64_t> used;
  for (int64_t i = 0; i < 6000; ++i) {
    // Grow for a while, then shrink for a while, so that the table does both.
    const bool growing = (i / 1500) % 2 == 0;
    if (rng() % 10 < (growing ? 7u : 2u)) {
      const int64_t key = GetParam().key(rng, i);
      if (model.count(key) != 0) continue;
      Record* record = index.Insert(key);
      ASSERT_EQ(record->payload, 0);
      *record = Record{key * 3 + 1, static_cast<uint32_t>(i)};
      model[key] = *record;
      used.push_back(key);
    } else if (!model.empty()) {
      const int64_t key = used[rng() % used.size()];
      index.Erase(key);  // absent keys included: a no-op
      model.erase(key);
    }
    if (i % 97 != 0 && i > 200) continue;
    ASSERT_EQ(index.size(), model.size());
    // At most half full, and shrunk back when mostly empty.
    ASSERT_LE(2 * index.size(), index.capacity());
    ASSERT_TRUE(index.capacity() <= 16 || index.capacity() <= 16 * index.size())
        << index.capacity() << " slots for " << index.size();
    for (int64_t key : used) {
      const Record* found = index.Find(key);
      auto it = model.find(key);
      ASSERT_EQ(found != nullptr, it != model.end()) << "key " << key << " at step " << i;
      if (found != nullptr) {
        ASSERT_EQ(found->payload, it->second.payload);
        ASSERT_EQ(found->tag, it->second.tag);
      }
    }
  }
  size_t visited = 0;
  index.ForEach([&](int64_t key, const Record& record) {
    ++visited;
    EXPECT_EQ(record.payload, model.at(key).payload);
  });
  EXPECT_EQ(visited, model.size());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, PageIndexTest,
    testing::Values(
        KeyPattern{"Consecutive", [](std::mt19937_64&, int64_t i) { return i; }},
        KeyPattern{"EveryFourThousandth", [](std::mt19937_64&, int64_t i) { return i << 12; }},
        KeyPattern{"SmallRandomRange",
                   [](std::mt19937_64& rng, int64_t) { return static_cast<int64_t>(rng() % 600); }},
        KeyPattern{"Huge",
                   [](std::mt19937_64& rng, int64_t) {
                     return static_cast<int64_t>(rng() >> 7);  // up to 2^57
                   }}),
    [](const testing::TestParamInfo<KeyPattern>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace handles
