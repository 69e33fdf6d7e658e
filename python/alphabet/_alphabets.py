"""Alphabets as Python objects, and the three standard ones."""

from __future__ import annotations

import operator
from collections.abc import Iterable, Iterator
from typing import Self

import _alphabet as _m

from ._codec import Codec
from ._errors import AlphabetError
from ._held import Held, adopt
from ._sequences import KIND_CLASSES, Sequence

_encode = _m.alphabet_Alphabet_Encode
_decode = _m.alphabet_Alphabet_Decode
_index = operator.index


class Alphabet(Held):
    """An ordered, immutable list of symbols (texts); a symbol's code is its position.

    `Alphabet("ACGT")` and `Alphabet(["A", "C", "G", "T"])` are the same
    alphabet.  A symbol may occur more than once: it then encodes to its last
    position, and every position decodes to it.  Two alphabets are equal
    when their symbols are.
    """

    __slots__ = ("_symbols", "_codec")

    _symbols: tuple[str, ...] | None
    _codec: Codec | None

    def __init__(self, symbols: Iterable[str]) -> None:
        if hasattr(self, "_handle"):
            raise TypeError("Alphabet is already initialised")
        self._symbols = self._codec = None
        # The list must outlive the call: collecting it releases its handle.
        listed = _symbol_sequence(symbols)
        adopt(self, _m.alphabet_NewAlphabet(listed.handle))

    @classmethod
    def _adopt(cls, handle: int) -> Self:
        alphabet = cls.__new__(cls)
        alphabet._symbols = alphabet._codec = None
        return adopt(alphabet, handle)

    @classmethod
    def from_handle(cls, handle: int) -> Self:
        """An Alphabet for the alphabet that a module handle names.

        It takes the handle up itself (IncRef) and lets go of it when
        collected; the caller's own share of the handle is untouched.
        """
        alphabet = cls._adopt(handle)
        listed = _m.alphabet_Alphabet_Symbols(handle)
        if listed < 0:
            raise ValueError(f"handle {handle} names no alphabet")
        alphabet._symbols = tuple(_TextSequence._adopt(listed))
        return alphabet

    def encode(self, symbol: str) -> int:
        """The code of `symbol`: the position of its last occurrence."""
        try:
            return _encode(self._handle, symbol)
        except RuntimeError as error:
            raise AlphabetError(str(error)) from None
        except ValueError:
            # A NUL character or a lone surrogate cannot cross to the library,
            # and no alphabet holds one; the answer is the library's.
            raise AlphabetError(f"Symbol {symbol} not in alphabet") from None

    def decode(self, code: int) -> str:
        """The symbol at position `code`."""
        try:
            return _decode(self._handle, str(_index(code)))
        except RuntimeError as error:
            raise AlphabetError(str(error)) from None

    def extend(self, symbols: Iterable[str]) -> Alphabet:
        """A new alphabet: these symbols followed by `symbols`; this one is unchanged."""
        added = _symbol_sequence(symbols)
        return Alphabet._adopt(_m.alphabet_Alphabet_Extend(self._handle, added.handle))

    @property
    def symbols(self) -> tuple[str, ...]:
        """The symbols in code order."""
        symbols = self._symbols
        if symbols is None:
            listed = _m.alphabet_Alphabet_Symbols(self._handle)
            symbols = self._symbols = tuple(_TextSequence._adopt(listed))
        return symbols

    def _tables(self) -> Codec:
        codec = self._codec
        if codec is None:
            codec = self._codec = Codec(self.symbols)
        return codec

    def encode_all(self, symbols: str | Iterable[str]) -> bytes | list[int]:
        """The codes of a text (one symbol per character) or of an iterable of symbols.

        The result is a bytes object when the alphabet has at most 256
        symbols, a list of ints otherwise.  A text is accepted only when
        every symbol is one character long; for other alphabets pass a list
        of symbols.  An unknown symbol raises AlphabetError with its position.
        """
        codec = self._tables()
        if isinstance(symbols, str):
            if not codec.one_char:
                raise TypeError(
                    "a text splits into symbols only when every symbol is one character; "
                    "pass an iterable of symbols"
                )
            return codec.encode_text(symbols, self._encode_failure)
        if isinstance(symbols, (bytes, bytearray, memoryview)):
            raise TypeError("symbols are str; decode the bytes to a text first")
        return codec.encode_symbols(symbols, self._encode_failure)

    def decode_all(self, codes: Iterable[int]) -> list[str]:
        """The symbols of `codes` (a bytes-like object or an iterable of ints)."""
        decoded = self._tables().decode(codes, self._decode_failure)
        return list(decoded) if isinstance(decoded, str) else decoded

    def decode_str(self, codes: Iterable[int]) -> str:
        """The text spelt by `codes`, for an alphabet of one-character symbols."""
        codec = self._tables()
        if not codec.one_char:
            raise AlphabetError(
                "decode_str needs an alphabet of one-character symbols; use decode_all"
            )
        decoded = codec.decode(codes, self._decode_failure)
        return decoded if isinstance(decoded, str) else "".join(decoded)

    def _encode_failure(self, symbol: str, position: int) -> AlphabetError:
        try:
            self.encode(symbol)
        except AlphabetError as error:
            return AlphabetError(f"{error} at position {position}", position)
        raise AssertionError(f"the tables refused {symbol!r}, which the alphabet encodes")

    def _decode_failure(self, code: int, position: int) -> AlphabetError:
        try:
            self.decode(code)
        except AlphabetError as error:
            return AlphabetError(f"{error} at position {position}", position)
        raise AssertionError(f"the tables refused code {code}, which the alphabet decodes")

    def __len__(self) -> int:
        return len(self.symbols)

    def __iter__(self) -> Iterator[str]:
        return iter(self.symbols)

    def __contains__(self, symbol: object) -> bool:
        return isinstance(symbol, str) and symbol in self.symbols

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Alphabet):
            return self.symbols == other.symbols
        return NotImplemented

    def __hash__(self) -> int:
        return hash(self.symbols)

    def __repr__(self) -> str:
        symbols = self.symbols
        if symbols and all(len(symbol) == 1 for symbol in symbols):
            return f"Alphabet({''.join(symbols)!r})"
        return f"Alphabet({list(symbols)!r})"

    # Immutable: a copy may be the object itself.  Pickles rebuild it.
    def __copy__(self) -> Self:
        return self

    def __deepcopy__(self, memo: object) -> Self:
        return self

    def __reduce__(self) -> tuple[type[Alphabet], tuple[tuple[str, ...]]]:
        return Alphabet, (self.symbols,)


