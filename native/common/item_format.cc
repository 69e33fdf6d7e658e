#include "native/common/item_format.h"

#include <sys/types.h>
#include <bit>
#include <cstring>

namespace native {

bool ParseItemFormat(const char* format, ItemFormat& out) {
  if (format == nullptr) format = "B";
  char order = '@';
  if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) order = *format++;
  if (format[0] == '\0' || format[1] != '\0') return false;
  const bool native_sizes = order == '@';
  const bool big = order == '>' || order == '!';
  const bool little = order == '<';
  out.foreign_order = std::endian::native == std::endian::little ? big : little;
  out.bare = format;
  const auto sized = [native_sizes](size_t native, size_t standard) {
    return native_sizes ? native : standard;
  };
  const auto is = [&out](ItemClass item_class, size_t size) {
    out.item_class = item_class;
    out.size = size;
    return true;
  };
  switch (format[0]) {
    case 'b': return is(ItemClass::kSigned, 1);
    case 'B': return is(ItemClass::kUnsigned, 1);
    case 'h': return is(ItemClass::kSigned, 2);
    case 'H': return is(ItemClass::kUnsigned, 2);
    case 'i': return is(ItemClass::kSigned, sized(sizeof(int), 4));
    case 'I': return is(ItemClass::kUnsigned, sized(sizeof(unsigned), 4));
    case 'l': return is(ItemClass::kSigned, sized(sizeof(long), 4));
    case 'L': return is(ItemClass::kUnsigned, sized(sizeof(unsigned long), 4));
    case 'q': return is(ItemClass::kSigned, 8);
    case 'Q': return is(ItemClass::kUnsigned, 8);
    // The machine's own sizes, which only the native mode has.
    case 'n': return is(ItemClass::kSigned, sizeof(ssize_t)) && native_sizes;
    case 'N': return is(ItemClass::kUnsigned, sizeof(size_t)) && native_sizes;
    case 'f': return is(ItemClass::kFloat, 4);
    case 'd': return is(ItemClass::kFloat, 8);
    case '?': return is(ItemClass::kBool, 1);
    case 'c': return is(ItemClass::kChar, 1);
    default: return false;
  }
}

}  // namespace native
