"""Bulk encoding and decoding for one alphabet, with its spelling options.

A pure-Python codec with the interface and rules of the native one, which
replaces it: the same results, the same errors, Python speed.

The rules: a symbol's code is the position of its last occurrence, a code
decodes to the symbol at its position, and a symbol is text only (the text
"2" is not the code 2).  An input symbol that is not a symbol of the
alphabet may still encode, tried in this order: as one of the extra
`spellings` (each mapped to a code); with `ignore_case`, as the one symbol
that differs from it only in case (compared through str.lower(); when
several distinct symbols do, none is chosen); as the `unknown` code when
that is set.  Otherwise it is an AlphabetError naming it and its position.

For alphabets of one-character symbols a text splits into symbols, and so
does a buffer of single bytes, read as latin-1 text.  Codes come back as
bytes for alphabets of up to 256 symbols, as the narrowest unsigned
array.array that holds every code otherwise.
"""

from __future__ import annotations

import array
import operator
from collections.abc import Buffer, Iterable, Mapping
from types import MappingProxyType

from ._errors import AlphabetError, code_error, symbol_error

# Largest alphabet whose codes fit a bytes object.
BYTE_CODES = 256
# Typecodes of unsigned 16- and 32-bit items.
_UINT16 = "H"
_UINT32 = next(code for code in "IL" if array.array(code).itemsize == 4)
# memoryview formats of integer items (native sizes).
_INTEGER_FORMATS = frozenset("bBhHiIlLqQ")
_LATIN1 = 256
_NO_SPELLINGS: Mapping[str, int] = MappingProxyType({})


class Codec:
    """The encoding and decoding tables of one alphabet: built once, immutable."""

    __slots__ = ("size", "one_char", "_symbols", "_exact", "_spellings", "_folded", "_unknown",
                 "_encode_table", "_known_bytes", "_decode_table")  # fmt: skip

    size: int
    one_char: bool

    def __init__(
        self,
        symbols: tuple[str, ...],
        *,
        spellings: Mapping[str, int] = _NO_SPELLINGS,
        unknown: int | None = None,
        ignore_case: bool = False,
    ) -> None:
        self._symbols = symbols
        self.size = size = len(symbols)
        self.one_char = all(len(symbol) == 1 for symbol in symbols)
        # Later occurrences overwrite earlier ones: the last one wins.
        self._exact = {symbol: code for code, symbol in enumerate(symbols)}
        self._spellings = {text: _checked_code(code, size) for text, code in spellings.items()}
        self._unknown = None if unknown is None else _checked_code(unknown, size)
        self._folded: dict[str, int | None] = {}
        if ignore_case:
            for symbol, code in self._exact.items():
                key = symbol.lower()
                # A second distinct symbol of the same letters makes the key ambiguous.
                self._folded[key] = code if key not in self._folded else None
        self._encode_table: bytes | None = None
        self._known_bytes = self._decode_table = b""
        if self.one_char and size <= BYTE_CODES:
            # Every byte, read as a latin-1 character, through the full lookup.
            codes = [self._lookup(chr(byte)) for byte in range(_LATIN1)]
            self._encode_table = bytes(code or 0 for code in codes)
            self._known_bytes = bytes(byte for byte, code in enumerate(codes) if code is not None)
            if all(ord(symbol) < _LATIN1 for symbol in symbols):
                self._decode_table = "".join(symbols).encode("latin-1").ljust(_LATIN1, b"\0")

    def _lookup(self, symbol: str) -> int | None:
        code = self._exact.get(symbol)
        if code is None:
            code = self._spellings.get(symbol)
        if code is None and self._folded:
            code = self._folded.get(symbol.lower())
        return self._unknown if code is None else code

    def encode_one(self, symbol: str) -> int:
        """The code of one symbol."""
        if not isinstance(symbol, str):
            raise TypeError(f"a symbol is a str, not {type(symbol).__name__}")
        code = self._lookup(symbol)
        if code is None:
            raise symbol_error(symbol)
        return code

    def encode(self, symbols: str | Buffer | Iterable[str]) -> bytes | array.array[int]:
        """The codes of a text, a buffer of one-byte characters or an iterable of symbols."""
        if isinstance(symbols, str):
            if not self.one_char:
                raise TypeError(
                    "a text splits into symbols only when every symbol is one character; "
                    "pass an iterable of symbols"
                )
            try:
                data = symbols.encode("latin-1")
            except UnicodeEncodeError:
                return self._encode_items(symbols)
            return self._encode_bytes(data)
        if isinstance(symbols, Buffer):
            if not self.one_char:
                raise TypeError(
                    "bytes are read as one-character symbols; this alphabet has longer ones, "
                    "pass an iterable of str"
                )
            view = memoryview(symbols)
            if not view.c_contiguous or view.itemsize != 1:
                raise TypeError("a buffer of symbols must be C-contiguous, with one-byte items")
            return self._encode_bytes(view.tobytes())
        return self._encode_items(symbols)

    def _encode_bytes(self, data: bytes) -> bytes | array.array[int]:
        if self._encode_table is None:
            return self._encode_items(data.decode("latin-1"))
        unknown = data.translate(None, self._known_bytes)
        if unknown:
            position = data.index(unknown[0])
            raise symbol_error(chr(unknown[0]), position)
        return data.translate(self._encode_table)

    def _encode_items(self, symbols: Iterable[str]) -> bytes | array.array[int]:
        items = list(symbols)
        try:
            codes = list(map(self._exact.__getitem__, items))
        except (KeyError, TypeError):
            codes = []
            for position, symbol in enumerate(items):
                if not isinstance(symbol, str):
                    raise TypeError(
                        f"symbols are str, not {type(symbol).__name__} (position {position})"
                    ) from None
                code = self._lookup(symbol)
                if code is None:
                    raise symbol_error(symbol, position) from None
                codes.append(code)
        return self._packed(codes)

    def _packed(self, codes: list[int]) -> bytes | array.array[int]:
        if self.size <= BYTE_CODES:
            return bytes(codes)
        return array.array(_UINT16 if self.size <= 1 << 16 else _UINT32, codes)

    def decode_list(self, codes: Buffer | Iterable[int]) -> list[str]:
        """The symbols of `codes`, one str each."""
        data = _code_items(codes)
        if isinstance(data, bytes) and self._decode_table:
            return list(self._decode_bytes(data))
        return list(map(self._symbols.__getitem__, self._checked(data)))

    def decode_str(self, codes: Buffer | Iterable[int]) -> str:
        """The text spelt by `codes`, for an alphabet of one-character symbols."""
        if not self.one_char:
            raise AlphabetError(
                "decode_str needs an alphabet of one-character symbols; use decode_all"
            )
        data = _code_items(codes)
        if isinstance(data, bytes) and self._decode_table:
            return self._decode_bytes(data)
        return "".join(map(self._symbols.__getitem__, self._checked(data)))

    def _decode_bytes(self, data: bytes) -> str:
        _check_codes(data, self.size)
        return data.translate(self._decode_table).decode("latin-1")

    def _checked(self, codes: bytes | list[int]) -> bytes | list[int]:
        _check_codes(codes, self.size)
        return codes


