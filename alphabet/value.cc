#include "alphabet/value.h"

#include <charconv>
#include <functional>

namespace alphabet {

Value::Value(ValueView view) {
  if (view.is_text()) {
    contents_.emplace<std::string>(view.text());
  } else {
    contents_.emplace<int64_t>(view.integer());
  }
}

size_t ValueHash::operator()(ValueView value) const noexcept {
  if (value.is_text()) return std::hash<std::string_view>()(value.text());
  // A code table holds the consecutive integers 0..n-1 next to the texts.  The
  // table picks a bucket from the low bits of the hash, so unmixed integers
  // would fill one solid run of buckets and every text hashed into that run
  // would have to probe past it.  Multiplying and folding spreads them out.
  uint64_t x = static_cast<uint64_t>(value.integer());
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  return static_cast<size_t>(x);
}

void AppendRendering(std::string& out, ValueView value) {
  if (value.is_text()) {
    out.append(value.text());
    return;
  }
  char digits[20];  // "-9223372036854775808" is the longest
  const char* end = std::to_chars(digits, digits + sizeof digits, value.integer()).ptr;
  out.append(digits, static_cast<size_t>(end - digits));
}

}  // namespace alphabet
