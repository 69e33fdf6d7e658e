#include "formats/region.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace formats {
namespace {

// Sequences as in the tools' examples: names with ':' and '-' among them.
const std::set<std::string, std::less<>> kNames = {"chr1", "chr:2", "chr", "a-b", "d:1-2", "d"};
constexpr uint64_t kLength = 14;  // every sequence's, for these cases

struct Expected {
  const char* text;
  const char* name;
  uint64_t begin, end;  // 0-based, half-open
  bool truncated = false;
};

// What the tools print for each region of a 14-base chr1 (and the others).
TEST(Region, ResolvesAsTheToolsDo) {
  const Expected cases[] = {
      {"chr1", "chr1", 0, 14},
      {"chr1:3", "chr1", 2, 14},
      {"chr1:3-5", "chr1", 2, 5},
      {"chr1:3-3", "chr1", 2, 3},
      {"chr1:1,2-1,4", "chr1", 11, 14},
      {"chr1:0", "chr1", 0, 14},
      {"chr1:0-2", "chr1", 0, 0},
      {"chr1:-3", "chr1", 0, 3},
      {"chr1:-0", "chr1", 0, 14},
      {"chr1:-", "chr1", 0, 0},
      {"chr1:14", "chr1", 13, 14},
      {"chr1:15", "chr1", 14, 14},
      {"chr1:20-30", "chr1", 14, 14, true},
      {"chr1:3-100", "chr1", 2, 14, true},
      {"chr1:3-", "chr1", 2, 14},
      {"chr1:1-0", "chr1", 0, 14},
      {"chr1:", "chr1", 0, 14},
      {"chr1: 3", "chr1", 2, 14},
      {"chr1:1-2k", "chr1", 0, 14, true},
      {"chr1:3-99999999999999999999", "chr1", 2, 14},
      {"chr1:99999999999999999999", "chr1", 14, 14},
      {"chr:2:2-3", "chr:2", 1, 3},
      {"{chr:2}:2-3", "chr:2", 1, 3},
      {"chr:1", "chr", 0, 14},
      {"{chr}:1-2", "chr", 0, 2},
      {"a-b", "a-b", 0, 14},
      {"a-b:1", "a-b", 0, 14},
      {"d:1-3", "d", 0, 3},
      {"{d:1-2}", "d:1-2", 0, 14},
      {"nope", "nope", 0, 14},
      {"nope:2-3", "nope", 1, 3},
  };
  auto has_name = [](std::string_view name) { return kNames.find(name) != kNames.end(); };
  for (const Expected& c : cases) {
    Region region;
    std::string message;
    ASSERT_EQ(ParseRegion(c.text, has_name, region, message), RegionFault::kNone)
        << c.text << ": " << message;
    EXPECT_EQ(region.name, c.name) << c.text;
    const Span span = Resolve(region, kLength);
    EXPECT_EQ(span.begin, c.begin) << c.text;
    EXPECT_EQ(span.end, c.end) << c.text;
    EXPECT_EQ(span.truncated, c.truncated) << c.text;
  }
}

TEST(Region, RefusesWhatTheToolsRefuse) {
  const std::pair<const char*, RegionFault> cases[] = {
      {"chr1:5-3", RegionFault::kBackwards},  {"chr1:2-1", RegionFault::kBackwards},
      {"chr1:2x", RegionFault::kMalformed},   {"chr1:1-2-3", RegionFault::kMalformed},
      {"chr1:3 -4", RegionFault::kMalformed}, {"chr1:1-2 ", RegionFault::kMalformed},
      {"chr1:-2-4", RegionFault::kMalformed}, {"chr:2", RegionFault::kAmbiguous},
      {"d:1-2", RegionFault::kAmbiguous},
  };
  auto has_name = [](std::string_view name) { return kNames.find(name) != kNames.end(); };
  for (const auto& [text, fault] : cases) {
    Region region;
    std::string message;
    EXPECT_EQ(ParseRegion(text, has_name, region, message), fault) << text;
    EXPECT_FALSE(message.empty()) << text;
  }
}

}  // namespace
}  // namespace formats