def _checked_code(code: int, size: int) -> int:
    code = operator.index(code)
    if not 0 <= code < size:
        raise ValueError(f"code {code} is not a code of an alphabet of {size} symbols")
    return code


def _code_items(codes: Buffer | Iterable[int]) -> bytes | list[int]:
    """The codes of a buffer of integers or an iterable of ints; bytes for byte items."""
    if isinstance(codes, (bytes, bytearray)):
        return bytes(codes)
    if isinstance(codes, Buffer):
        view = memoryview(codes)
        if not view.c_contiguous:
            raise TypeError("a buffer of codes must be C-contiguous")
        item = view.format.removeprefix("@")
        if item not in _INTEGER_FORMATS:
            raise TypeError(f"codes are integers, not items of format {view.format!r}")
        return view.tobytes() if item == "B" else _items(view, item).tolist()
    return list(map(operator.index, codes))


def _items(view: memoryview, item: str) -> memoryview[int]:
    """A flat view of a C-contiguous buffer's integer items."""
    return view.cast("B").cast(item)  # type: ignore[call-overload, no-any-return]


def _check_codes(codes: bytes | list[int], size: int) -> None:
    """Raises the error for the first code that is not below `size`."""
    if isinstance(codes, bytes):
        invalid = codes.translate(None, bytes(range(min(size, _LATIN1))))
        if invalid:
            raise code_error(invalid[0], codes.index(invalid[0]))
        return
    if codes and (min(codes) < 0 or max(codes) >= size):
        position = next(p for p, code in enumerate(codes) if not 0 <= code < size)
        raise code_error(codes[position], position)


def reverse_translate[C: Buffer | list[int]](codes: C, table: bytes) -> C:
    """`codes` reversed and each mapped through `table` (out[n-1-i] = table[codes[i]]).

    The result has the type of `codes`: bytes, bytearray, list, array.array
    of the same typecode, or an array of the same type made by its own
    copy() (a numpy array keeps its dtype).
    """
    if isinstance(codes, (bytes, bytearray)):
        _check_codes(bytes(codes), len(table))
        mapped = codes.translate(table.ljust(_LATIN1, b"\0"))[::-1]
        return mapped  # type: ignore[return-value]
    if isinstance(codes, list):
        values = list(map(operator.index, codes))
        _check_codes(values, len(table))
        return [table[code] for code in reversed(values)]  # type: ignore[return-value]
    if isinstance(codes, array.array):
        values = codes.tolist()
        _check_codes(values, len(table))
        mapped_array = array.array(codes.typecode, [table[c] for c in reversed(values)])
        return mapped_array  # type: ignore[return-value]
    copy = getattr(codes, "copy", None)
    if isinstance(codes, Buffer) and callable(copy):
        items = _code_items(codes)
        _check_codes(items, len(table))
        out = copy()
        item = memoryview(codes).format.removeprefix("@")
        _items(memoryview(out), item)[:] = array.array(item, [table[c] for c in reversed(items)])
        return out  # type: ignore[no-any-return]
    raise TypeError(
        "codes must be bytes, bytearray, a list, an array.array or an array type with copy(), "
        f"not {type(codes).__name__}"
    )


def kmers(codes: Buffer | Iterable[int], k: int, base: int) -> array.array[int]:
    """The rolling k-mer indices of `codes`, read as base-`base` digits, first most significant."""
    k, base = operator.index(k), operator.index(base)
    if k < 1:
        raise ValueError(f"k must be at least 1, not {k}")
    if base < 0:
        raise ValueError(f"base must not be negative, not {base}")
    if base > 1 and (k > 64 or base**k > 1 << 64):
        raise ValueError(f"{k}-mers over {base} symbols do not fit in 64 bits")
    values = _code_items(codes)
    _check_codes(values, base)
    high = base ** (k - 1)
    out = array.array("Q")
    index = 0
    for position, code in enumerate(values):
        index = index % high * base + code
        if position >= k - 1:
            out.append(index)
    return out
