// The struct-module format of a buffer's items, as exporters give it in
// Py_buffer.format: one parser for every buffer the native module reads.
#ifndef ALPHABET_NATIVE_COMMON_ITEM_FORMAT_H_
#define ALPHABET_NATIVE_COMMON_ITEM_FORMAT_H_

#include <cstddef>

namespace native {

// What a buffer's items are.  kText stands for the sequence kinds of texts,
// which have no buffer form.
enum class ItemClass { kSigned, kUnsigned, kFloat, kBool, kChar, kText };

struct ItemFormat {
  ItemClass item_class;
  size_t size;         // bytes per item: native sizes after '@', standard ones otherwise
  bool foreign_order;  // stored in the byte order opposite to this machine's
  const char* bare;    // the format without its byte-order character
};

// The items of a format of one plain number or character ('b', 'H', 'q',
// 'f', '?', 'c', ...), with an optional byte-order character first; a null
// format is "B", as the buffer protocol defines.  False for a format of
// several items, a count, padding, or a type that is not a plain number.
bool ParseItemFormat(const char* format, ItemFormat& out);

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_ITEM_FORMAT_H_
