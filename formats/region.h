// Regions as genome tools write them on their command lines: "chr1",
// "chr1:1000", "chr1:1,000-2,000", "chr1:-500", "{chr:2}:10-20".
//
// Positions are 1-based and the end is included; a region resolves to the
// 0-based half-open [begin, end) of one sequence, with the tools' rules:
//  * "name" is the whole sequence; "name:B" and "name:B-" run from B to its
//    end; "name:-E" from its start to E; "name:B-E" from B to E.
//  * Numbers may hold commas ("1,000") and end in k, m or g (thousands,
//    millions, billions).  A number too large for 64 bits counts as
//    infinitely large.
//  * An end past the sequence stops at its end (`truncated` tells); a
//    start past it gives an empty region; an end of 0 means the sequence's
//    end; a start of 0 means the whole sequence alone ("name:0"), an empty
//    region with an end ("name:0-E", "name:-").
//  * An end before the start is an error.
//  * The name is the text before the last ':'; the whole text names a
//    sequence when the index has it, and a name that holds ':' may be put
//    in braces to say where it ends ("{chr:2}:10-20").  A text that reads
//    both ways ("chr:2" when both "chr" and "chr:2" are sequences) is
//    ambiguous, and an error.
#ifndef ALPHABET_FORMATS_REGION_H_
#define ALPHABET_FORMATS_REGION_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace formats {

struct Region {
  std::string_view name;  // a view into the text parsed
  // 1-based, inclusive, as written: 0 for an absent start, kOpenEnd for an
  // absent (or zero, or too large) end.
  uint64_t first = 0;
  uint64_t last = 0;
  bool empty = false;  // the tools' empty forms: "name:0-E", "name:-"
};

inline constexpr uint64_t kOpenEnd = UINT64_MAX;

enum class RegionFault : uint8_t {
  kNone,
  kMalformed,  // `message` says why
  kAmbiguous,
  kBackwards,  // the end is before the start
};

// Parses `text`; `has_name` tells whether the index holds a sequence.  The
// name of a region that parses is not checked: the caller looks it up.
RegionFault ParseRegion(std::string_view text,
                        const std::function<bool(std::string_view)>& has_name, Region& region,
                        std::string& message);

// The 0-based half-open range of `region` in a sequence of `length` bases.
struct Span {
  uint64_t begin;
  uint64_t end;
  bool truncated;  // the region's end lies past the sequence
};
Span Resolve(const Region& region, uint64_t length);

}  // namespace formats

#endif  // ALPHABET_FORMATS_REGION_H_
