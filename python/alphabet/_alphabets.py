"""Alphabets as Python objects: options, complements, the standard and extended ones."""

from __future__ import annotations

import array
import functools
import operator
import threading
from collections.abc import Buffer, Callable, Iterable, Iterator, Mapping
from types import MappingProxyType
from typing import Any, Self, TypedDict, Unpack

import _alphabet as _m

from . import _native
from ._errors import code_error, symbol_error
from ._native import Codec
from ._native import kmers as _kmers
from ._native import reverse_translate as _reverse_translate

_encode = _m.alphabet_Alphabet_Encode
_decode = _m.alphabet_Alphabet_Decode
_index = operator.index

# The complement of a code is one byte of a translation table.
_MAX_COMPLEMENTED = 256


class AlphabetOptions(TypedDict, total=False):
    """The keyword options of Alphabet, as with_options() takes them."""

    ignore_case: bool
    aliases: Mapping[str, str] | None
    unknown: str | None
    complements: Mapping[str, str] | str | None


_OPTION_NAMES = AlphabetOptions.__optional_keys__


class Alphabet(_native.Held):
    r"""An ordered, immutable list of symbols (texts); a symbol's code is its position.

    >>> dna = Alphabet("ACGT", ignore_case=True, aliases={"U": "T"}, complements="TGCA")
    >>> dna.encode("G"), dna.decode(3), len(dna), "C" in dna
    (2, 'T', 4, True)
    >>> dna.encode_all("gaUc")
    b'\x02\x00\x03\x01'
    >>> dna.decode_str(b"\x02\x00\x03"), dna.reverse_complement("GATTACA")
    ('GAT', 'TGTAATC')
    >>> list(dna.kmers("GATTACA", 2))
    [8, 3, 15, 12, 1, 4]

    `Alphabet("ACGT")` and `Alphabet(["A", "C", "G", "T"])` are the same
    alphabet.  A symbol may occur more than once: it then encodes to its
    last position, and every position decodes to it.  Decoding always gives
    the symbols themselves; the options only widen what encodes:

    * `ignore_case`: a symbol not known as given encodes as the one symbol
      that differs from it only in case (none when several do);
    * `aliases`: extra spellings, each mapped to a symbol (`{"U": "T"}`);
      an alias must not itself be a symbol; with ignore_case it also
      matches in lower and in upper case;
    * `unknown`: a symbol whose code every other unknown input gets,
      instead of an AlphabetError.

    `complements` maps each symbol to its complement, a symbol too (a
    mapping, or for one-character symbols the text of the complements in
    code order, as above); it makes reverse_complement() work.  Options and
    complements travel with copies and pickles, and take part in == and
    hash().  `in` asks for the symbols themselves, not for what else
    encodes.
    """

    __slots__ = ("_handle", "_size", "_symbols", "_made_codec", "_ignore_case", "_aliases",
                 "_unknown", "_complements")  # fmt: skip

    def __new__(
        cls,
        symbols: str | Iterable[str],
        *,
        ignore_case: bool = False,
        aliases: Mapping[str, str] | None = None,
        unknown: str | None = None,
        complements: Mapping[str, str] | str | None = None,
    ) -> Self:
        # Made and adopted in one native step: no interrupt can leak the entry.
        alphabet, size = _native.new_alphabet(cls, symbols)
        alphabet._start(size, tuple(symbols) if isinstance(symbols, str) else None)
        alphabet._set_options(ignore_case, aliases, unknown, complements)
        return alphabet

    def _start(self, size: int, symbols: tuple[str, ...] | None) -> None:
        # `handle` converts a C integer on every read; the per-call paths
        # read this Python int instead.
        self._handle = self.handle
        self._size = size
        self._symbols: tuple[str, ...] | None = symbols
        self._made_codec: Codec | None = None

    def _set_options(
        self,
        ignore_case: bool,
        aliases: Mapping[str, str] | None,
        unknown: str | None,
        complements: Mapping[str, str] | str | None,
    ) -> None:
        if not isinstance(ignore_case, bool):
            raise TypeError(f"ignore_case is a bool, not {type(ignore_case).__name__}")
        self._ignore_case = ignore_case
        self._aliases = self._checked_aliases(aliases)
        if unknown is not None and self._exact_code(unknown) is None:
            raise ValueError(f"unknown={unknown!r} is not a symbol of the alphabet")
        self._unknown: str | None = unknown
        # The code of each code's complement.
        self._complements: bytes | None = (
            None if complements is None else self._complement_table(complements)
        )

    def _exact_code(self, symbol: str) -> int | None:
        """The code of `symbol` as given, or None; TypeError for a non-str."""
        if not isinstance(symbol, str):
            raise TypeError(f"a symbol is a str, not {type(symbol).__name__}")
        try:
            return _encode(self._handle, symbol)
        except (RuntimeError, ValueError):
            return None

    def _known_code(self, symbol: str) -> int:
        """The code of `symbol`, known to be a symbol of the alphabet."""
        return _encode(self._handle, symbol)

    def _checked_aliases(self, aliases: Mapping[str, str] | None) -> dict[str, str]:
        if aliases is None:
            return {}
        if not isinstance(aliases, Mapping):
            raise TypeError(f"aliases is a mapping of str to str, not {type(aliases).__name__}")
        checked = {}
        for alias, target in aliases.items():
            if not isinstance(alias, str) or not isinstance(target, str):
                raise TypeError(f"aliases map str to str, not {alias!r} to {target!r}")
            if self._exact_code(alias) is not None:
                raise ValueError(f"alias {alias!r} is a symbol of the alphabet itself")
            if self._exact_code(target) is None:
                raise ValueError(
                    f"alias {alias!r} stands for {target!r}, not a symbol of the alphabet"
                )
            checked[alias] = target
        return checked

    def _complement_table(self, complements: Mapping[str, str] | str) -> bytes:
        """The code of each code's complement, from either form of `complements`."""
        if self._size > _MAX_COMPLEMENTED:
            raise ValueError(f"complements need an alphabet of at most {_MAX_COMPLEMENTED} symbols")
        symbols = self.symbols
        if isinstance(complements, str):
            if len(complements) != len(symbols):
                raise ValueError(
                    f"complements as a text give one symbol per code: {len(symbols)}, "
                    f"not {len(complements)}"
                )
            pairs = list(zip(symbols, complements, strict=True))
        elif isinstance(complements, Mapping):
            missing = [symbol for symbol in symbols if symbol not in complements]
            if missing:
                raise ValueError(f"complements give no complement for symbol {missing[0]!r}")
            pairs = list(complements.items())
        else:
            raise TypeError(f"complements is a mapping or a text, not {type(complements).__name__}")
        chosen: dict[str, str] = {}
        for symbol, complement in pairs:
            if self._exact_code(symbol) is None:
                raise ValueError(f"complements name {symbol!r}, not a symbol of the alphabet")
            if self._exact_code(complement) is None:
                raise ValueError(
                    f"the complement of {symbol!r} is {complement!r}, not a symbol of the alphabet"
                )
            if chosen.setdefault(symbol, complement) != complement:
                raise ValueError(f"symbol {symbol!r} is given two complements")
        return bytes(self._known_code(chosen[symbol]) for symbol in symbols)

    @classmethod
    def from_handle(cls, handle: int) -> Self:
        """An Alphabet for the alphabet that a module handle names.

        It takes the handle up itself (IncRef) and lets go of it when
        collected; the caller's own share of the handle is untouched, also
        when the handle names no alphabet (ValueError) or an object of
        another kind (TypeError).  The new object has no options.
        """
        handle = _index(handle)
        # Told apart before any share is taken, so that a failure leaves the
        # caller's entry as it was: no alphabet holds code -1, an object of
        # another kind is a TypeError, and a handle that names nothing gives
        # the neutral "".
        try:
            _decode(handle, "-1")
        except RuntimeError:
            pass
        else:
            raise ValueError(f"handle {handle} names no alphabet")
        alphabet = _native.adopt(cls, handle)
        symbols = _native.alphabet_symbols(alphabet)
        alphabet._start(len(symbols), symbols)
        alphabet._set_options(False, None, None, None)
        return alphabet

    def with_options(self, **changes: Unpack[AlphabetOptions]) -> Self:
        """This alphabet with the options (and complements) given changed, the rest kept.

        `dna().with_options(ignore_case=True, unknown="A")`; None clears
        `aliases`, `unknown` or `complements`.  The result shares this
        alphabet's registry entry and symbols, so it is cheap to make.
        """
        unexpected = changes.keys() - _OPTION_NAMES
        if unexpected:
            raise TypeError(
                f"with_options() got an unexpected keyword argument {min(unexpected)!r}"
            )
        options: dict[str, Any] = {**self._given_options(), **changes}
        twin = _native.adopt(type(self), self.handle)
        twin._start(self._size, self._symbols)
        twin._set_options(
            options.get("ignore_case", False),
            options.get("aliases"),
            options.get("unknown"),
            options.get("complements"),
        )
        return self if twin._key() == self._key() else twin

    def _given_options(self) -> dict[str, Any]:
        """The options that differ from the defaults, as keyword arguments that give them."""
        options: dict[str, Any] = {}
        if self._ignore_case:
            options["ignore_case"] = True
        if self._aliases:
            options["aliases"] = dict(self._aliases)
        if self._unknown is not None:
            options["unknown"] = self._unknown
        if self._complements is not None:
            symbols = self.symbols
            complements = [symbols[code] for code in self._complements]
            if all(len(symbol) == 1 for symbol in symbols + tuple(complements)):
                options["complements"] = "".join(complements)
            else:
                options["complements"] = dict(zip(symbols, complements, strict=True))
        return options

    @property
    def ignore_case(self) -> bool:
        """Whether a symbol may be given in another case."""
        return self._ignore_case

    @property
    def aliases(self) -> Mapping[str, str]:
        """The extra spellings, each mapped to the symbol it encodes as."""
        return MappingProxyType(self._aliases)

    @property
    def unknown(self) -> str | None:
        """The symbol whose code any unknown input gets, or None when unknown input is an error."""
        return self._unknown

    @property
    def complements(self) -> Mapping[str, str] | None:
        """Each symbol's complement, or None when the alphabet declares none."""
        if self._complements is None:
            return None
        symbols = self.symbols
        return MappingProxyType({symbols[c]: symbols[t] for c, t in enumerate(self._complements)})

    @property
    def symbols(self) -> tuple[str, ...]:
        """The symbols in code order."""
        symbols = self._symbols
        if symbols is None:
            symbols = self._symbols = _native.alphabet_symbols(self)
        return symbols

    def encode(self, symbol: str) -> int:
        """The code of `symbol`: the position of its last occurrence, or as the options say."""
        try:
            return _encode(self._handle, symbol)
        except (RuntimeError, ValueError):
            # RuntimeError: not a symbol.  ValueError: a NUL character or a
            # lone surrogate cannot reach the library, and no alphabet holds one.
            pass
        if self._ignore_case or self._aliases or self._unknown is not None:
            return self._codec().encode_one(symbol)
        raise symbol_error(symbol)

    def decode(self, code: int) -> str:
        """The symbol at position `code`."""
        code = _index(code)
        if not 0 <= code < self._size:
            raise code_error(code)
        symbols = self._symbols
        return symbols[code] if symbols is not None else _decode(self._handle, str(code))

    def extend(self, symbols: str | Iterable[str]) -> Self:
        """A new alphabet: these symbols followed by `symbols`; this one is unchanged.

        It keeps ignore_case, unknown and the aliases that are not now
        symbols themselves; complements do not carry over, since the new
        symbols have none (give them with with_options).
        """
        grown, added = _native.extend_alphabet(self, symbols)
        grown._start(self._size + added, None)
        kept = {a: t for a, t in self._aliases.items() if grown._exact_code(a) is None}
        grown._set_options(self._ignore_case, kept, self._unknown, None)
        return grown

    def _codec(self) -> Codec:
        """This alphabet's codec (its encoding and decoding tables), made on first use."""
        codec = self._made_codec
        if codec is None:
            codec = self._made_codec = Codec(
                self.symbols,
                spellings=self._spellings(),
                unknown=None if self._unknown is None else self._known_code(self._unknown),
                ignore_case=self._ignore_case,
            )
        return codec

    def _spellings(self) -> dict[str, int]:
        """The aliases' codes; with ignore_case, also under their lower- and upper-case forms.

        An alias given as "U" should take "u" too.  A form that two aliases of
        different codes share is left out, as is one that is a symbol or an
        alias itself, or a case form of a symbol of another code: such a form
        belongs to none of them.
        """
        spellings = {alias: self._known_code(target) for alias, target in self._aliases.items()}
        if not self._ignore_case:
            return spellings
        forms: dict[str, int | None] = {}
        for alias, code in spellings.items():
            for form in (alias.lower(), alias.upper()):
                forms[form] = code if forms.get(form, code) == code else None
        # The lowercase form of each symbol; one that symbols of several codes
        # share belongs to none of them.
        folded: dict[str, int | None] = {}
        codes = {symbol: code for code, symbol in enumerate(self.symbols)}  # the last position
        for symbol, code in codes.items():
            key = symbol.lower()
            folded[key] = code if folded.get(key, code) == code else None
        for form, form_code in forms.items():
            if (
                form_code is not None
                and form not in spellings
                and self._exact_code(form) is None
                and folded.get(form.lower(), form_code) == form_code
            ):
                spellings[form] = form_code
        return spellings

    def encode_all(self, symbols: str | Buffer | Iterable[str]) -> bytes | array.array[int]:
        """The codes of a text, a buffer of characters, or an iterable of symbols.

        A text, or a buffer of one-byte items read as latin-1 text, splits
        into one symbol per character; it is accepted only when every symbol
        is one character long (otherwise pass an iterable of symbols).  The
        codes come as bytes when the alphabet has at most 256 symbols, as an
        unsigned array.array otherwise.  An unknown symbol raises
        AlphabetError naming it and its position.
        """
        return self._codec().encode(symbols)

    def decode_all(self, codes: Buffer | Iterable[int]) -> list[str]:
        """The symbols of `codes` (a buffer of integers or an iterable of ints)."""
        return self._codec().decode_list(codes)

    def decode_str(self, codes: Buffer | Iterable[int]) -> str:
        """The text spelt by `codes`, for an alphabet of one-character symbols."""
        return self._codec().decode_str(codes)

    def reverse_complement[C: str | Buffer | list[int]](self, codes: C) -> C:
        """The complements of `codes` in reverse order, in the type given.

        `codes` is bytes, bytearray, an array.array, a numpy array or a list
        of codes; a text of symbols (for one-character alphabets) gives the
        text of the reverse complement.  TypeError when the alphabet
        declares no complements: the operation does not exist for it, just
        as len() does not for an object without a length.
        """
        table = self._complements
        if table is None:
            raise TypeError(
                "this alphabet declares no complements; give them with "
                "Alphabet(..., complements=...) or with_options(complements=...)"
            )
        if isinstance(codes, str):
            text = self.decode_str(_reverse_translate(self.encode_all(codes), table))
            return text  # type: ignore[return-value]
        return _reverse_translate(codes, table)

    def kmers(self, codes: str | Buffer | Iterable[int], k: int) -> array.array[int]:
        """The index of every k-mer of `codes`, as an array of unsigned 64-bit integers.

        A k-mer's index reads its codes as the digits of a base-len(self)
        number, the first symbol most significant; there are
        len(codes) - k + 1 of them.  A text is encoded first.  ValueError
        when k is below 1 or the indices would not fit in 64 bits.
        """
        if isinstance(codes, str):
            codes = self.encode_all(codes)
        return _kmers(codes, k, self._size)

    def __len__(self) -> int:
        return self._size

    def __iter__(self) -> Iterator[str]:
        return iter(self.symbols)

    def __contains__(self, symbol: object) -> bool:
        # The library's own table answers at once, with no copy of the symbols.
        return isinstance(symbol, str) and self._exact_code(symbol) is not None

    def _key(self) -> tuple[object, ...]:
        return (self._ignore_case, self._aliases, self._unknown, self._complements)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Alphabet):
            return NotImplemented
        return self is other or (
            self._size == other._size
            and self._key() == other._key()
            and (self.handle == other.handle or self.symbols == other.symbols)
        )

    def __hash__(self) -> int:
        aliases = frozenset(self._aliases.items())
        return hash((self.symbols, self._ignore_case, aliases, self._unknown, self._complements))

    def __repr__(self) -> str:
        symbols = self.symbols
        if symbols and all(len(symbol) == 1 for symbol in symbols):
            shown = repr("".join(symbols))
        else:
            shown = repr(list(symbols))
        options = "".join(f", {name}={value!r}" for name, value in self._given_options().items())
        return f"{type(self).__name__}({shown}{options})"

    # Immutable: a copy may be the object itself.  Pickles rebuild it.
    def __copy__(self) -> Self:
        return self

    def __deepcopy__(self, memo: object) -> Self:
        return self

    def __reduce__(self) -> tuple[Callable[..., Self], tuple[tuple[str, ...]]]:
        options = self._given_options()
        make = functools.partial(type(self), **options) if options else type(self)
        return make, (self.symbols,)


