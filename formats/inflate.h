// Inflate: a decoder of raw DEFLATE streams (RFC 1951) held whole in
// memory, into an output of fixed size.  This is what a BGZF block needs:
// each block is one stream of at most 64 KiB of output, decoded on its own.
//
// A call may stop early: once `wanted` bytes have come out it returns, so a
// caller that needs the start of a block does not pay for the rest (some
// bytes past `wanted` may have been written too; `written` says how many).
//
// It never reads outside `in` nor writes outside `out`.  A stream that is
// malformed, that refers to bytes before the start of `out`, that ends
// before its final block does, or that would write more than out.size()
// bytes, is refused.  No state is kept between calls: any number may run at
// once.  A block with codes of its own takes about 14 KiB of the heap while
// it is decoded: std::bad_alloc when there is none.
#ifndef ALPHABET_FORMATS_INFLATE_H_
#define ALPHABET_FORMATS_INFLATE_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace formats {

enum class InflateStatus : uint8_t {
  kEnded,      // the final block ended: the whole stream is in `out`
  kStopped,    // at least `wanted` bytes came out before the end
  kTruncated,  // the input ended inside the stream
  kCorrupt,    // not DEFLATE: a bad block type, code, length or distance
  kTooLong,    // the stream holds more than out.size() bytes
};

struct InflateResult {
  InflateStatus status;
  size_t written;  // bytes of `out` that hold output
  size_t read;     // kEnded: the input bytes the stream took (its last byte included)
};

InflateResult Inflate(std::span<const uint8_t> in, std::span<uint8_t> out,
                      size_t wanted = std::numeric_limits<size_t>::max());

// What each status means, for messages.
const char* InflateStatusText(InflateStatus status);

}  // namespace formats

#endif  // ALPHABET_FORMATS_INFLATE_H_
