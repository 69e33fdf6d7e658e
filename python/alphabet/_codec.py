"""Bulk encoding and decoding for one alphabet, over the native codec.

The tables and loops are alphabet._native.Codec's: built once from the
alphabet's symbols, at C speed for every shape of alphabet.  This module
keeps the calling convention of the package's Alphabet: an unknown symbol
is reported through the `fail` callback with the offending item and its
position, and the alphabet builds the error from its own single-item call,
so the message is the library's.
"""

from __future__ import annotations

import array
from collections.abc import Buffer, Callable, Iterable

from . import _native
from ._errors import AlphabetError

type EncodeFailure = Callable[[str, int], AlphabetError]
type DecodeFailure = Callable[[int, int], AlphabetError]


def _codes_out(codes: bytes | array.array[int]) -> bytes | list[int]:
    return codes if isinstance(codes, bytes) else codes.tolist()


class Codec:
    """Translation tables of one alphabet's symbols (a tuple, in code order)."""

    __slots__ = ("_native", "one_char")

    def __init__(self, symbols: tuple[str, ...]) -> None:
        self._native = _native.Codec(symbols)
        self.one_char = self._native.one_char

    def encode_text(self, text: str, fail: EncodeFailure) -> list[int] | bytes:
        """Codes of the characters of `text`; for one-character symbols."""
        try:
            return _codes_out(self._native.encode(text))
        except AlphabetError as error:
            position = _position(error)
            raise fail(text[position], position) from None

    def encode_symbols(self, symbols: Iterable[str], fail: EncodeFailure) -> list[int] | bytes:
        """Codes of the symbols of an iterable."""
        items = symbols if isinstance(symbols, (list, tuple)) else list(symbols)
        try:
            return _codes_out(self._native.encode(items))
        except AlphabetError as error:
            position = _position(error)
            raise fail(items[position], position) from None

    def decode(self, codes: Iterable[int], fail: DecodeFailure) -> list[str] | str:
        """The symbols of `codes`: one str for one-character symbols, else a list.

        A bad code's error is the codec's own: its message has the library's
        form already ("Code 9 not in alphabet at position 1"), and it renders
        codes of any size, so `fail` is not needed.
        """
        # Buffers (bytes, array.array, numpy arrays) are read in place.
        items = codes if isinstance(codes, Buffer) else list(codes)
        if self.one_char:
            return self._native.decode_str(items)
        return self._native.decode_list(items)


def _position(error: AlphabetError) -> int:
    assert error.position is not None, "bulk calls name the position of what they refuse"
    return error.position