def _handle_of(alphabet: Alphabet | None) -> int:
    if alphabet is None:
        return 0
    if not isinstance(alphabet, Alphabet):
        raise TypeError(f"expected an Alphabet or None, not {type(alphabet).__name__}")
    return alphabet.handle


# The package's objects for the standard alphabets, made on first use and
# replaced by the setters; the lock keeps each in step with the library's
# reference.
_standard: dict[str, Alphabet | None] = {}
_standard_lock = threading.Lock()
_STANDARD_SYMBOLS = {"dna": "ACGT", "rna": "ACGU", "protein": "ACDEFGHIKLMNPQRSTVWY"}
_STANDARD_COMPLEMENTS = {"dna": "TGCA", "rna": "UGCA"}
_SETTERS = {"dna": _m.alphabet_Set_DNA, "rna": _m.alphabet_Set_RNA,
            "protein": _m.alphabet_Set_Protein}  # fmt: skip


def _current(name: str) -> Alphabet | None:
    try:
        return _standard[name]
    except KeyError:
        pass
    with _standard_lock:
        if name not in _standard:
            _standard[name] = _load_standard(name)
        return _standard[name]


def _load_standard(name: str) -> Alphabet | None:
    alphabet = _native.standard_alphabet(Alphabet, name)
    if alphabet is None:
        return None
    symbols = _native.alphabet_symbols(alphabet)
    alphabet._start(len(symbols), symbols)
    # The library's reference may have been replaced before the first call.
    standard = symbols == tuple(_STANDARD_SYMBOLS[name])
    alphabet._set_options(False, None, None, _STANDARD_COMPLEMENTS.get(name) if standard else None)
    return alphabet


