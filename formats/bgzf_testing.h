// BGZF blocks made for tests: each holds its data in one stored DEFLATE
// block, so that tests need no compressor to make files of any layout.
#ifndef ALPHABET_FORMATS_BGZF_TESTING_H_
#define ALPHABET_FORMATS_BGZF_TESTING_H_

#include <cstdint>
#include <string>

#include "formats/bgzf.h"

namespace formats::testing {

inline void PutLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// One BGZF block holding `data` (at most 65535 bytes); an empty `data` makes
// the empty block that ends a file.
inline std::string StoredBgzfBlock(const std::string& data) {
  std::string deflated;
  if (data.empty()) {
    deflated = std::string("\x03\x00", 2);  // a final fixed-code block with no symbol
  } else {
    deflated.push_back('\x01');  // final, stored
    PutLe(deflated, data.size(), 2);
    PutLe(deflated, ~data.size() & 0xffff, 2);
    deflated += data;
  }
  std::string block(
      "\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00"
      "BC\x02\x00",
      16);
  PutLe(block, 16 + 2 + deflated.size() + 8 - 1, 2);
  block += deflated;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  PutLe(block, Crc32({bytes, data.size()}), 4);
  PutLe(block, data.size(), 4);
  return block;
}

}  // namespace formats::testing

#endif  // ALPHABET_FORMATS_BGZF_TESTING_H_
