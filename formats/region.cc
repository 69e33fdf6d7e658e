#include "formats/region.h"

namespace formats {
namespace {

// An end at or beyond this is no end: the tools' largest position.
constexpr uint64_t kLargestPosition = (uint64_t{1} << 63) - 1;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A number at the start of `text`: digits, commas anywhere among them, and
// a k, m or g after them; leading blanks skipped.  Sets `present` when it
// has a digit, saturates at UINT64_MAX, and leaves `text` after it.
uint64_t TakeNumber(std::string_view& text, bool& present) {
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  uint64_t value = 0;
  present = false;
  bool digits = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (c == ',') continue;
    if (c < '0' || c > '9') break;
    digits = true;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
  }
  if (digits && at < text.size()) {
    uint64_t scale = 0;
    switch (text[at]) {
      case 'k':
      case 'K': scale = 1000; break;
      case 'm':
      case 'M': scale = 1000000; break;
      case 'g':
      case 'G': scale = 1000000000; break;
      default: break;
    }
    if (scale != 0) {
      value = value > UINT64_MAX / scale ? UINT64_MAX : value * scale;
      ++at;
    }
  }
  present = digits;
  // Commas alone read as a number without digits, which is what the tools
  // make of them.
  text.remove_prefix(at);
  return value;
}

// The part after the name's ':'; false with `message` set when it is not a
// range.
bool ParseRange(std::string_view text, Region& region, std::string& message, RegionFault& fault) {
  fault = RegionFault::kMalformed;
  region.first = 0;
  region.last = kOpenEnd;
  region.empty = false;
  std::string_view rest = text;
  size_t at = 0;
  while (at < rest.size() && IsBlank(rest[at])) ++at;
  bool present = false;
  if (at < rest.size() && rest[at] == '-') {
    // "-E": from the start to E.
    rest.remove_prefix(at + 1);
    const uint64_t last = TakeNumber(rest, present);
    if (!rest.empty()) {
      message = "unexpected '" + std::string(rest) + "' after the region";
      return false;
    }
    if (!present) {
      region.empty = true;
    } else if (last != 0) {
      region.first = 1;
      region.last = last >= kLargestPosition ? kOpenEnd : last;
    }
    return true;
  }
  const uint64_t first = TakeNumber(rest, present);
  if (rest.empty()) {
    region.first = first;
    return true;
  }
  if (rest.front() != '-') {
    message = "unexpected '" + std::string(rest) + "' after the region";
    return false;
  }
  rest.remove_prefix(1);
  const uint64_t last = TakeNumber(rest, present);
  if (!rest.empty()) {
    message = "unexpected '" + std::string(rest) + "' after the region";
    return false;
  }
  if (first == 0) {
    region.empty = true;
    return true;
  }
  region.first = first;
  if (present && last != 0 && last < kLargestPosition) {
    if (last < first) {
      fault = RegionFault::kBackwards;
      message = "the region ends before it starts";
      return false;
    }
    region.last = last;
  }
  return true;
}

}  // namespace

RegionFault ParseRegion(std::string_view text,
                        const std::function<bool(std::string_view)>& has_name, Region& region,
                        std::string& message) {
  region = Region{};
  region.last = kOpenEnd;
  RegionFault fault = RegionFault::kNone;
  if (!text.empty() && text.front() == '{') {
    const size_t close = text.find('}');
    if (close != std::string_view::npos) {
      const std::string_view after = text.substr(close + 1);
      if (after.empty()) {
        region.name = text.substr(1, close - 1);
        return RegionFault::kNone;
      }
      if (after.front() == ':') {
        if (!ParseRange(after.substr(1), region, message, fault)) return fault;
        region.name = text.substr(1, close - 1);
        return RegionFault::kNone;
      }
    }
  }
  const bool whole_is_name = has_name(text);
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    region.name = text;
    return RegionFault::kNone;
  }
  const std::string_view prefix = text.substr(0, colon);
  Region ranged;
  std::string range_message;
  const bool ranges = ParseRange(text.substr(colon + 1), ranged, range_message, fault);
  if (ranges && has_name(prefix)) {
    if (whole_is_name) {
      message = "the region is ambiguous: write {" + std::string(text) + "} or {" +
                std::string(prefix) + "}:" + std::string(text.substr(colon + 1));
      return RegionFault::kAmbiguous;
    }
    region = ranged;
    region.name = prefix;
    return RegionFault::kNone;
  }
  if (whole_is_name) {
    region.name = text;
    return RegionFault::kNone;
  }
  if (!ranges && has_name(prefix)) {
    message = std::move(range_message);
    return fault;
  }
  // Neither reading names a sequence: the caller reports the name.
  region = ranges ? ranged : Region{};
  if (!ranges) region.last = kOpenEnd;
  region.name = prefix;
  return RegionFault::kNone;
}

Span Resolve(const Region& region, uint64_t length) {
  if (region.empty) return {0, 0, false};
  const uint64_t begin = region.first == 0 ? 0 : region.first - 1;
  uint64_t end = length;
  bool truncated = false;
  if (region.last != kOpenEnd) {
    if (region.last > length) {
      truncated = true;
    } else {
      end = region.last;
    }
  }
  if (begin >= end) return {end, end, truncated};
  return {begin, end, truncated};
}

}  // namespace formats