def _set_standard(name: str, alphabet: Alphabet | None) -> None:
    handle = _handle_of(alphabet)
    with _standard_lock:
        _SETTERS[name](handle)
        _standard[name] = alphabet


def dna() -> Alphabet | None:
    """The DNA alphabet of the process (A, C, G, T unless replaced), or None when cleared.

    The same object every time, until set_dna() replaces it; its
    complements pair A with T and C with G.  A replacement made through the
    module itself (_alphabet.alphabet_Set_DNA) bypasses the package, which
    keeps returning the alphabet it had.
    """
    return _current("dna")


def rna() -> Alphabet | None:
    """The RNA alphabet of the process (A, C, G, U unless replaced), or None when cleared.

    The same object every time, until set_rna() replaces it; its
    complements pair A with U and C with G.  A replacement made through the
    module itself (_alphabet.alphabet_Set_RNA) bypasses the package, which
    keeps returning the alphabet it had.
    """
    return _current("rna")


def protein() -> Alphabet | None:
    """The Protein alphabet of the process (the twenty amino-acid letters
    ACDEFGHIKLMNPQRSTVWY unless replaced), or None when cleared.

    The same object every time, until set_protein() replaces it.  A
    replacement made through the module itself (_alphabet.alphabet_Set_Protein)
    bypasses the package, which keeps returning the alphabet it had.
    """
    return _current("protein")