_TextSequence = KIND_CLASSES["string"]


def _symbol_sequence(symbols: Iterable[str]) -> Sequence[str]:
    """A string sequence of `symbols`, to hand a symbol list to the library."""
    listed = _TextSequence()
    for position, symbol in enumerate(symbols):
        if not isinstance(symbol, str):
            raise TypeError(f"symbols are str, not {type(symbol).__name__} (position {position})")
        try:
            listed.append(symbol)
        except ValueError:
            raise AlphabetError(
                f"symbol {symbol!r} cannot be held: it contains a NUL character or a lone surrogate",
                position,
            ) from None
    return listed


def _handle_of(alphabet: Alphabet | None) -> int:
    if alphabet is None:
        return 0
    if not isinstance(alphabet, Alphabet):
        raise TypeError(f"expected an Alphabet or None, not {type(alphabet).__name__}")
    return alphabet.handle


def _standard(handle: int) -> Alphabet | None:
    return None if handle < 0 else Alphabet._adopt(handle)


def dna() -> Alphabet | None:
    """The current DNA alphabet (A, C, G, T unless replaced), or None when cleared."""
    return _standard(_m.alphabet_DNA())


def rna() -> Alphabet | None:
    """The current RNA alphabet (A, C, G, U unless replaced), or None when cleared."""
    return _standard(_m.alphabet_RNA())


def protein() -> Alphabet | None:
    """The current Protein alphabet (the twenty amino-acid letters unless replaced),
    or None when cleared."""
    return _standard(_m.alphabet_Protein())


def set_dna(alphabet: Alphabet | None) -> None:
    """Makes `alphabet` the DNA alphabet of the whole process; None clears it."""
    _m.alphabet_Set_DNA(_handle_of(alphabet))


def set_rna(alphabet: Alphabet | None) -> None:
    """Makes `alphabet` the RNA alphabet of the whole process; None clears it."""
    _m.alphabet_Set_RNA(_handle_of(alphabet))


def set_protein(alphabet: Alphabet | None) -> None:
    """Makes `alphabet` the Protein alphabet of the whole process; None clears it."""
    _m.alphabet_Set_Protein(_handle_of(alphabet))
