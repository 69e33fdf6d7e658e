"""Bulk encoding and decoding for one alphabet.

An alphabet never changes, so its tables are built once from its symbols and
then serve every bulk call.  Three shapes of alphabet:

* one character per symbol, at most 256 symbols, all below U+0100 (DNA, RNA,
  Protein and most alphabets in practice): a text becomes codes through
  str.encode and bytes.translate, codes become text through bytes.translate
  and bytes.decode; unknown symbols are found by deleting the known ones
  with bytes.translate and looking at what is left.  All C loops.
* one character per symbol otherwise: str.translate with dict tables, still
  one C loop per pass.
* symbols of other lengths: a dict lookup per symbol.

The tables follow the library's rules: a symbol's code is the position of
its last occurrence, a code decodes to the symbol at its position, and a
symbol is text only (the text "2" is not the code 2).

A failure is reported through the `fail` callback with the offending item
and its position; the alphabet builds the error from its own single-item
call, so the message is the library's.
"""

from __future__ import annotations

import array
import operator
from collections.abc import Callable, Iterable

from ._errors import AlphabetError

# Largest alphabet whose codes fit a bytes object.
BYTE_CODES = 256
# Codes of one-character alphabets travel through str.translate as
# characters, so they must be code points.
_MAX_CHAR_CODES = 0x110000
# An array type of 32-bit unsigned items, to read UTF-32 code units.
_UINT32 = next(code for code in "IL" if array.array(code).itemsize == 4)

type EncodeFailure = Callable[[str, int], AlphabetError]
type DecodeFailure = Callable[[int, int], AlphabetError]


class Codec:
    """Translation tables of one alphabet's symbols (a tuple, in code order)."""

    __slots__ = ("_symbols", "_code_of", "one_char", "_known", "_encode_table",
                 "_valid_codes", "_decode_table", "_to_code_chars", "_delete_known")  # fmt: skip

    def __init__(self, symbols: tuple[str, ...]) -> None:
        self._symbols = symbols
        # Later occurrences overwrite earlier ones: the last one wins.
        self._code_of = {symbol: code for code, symbol in enumerate(symbols)}
        self.one_char = all(len(symbol) == 1 for symbol in symbols)
        self._known: bytes | None = None
        self._encode_table = self._valid_codes = self._decode_table = b""
        self._to_code_chars: dict[int, str] | None = None
        self._delete_known: dict[int, None] = {}
        if not self.one_char:
            return
        if len(symbols) <= BYTE_CODES and all(ord(symbol) < 256 for symbol in symbols):
            self._known = "".join(self._code_of).encode("latin-1")
            encode_table = bytearray(256)
            for symbol, code in self._code_of.items():
                encode_table[ord(symbol)] = code
            self._encode_table = bytes(encode_table)
            self._valid_codes = bytes(range(len(symbols)))
            self._decode_table = "".join(symbols).encode("latin-1").ljust(256, b"\0")
        elif len(symbols) <= _MAX_CHAR_CODES:
            self._to_code_chars = {ord(s): chr(code) for s, code in self._code_of.items()}
            self._delete_known = dict.fromkeys(self._to_code_chars)

    def encode_text(self, text: str, fail: EncodeFailure) -> list[int] | bytes:
        """Codes of the characters of `text`; for one-character symbols."""
        if self._known is not None:
            try:
                data = text.encode("latin-1")
            except UnicodeEncodeError as error:
                # An unknown character before this one is reported first.
                self._check_known(text[: error.start].encode("latin-1"), fail)
                raise fail(text[error.start], error.start) from None
            self._check_known(data, fail)
            return data.translate(self._encode_table)
        if self._to_code_chars is not None:
            unknown = text.translate(self._delete_known)
            if unknown:
                raise fail(unknown[0], text.index(unknown[0]))
            code_chars = text.translate(self._to_code_chars)
            if len(self._symbols) <= BYTE_CODES:
                return code_chars.encode("latin-1")
            codes = array.array(_UINT32, code_chars.encode("utf-32-le", "surrogatepass"))
            return codes.tolist()
        return self.encode_symbols(text, fail)

    def _check_known(self, data: bytes, fail: EncodeFailure) -> None:
        assert self._known is not None
        unknown = data.translate(None, self._known)
        if unknown:
            raise fail(chr(unknown[0]), data.index(unknown[0]))

    def encode_symbols(self, symbols: Iterable[str], fail: EncodeFailure) -> list[int] | bytes:
        """Codes of the symbols of an iterable, one dict lookup each."""
        items = list(symbols)
        try:
            codes = list(map(self._code_of.__getitem__, items))
        except (KeyError, TypeError):
            for position, symbol in enumerate(items):
                if not isinstance(symbol, str):
                    raise TypeError(
                        f"symbols are str, not {type(symbol).__name__} (position {position})"
                    ) from None
                if symbol not in self._code_of:
                    raise fail(symbol, position) from None
            raise
        return bytes(codes) if len(self._symbols) <= BYTE_CODES else codes

    def decode(self, codes: Iterable[int], fail: DecodeFailure) -> list[str] | str:
        """The symbols of `codes`: one str when the byte tables apply, else a list."""
        items = codes if isinstance(codes, (bytes, bytearray)) else list(codes)
        if self._known is not None:
            try:
                data = bytes(items)
            except (ValueError, TypeError):
                pass  # some code is not a byte: the general path names it
            else:
                invalid = data.translate(None, self._valid_codes)
                if invalid:
                    raise fail(invalid[0], data.index(invalid[0]))
                return data.translate(self._decode_table).decode("latin-1")
        ints = list(map(operator.index, items))
        size = len(self._symbols)
        if ints and (min(ints) < 0 or max(ints) >= size):
            position, code = next((p, c) for p, c in enumerate(ints) if not 0 <= c < size)
            raise fail(code, position)
        return list(map(self._symbols.__getitem__, ints))