def set_dna(alphabet: Alphabet | None) -> None:
    """Makes `alphabet` the DNA alphabet of the whole process; None clears it.

    dna() then returns this very object, with its options and complements.
    """
    _set_standard("dna", alphabet)


def set_rna(alphabet: Alphabet | None) -> None:
    """Makes `alphabet` the RNA alphabet of the whole process; None clears it.

    rna() then returns this very object, with its options and complements.
    """
    _set_standard("rna", alphabet)


def set_protein(alphabet: Alphabet | None) -> None:
    """Makes `alphabet` the Protein alphabet of the whole process; None clears it.

    protein() then returns this very object, with its options.
    """
    _set_standard("protein", alphabet)


# The IUPAC ambiguity codes, each paired with its complement: R (A or G)
# with Y (C or T), K (G or T) with M (A or C), B (not A) with V (not T), D
# (not C) with H (not G); S (C or G), W (A or T) and N (any) are their own.
_AMBIGUITY = "RYSWKMBDHVN"
_AMBIGUITY_COMPLEMENTS = "YRSWMKVHDBN"
_GAP = "-"
# name: (symbols, complements)
_EXTENDED = {
    "iupac_dna": ("ACGT" + _AMBIGUITY + _GAP, "TGCA" + _AMBIGUITY_COMPLEMENTS + _GAP),
    "iupac_rna": ("ACGU" + _AMBIGUITY + _GAP, "UGCA" + _AMBIGUITY_COMPLEMENTS + _GAP),
    "extended_protein": (_STANDARD_SYMBOLS["protein"] + "BJZXUO*" + _GAP, None),
}
_extended: dict[str, Alphabet] = {}


