#include "sequences/operations.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sequences/storage.h"

namespace sequences {
namespace {

using Strings = Operations<StringStorage>;
using Ints = Operations<IntStorage>;
constexpr char kStringTag[] = "[]string";
constexpr char kIntTag[] = "[]int";

handles::Handle NewInts(const std::vector<int64_t>& values) {
  handles::Handle h = Ints::CTor(kIntTag).value;
  for (int64_t v : values) EXPECT_TRUE(Ints::Append(h, v, kIntTag).ok());
  return h;
}

std::vector<std::string> Contents(handles::Handle h) {
  std::vector<std::string> out;
  for (int64_t i = 0; i < Strings::Len(h, kStringTag).value; ++i) {
    EXPECT_TRUE(
        Strings::Read(h, i, kStringTag, [&](const std::string& s) { out.push_back(s); }).ok());
  }
  return out;
}

TEST(StatusTest, MessagesNameTheNumbers) {
  EXPECT_EQ(Status::Ok().message(), "");
  EXPECT_EQ(Status::WrongKind(12, "[]int").message(), "handle 12 does not name a []int sequence");
  EXPECT_EQ(Status::IndexOutOfRange(-1, 3).message(), "index -1 out of range [0, 3)");
  EXPECT_EQ(Status::SubRangeOutOfBounds(2, 1, 4).message(), "sub-range [2, 1) outside [0, 4]");
  EXPECT_EQ(Status::AppendThroughNothing(0).message(),
            "cannot append through handle 0: it names no sequence");
}

TEST(OperationsTest, FaultsChangeNothingAndRegisterNothing) {
  const handles::Handle h = NewInts({10, 20, 30});
  const handles::Handle text = Strings::CTor(kStringTag).value;
  const int64_t before = handles::Global().NumHandles();

  const std::vector<std::pair<Status, Fault>> cases = {
      {Ints::Set(h, 3, 0, kIntTag), Fault::kIndexOutOfRange},
      {Ints::Set(h, -1, 0, kIntTag), Fault::kIndexOutOfRange},
      {Ints::Read(h, 3, kIntTag, [](int64_t) { ADD_FAILURE(); }), Fault::kIndexOutOfRange},
      {Ints::SubSlice(h, 0, 5, kIntTag).status, Fault::kSubRangeOutOfBounds},
      {Ints::SubSlice(h, 2, 1, kIntTag).status, Fault::kSubRangeOutOfBounds},
      {Ints::SubSlice(-5, 0, 1, kIntTag).status, Fault::kSubRangeOutOfBounds},
      {Ints::Append(text, 1, kIntTag), Fault::kWrongKind},
      {Operations<Int64Storage>::Len(h, "[]int64").status, Fault::kWrongKind},
      {Strings::Set(h, 0, "x", kStringTag), Fault::kWrongKind},
      {Ints::Append(0, 1, kIntTag), Fault::kAppendThroughNothing},
      {Ints::Append(int64_t{1} << 62, 1, kIntTag), Fault::kAppendThroughNothing},
  };
  for (const auto& [status, fault] : cases) EXPECT_EQ(status.fault(), fault) << status.message();

  EXPECT_EQ(handles::Global().NumHandles(), before);
  EXPECT_EQ(Ints::Len(h, kIntTag).value, 3);
  EXPECT_EQ(Ints::Find(h, kIntTag).value->capacity(), 4);
  EXPECT_EQ(Strings::Len(text, kStringTag).value, 0);
}

TEST(OperationsTest, AFaultReportsTheRangeItWasCheckedAgainst) {
  const handles::Handle h = NewInts({1, 2, 3, 4, 5});  // capacity 8
  EXPECT_EQ(Ints::Read(h, 5, kIntTag, [](int64_t) {}).message(), "index 5 out of range [0, 5)");
  EXPECT_EQ(Ints::SubSlice(h, 1, 9, kIntTag).status.message(), "sub-range [1, 9) outside [0, 8]");
  const handles::Handle view = Ints::SubSlice(h, 2, 3, kIntTag).value;
  EXPECT_EQ(Ints::SubSlice(view, 0, 7, kIntTag).status.message(),
            "sub-range [0, 7) outside [0, 6]");
}

TEST(OperationsTest, AHandleNamingNothingReadsAsEmpty) {
  for (handles::Handle nothing : {handles::Handle{0}, handles::Handle{-1}, int64_t{1} << 62}) {
    EXPECT_TRUE(Ints::Len(nothing, kIntTag).status.ok());
    EXPECT_EQ(Ints::Len(nothing, kIntTag).value, 0);
    EXPECT_EQ(Ints::Find(nothing, kIntTag).value, nullptr);
    Result<handles::Handle> empty = Ints::SubSlice(nothing, 0, 0, kIntTag);
    ASSERT_TRUE(empty.status.ok());
    EXPECT_EQ(Ints::Len(empty.value, kIntTag).value, 0);
  }
}

// A view keeps the block its source had when it was taken: growing moves the
// source alone, and must copy, not move, texts out of a block still shared.
TEST(OperationsTest, GrowingASharedBlockLeavesTheViewItsTexts) {
  const handles::Handle source = Strings::CTor(kStringTag).value;
  for (const char* s : {"a", "bb", "ccc", "dddd"})
    ASSERT_TRUE(Strings::Append(source, s, kStringTag).ok());
  // Two elements seen, one slot spare: an append through it stays in place.
  const handles::Handle view = Strings::SubSlice(source, 1, 3, kStringTag).value;

  ASSERT_TRUE(Strings::Append(source, "eeeee", kStringTag).ok());  // full: moves to a new block
  ASSERT_TRUE(Strings::Append(view, "view", kStringTag).ok());     // the old block's last slot
  ASSERT_TRUE(Strings::Set(source, 0, "A", kStringTag).ok());

  EXPECT_EQ(Contents(source), (std::vector<std::string>{"A", "bb", "ccc", "dddd", "eeeee"}));
  EXPECT_EQ(Contents(view), (std::vector<std::string>{"bb", "ccc", "view"}));
}

}  // namespace
}  // namespace sequences
