// The fields of a parsed record as Python values, for records and batches
// alike, and the errors that name where in the input a field went wrong.
//
// Everything here but PhredScores runs with the interpreter lock held.
#ifndef ALPHABET_NATIVE_IO_FIELDS_H_
#define ALPHABET_NATIVE_IO_FIELDS_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "formats/fastx_parser.h"
#include "native/codec/codec_tables.h"

namespace native {

// A str of `text`, valid UTF-8 (ASCII when `ascii`); a long one is copied
// with the interpreter lock released.
PyObject* Text(std::string_view text, bool ascii);

// Phred scores of a quality: out[i] = quality[i] - offset.  Returns the
// index of the first character below the offset or beyond '~' (then `out`
// holds garbage), or quality.size().  Needs no interpreter lock.
size_t PhredScores(std::string_view quality, uint8_t offset, uint8_t* out);

// The quality of `record` as bytes of Phred scores; null with FormatError
// naming the record, the line and the column of a character outside the
// range.
PyObject* PhredQuality(const formats::Record& record, uint8_t offset);

// Raises FormatError for the character at byte `at` of `record`'s quality,
// outside the Phred+`offset` range.
void RaiseBadQuality(const formats::Record& record, size_t at, uint8_t offset);

// The codes of `record`'s sequence, exactly as the alphabet's encode_all
// gives them for its text; an ASCII sequence is coded from the parser's
// bytes without making the text.  An AlphabetError names the record, the
// line and the column of the symbol (PlaceAlphabetError).
PyObject* Codes(const CodecTables& tables, const formats::Record& record);

// Turns the AlphabetError being raised for a symbol of `record`'s sequence
// (its `position` counts characters) into one that names the record and the
// line and column of the symbol, and carries them in `record` and `line`.
// Any other exception is left as it is.
void PlaceAlphabetError(const formats::Record& record);

// Raises the AlphabetError for the character at byte `at` of `record`'s
// sequence (ASCII), as encode_all and PlaceAlphabetError would.
void RaiseBadSymbol(const formats::Record& record, size_t at);

}  // namespace native

#endif  // ALPHABET_NATIVE_IO_FIELDS_H_