def _extended_alphabet(name: str) -> Alphabet:
    try:
        return _extended[name]
    except KeyError:
        pass
    with _standard_lock:
        if name not in _extended:
            symbols, complements = _EXTENDED[name]
            _extended[name] = Alphabet(symbols, complements=complements)
        return _extended[name]


def iupac_dna() -> Alphabet:
    """DNA with the IUPAC ambiguity codes and the gap, always the same object.

    The symbols, in code order: A C G T (the codes of dna()), then R Y S W
    K M B D H V N, then the gap -.  Complements: A-T, C-G, R-Y, K-M, B-V,
    D-H; S, W, N and - are their own.
    """
    return _extended_alphabet("iupac_dna")


def iupac_rna() -> Alphabet:
    """RNA with the IUPAC ambiguity codes and the gap, always the same object.

    The symbols, in code order: A C G U (the codes of rna()), then R Y S W
    K M B D H V N, then the gap -.  Complements: A-U, C-G, R-Y, K-M, B-V,
    D-H; S, W, N and - are their own.
    """
    return _extended_alphabet("iupac_rna")


def extended_protein() -> Alphabet:
    """The protein alphabet with the extra letters, stop and gap, always the same object.

    The symbols, in code order: the twenty of protein(),
    A C D E F G H I K L M N P Q R S T V W Y, then B (D or N), J (I or L),
    Z (E or Q), X (any), U (selenocysteine), O (pyrrolysine), then the stop
    * and the gap -.  It declares no complements.
    """
    return _extended_alphabet("extended_protein")
