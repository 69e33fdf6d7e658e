#include "kernels/byte_map.h"

#include <cstring>

namespace kernels {

ByteMap::ByteMap(std::span<const int32_t, 256> images) {
  bool image_used[256] = {};
  for (int byte = 0; byte < 256; ++byte) {
    const int32_t image = images[byte];
    if (image < 0 || image > 255) continue;
    image_used[image] = true;
    ++valid_count_;
    if (byte >= 0x80) valid_below_0x80_ = false;
  }
  all_valid_ = valid_count_ == 256;
  if (!all_valid_) {
    // Prefer 0xFF: codes are small and symbols are ASCII, so it is almost
    // always free; any free byte would do.
    int marker = 255;
    while (image_used[marker]) --marker;
    marker_ = static_cast<uint8_t>(marker);
  }

  std::memset(rows_, 0, sizeof rows_);
  bool row_active[16] = {};
  for (int byte = 0; byte < 256; ++byte) {
    const int32_t image = images[byte];
    const bool valid = image >= 0 && image <= 255;
    table_[byte] = valid ? static_cast<uint8_t>(image) : marker_;
    if (valid) {
      rows_[byte >> 4][byte & 15] = static_cast<uint8_t>(image) ^ marker_;
      row_active[byte >> 4] = true;
    }
  }
  for (int high = 0; high < 16; ++high) {
    if (row_active[high]) active_rows_[num_active_rows_++] = static_cast<uint8_t>(high);
  }
}

WideByteMap::WideByteMap(std::span<const int32_t, 256> images) {
  for (int byte = 0; byte < 256; ++byte) {
    const int32_t image = images[byte];
    entries_[byte] = image >= 0 && image <= 0xFFFF ? static_cast<uint32_t>(image) : kRefused;
  }
}

}  // namespace kernels
