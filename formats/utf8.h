// Checks of text that arrives as bytes: is it ASCII, is it UTF-8, how many
// characters does it hold.
//
// "Valid UTF-8" means exactly what Python's strict decoder accepts: no
// overlong forms, no encoded surrogates (U+D800 to U+DFFF), nothing above
// U+10FFFF.  So a text that passes can be handed to the interpreter's
// decoder knowing that it cannot fail on it.
#ifndef ALPHABET_FORMATS_UTF8_H_
#define ALPHABET_FORMATS_UTF8_H_

#include <cstddef>
#include <string_view>

namespace formats {

// True when every byte of `text` is below 0x80.
bool IsAscii(std::string_view text);

// The offset of the first byte of `text` that does not begin or continue a
// valid UTF-8 sequence, or text.size() when the whole text is valid.  A
// sequence cut short by the end of `text` is invalid at its first byte.
size_t FirstInvalidUtf8(std::string_view text);

// Number of characters in `text`, valid UTF-8: the bytes that are not
// continuation bytes (10xxxxxx).
size_t CountCharacters(std::string_view text);

// The offset of character `index` of `text`, valid UTF-8 (text.size() when
// it holds no more than `index` characters).
size_t OffsetOfCharacter(std::string_view text, size_t index);

}  // namespace formats

#endif  // ALPHABET_FORMATS_UTF8_H_
