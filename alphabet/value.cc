#include "alphabet/value.h"

#include <charconv>

namespace alphabet {

Value::Value(ValueView view) {
  if (view.is_text()) {
    contents_.emplace<std::string>(view.text());
  } else {
    contents_.emplace<int64_t>(view.integer());
  }
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

void AppendShown(std::string& out, std::string_view text) {
  if (text.size() <= kShownTextBytes) {
    out.append(text);
    return;
  }
  size_t keep = kShownTextBytes;
  // Back off over UTF-8 continuation bytes to the start of a character.
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  out.append(text.substr(0, keep));
  out += "...";
}

}  // namespace alphabet
