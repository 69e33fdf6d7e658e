// alphabet._native.Codec: the encoding and decoding tables of one alphabet,
// built once from its symbols and options and then only read, so that one
// codec serves any number of threads at once.  Bulk calls over large inputs
// run their kernels with the interpreter lock released once the input is
// pinned (a held buffer, or an immutable str).
//
// Other rooms (the reader) encode through the functions below, with the
// codec object held for as long as they use its tables.
#ifndef ALPHABET_NATIVE_CODEC_CODEC_H_
#define ALPHABET_NATIVE_CODEC_CODEC_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "native/codec/code_buffers.h"
#include "native/codec/codec_tables.h"

namespace native {

// The tables of `codec`; null with TypeError when it is not a Codec.
const CodecTables* TablesOfCodec(PyObject* codec);

// The codes of the str `text`, exactly as Codec.encode(text) gives them;
// null with the exception set (AlphabetError naming the first unknown
// symbol and its position).
PyObject* EncodeText(const CodecTables& tables, PyObject* text);

// The same for `n` characters up to U+00FF given as bytes (Latin-1 text,
// ASCII included).
PyObject* EncodeLatin1(const CodecTables& tables, const uint8_t* text, size_t n);

// The text spelt by `codes` under a Codec (known to be one), exactly as
// Codec.decode_str gives it; null with the exception set (AlphabetError
// naming the first code outside the alphabet and its position).
PyObject* DecodeText(PyObject* codec, const CodeSpan& codes);

// The text that `codes` spell, exactly as Codec.decode_str(codes) gives
// it, as UTF-8 in `out` (its old contents replaced), and its length in
// characters in `chars`.  The tables are of one-character symbols.  False
// with the exception set: TypeError for what holds no codes, AlphabetError
// naming the first code not in the alphabet and its position.
bool DecodeUtf8(const CodecTables& tables, PyObject* codes, std::string& out, size_t& chars);

// Adds Codec to the module.
bool AddCodec(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_CODEC_H_
