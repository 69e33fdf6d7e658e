"""Alphabets as Python objects: options, complements, the standard and extended ones."""

from __future__ import annotations

import array
import functools
import operator
import threading
from collections.abc import Buffer, Callable, Iterable, Iterator, Mapping
from types import MappingProxyType
from typing import Any, Self, TypedDict, Unpack, cast

import _alphabet as _m

from . import _native
from ._errors import AlphabetError, code_error, symbol_error
from ._models import (
    INTEGER_FORMATS,
    FlatBatch,
    item_format,
    narrowest_format,
    one_hot_table,
    starts_with_bases,
)
from ._native import Array, Codec
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

# What the batch calls take: sequences one by one (texts, codes, records), or
# a batch of records as one flat buffer.
type BatchInput = Iterable[object] | FlatBatch


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
                 "_unknown", "_complements", "_tables")  # fmt: skip

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
        # One-hot tables by (format, ambiguous, with a padding row).
        self._tables: dict[tuple[str, str, bool], tuple[bytes, int]] = {}

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

        A str adds one symbol per character: `extend("<pad>")` adds the
        five symbols "<", "p", "a", "d" and ">".  Give longer symbols in a
        list: `extend(["<pad>", "<cls>"])`.  It keeps ignore_case, unknown
        and the aliases that are not now symbols themselves; complements do
        not carry over, since the new symbols have none (give them with
        with_options).
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
        into one symbol per character when every symbol is one character
        long.  Otherwise (tokens such as "<cls>" beside one-letter symbols,
        or codons) it is cut by the longest symbol that matches at each
        position: under `protein().extend(["<cls>", "<eos>"])`,
        "<cls>MKW<eos>" gives five codes.  The codes come as bytes when the
        alphabet has at most 256 symbols, as an unsigned array.array
        otherwise.  Text that no symbol matches raises AlphabetError naming
        it and its position in the text (or takes the code of `unknown`).
        """
        return self._codec().encode(symbols)

    def decode_all(self, codes: Buffer | Iterable[int]) -> list[str]:
        """The symbols of `codes` (a buffer of integers or an iterable of ints)."""
        return self._codec().decode_list(codes)

    def decode_str(self, codes: Buffer | Iterable[int]) -> str:
        """The text spelt by `codes`: their symbols joined."""
        return self._codec().decode_str(codes)

    def reverse_complement[C: str | Buffer | list[int]](self, codes: C) -> C:
        """The complements of `codes` in reverse order, in the type given.

        `codes` is bytes, bytearray, an array.array, a numpy array or a list
        of codes; a text of symbols gives the text of the reverse
        complement, which under ignore_case keeps each letter's case
        (soft-masked "ACgt" gives "acGT").  TypeError when the alphabet
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
            if self._ignore_case and len(text) == len(codes):
                text = _keep_case(text, codes)
            return text  # type: ignore[return-value]
        return _reverse_translate(codes, table)

    def _kmer_terms(self, canonical: bool, skip_ambiguous: bool) -> tuple[int, dict[str, Any]]:
        """The base of k-mers and the native call's options."""
        base = self._size
        options: dict[str, Any] = {}
        if skip_ambiguous:
            if not starts_with_bases(self.symbols):
                raise ValueError(
                    "skip_ambiguous counts the bases A, C, G, T (or U): it needs an alphabet "
                    "whose first four symbols they are, as the IUPAC alphabets'"
                )
            base, options = 4, {"skip": True, "limit": self._size}
        if canonical:
            table = self._complements
            if table is None:
                raise TypeError(
                    "canonical k-mers need complements; this alphabet declares none "
                    "(give them with with_options(complements=...))"
                )
            if any(complement >= base for complement in table[:base]):
                raise ValueError("the complements of the bases are not all bases")
            options["complement"] = table
        return base, options

    def kmers(
        self, codes: str | Buffer | Iterable[int], k: int, *, canonical: bool = False,
        skip_ambiguous: bool = False,
    ) -> array.array[int]:  # fmt: skip
        """The index of every k-mer of `codes`, as an array of unsigned 64-bit integers.

        A k-mer's index reads its codes as the digits of a base-len(self)
        number, the first symbol most significant; there are
        len(codes) - k + 1 of them.  A text is encoded first.  ValueError
        when k is below 1 or the indices would not fit in 64 bits.

        `canonical` gives each k-mer the smaller of its index and that of its
        reverse complement (by the alphabet's complements), in one pass.
        `skip_ambiguous`, for alphabets whose first four symbols are the
        bases (the IUPAC ones, or dna().extend("N")), counts k-mers in base
        4 over the bases and leaves out every window that holds another
        symbol; kmer_positions() gives where the kept windows start.
        """
        if isinstance(codes, str):
            codes = self.encode_all(codes)
        if not canonical and not skip_ambiguous:
            return _kmers(codes, k, self._size)
        base, options = self._kmer_terms(canonical, skip_ambiguous)
        return _kmers(codes, k, base, **options)

    def kmer_positions(
        self, codes: str | Buffer | Iterable[int], k: int, *, canonical: bool = False,
        skip_ambiguous: bool = False,
    ) -> array.array[int]:  # fmt: skip
        """The start of each window that kmers() gives a k-mer for (the same
        arguments), as an array of unsigned 64-bit integers."""
        if isinstance(codes, str):
            codes = self.encode_all(codes)
        base, options = self._kmer_terms(canonical, skip_ambiguous)
        options.pop("complement", None)
        return _native.kmer_positions(codes, k, base, **options)

    def minimizers(
        self, codes: str | Buffer | Iterable[int], k: int, w: int, *, canonical: bool = True
    ) -> tuple[array.array[int], array.array[int]]:
        """The minimizers of the k-mers of `codes`: `(positions, values)`.

        For each window of `w` consecutive k-mers (as kmers() gives them,
        canonical by default) the one with the smallest hash of its index
        wins, the leftmost among equal hashes; a position is reported once
        for as long as it stays the minimum of the windows in turn, so the
        positions ascend.  `values` holds the k-mers' indices (not their
        hashes).  A sequence of fewer than w k-mers has no window.

        The hash is an invertible mix of the 64-bit index x (distinct
        k-mers never tie):
        x ^= x >> 31; x *= 0x7fb5d329728ea185; x ^= x >> 27;
        x *= 0x81dadef4bc2dd44d; x ^= x >> 33 (modulo 2**64).
        """
        if isinstance(codes, str):
            codes = self.encode_all(codes)
        base, options = self._kmer_terms(canonical, False)
        return _native.minimizers(codes, k, w, base, **options)

    # ---- model inputs

    def _symbol_code(self, symbol: object, what: str) -> int:
        """The code of `symbol`, which must be a symbol as it is."""
        if not isinstance(symbol, str):
            raise TypeError(f"{what} is a symbol (a str), not {type(symbol).__name__}")
        code = self._exact_code(symbol)
        if code is None:
            raise AlphabetError(f"{what} {symbol!r} is not a symbol of the alphabet")
        return code

    def _symbol_codes(self, symbols: str | Iterable[str], what: str) -> list[int]:
        """The codes of a symbol, or of an iterable of symbols."""
        if isinstance(symbols, str):
            return [self._symbol_code(symbols, what)]
        return [self._symbol_code(symbol, what) for symbol in symbols]

    def _batch(self, sequences: BatchInput, **options: Any) -> tuple[Array, Array]:
        """encode_batch with codes for pad, prefix and suffix, and a format."""
        if not isinstance(sequences, (list, tuple, str)) and all(
            hasattr(sequences, name) for name in ("sequences", "offsets")
        ):
            batch = cast(FlatBatch, sequences)
            source = getattr(batch, "alphabet", None)
            if source is not None and tuple(getattr(source, "symbols", ())) != self.symbols:
                raise ValueError("the batch holds the codes of another alphabet")
            return _native.encode_batch(self._codec(), batch.sequences, offsets=batch.offsets,
                                        text=source is None, **options)  # fmt: skip
        return _native.encode_batch(self._codec(), sequences, **options)

    def encode_batch(
        self,
        sequences: BatchInput,
        *,
        pad: str,
        length: int | None = None,
        truncate: bool = False,
        prefix: str | Iterable[str] = (),
        suffix: str | Iterable[str] = (),
        dtype: object = None,
    ) -> tuple[Array, Array]:
        """Many sequences coded into one padded array: `(codes, lengths)`.

        `codes` is a C-contiguous (n, L) array (an alphabet._native.Array;
        numpy.asarray(codes) reads it without a copy): row i holds the codes
        of `prefix`, of sequence i and of `suffix`, then `pad`'s code up to
        L.  `lengths` is an int64 array of each row's codes before the
        padding, prefix and suffix counted.  The codes are of the narrowest
        unsigned type that holds the alphabet's codes, or of `dtype` (an
        integer dtype: "int64", numpy.int32, ...).

        `sequences` is a list (any iterable) of str, of codes (buffers or
        lists of ints), of records (their `sequence`), or a batch of records
        (any object with `sequences` and `offsets` buffers: its codes, or
        its text bytes when its `alphabet` is None).  `pad`, and each of
        `prefix` and `suffix` (a symbol, or an iterable of symbols), are
        symbols of the alphabet as they are.  L is the longest row, or
        `length`: a longer sequence raises ValueError naming its index,
        unless `truncate` cuts its codes (prefix and suffix stay).  An
        unknown symbol raises AlphabetError naming the sequence and the
        position.  The rows are filled with the interpreter lock released.
        """
        fmt = narrowest_format(self._size - 1) if dtype is None else item_format(dtype)
        if fmt not in INTEGER_FORMATS:
            raise TypeError(f"codes need an integer dtype, not {dtype!r}")
        return self._batch(
            sequences,
            pad=self._symbol_code(pad, "pad"),
            length=length,
            truncate=truncate,
            prefix=self._symbol_codes(prefix, "prefix"),
            suffix=self._symbol_codes(suffix, "suffix"),
            format=fmt,
        )

    def decode_batch(self, codes: Buffer, lengths: Buffer | Iterable[int]) -> list[str]:
        """The texts of the rows of `codes` (a 2-D buffer, as encode_batch
        gives), each of the first lengths[i] codes of its row."""
        if not isinstance(lengths, Buffer):
            lengths = array.array("q", lengths)
        return _native.decode_batch(self._codec(), codes, lengths)

    def _one_hot_table(
        self, dtype: object, ambiguous: str, pad_row: bool
    ) -> tuple[bytes, int, str]:
        fmt = item_format(dtype)
        key = (fmt, ambiguous, pad_row)
        made = self._tables.get(key)
        if made is None:
            made = self._tables[key] = one_hot_table(self.symbols, fmt, ambiguous, pad_row)
        return made[0], made[1], fmt

    def one_hot(
        self, sequence: str | Buffer | Iterable[int], *, dtype: object = "uint8",
        ambiguous: str = "zero",
    ) -> Array:  # fmt: skip
        """The one-hot rows of a sequence (a text, or its codes): a
        C-contiguous (N, k) array of `dtype` items.

        k is len(self), and row i has a 1 at the code of symbol i.  For
        iupac_dna() and iupac_rna() k is 4, the bases A, C, G and T (U): an
        ambiguity code's row is zeros, or with `ambiguous="spread"` (which
        needs a float dtype) its 1 spread evenly over the bases it stands
        for (N gives 0.25 to each, R 0.5 to A and to G); the gap's row is
        zeros.
        """
        table, width, fmt = self._one_hot_table(dtype, ambiguous, False)
        codes = self.encode_all(sequence) if isinstance(sequence, str) else sequence
        return _native.one_hot(codes, table, width, fmt)

    def one_hot_batch(
        self, sequences: BatchInput, *, length: int | None = None, dtype: object = "uint8",
        ambiguous: str = "zero",
    ) -> Array:  # fmt: skip
        """The one-hot rows of many sequences: a C-contiguous (n, L, k)
        array, rows of zeros after each sequence's end.

        L is the longest sequence, or `length` (ValueError naming a longer
        one); `sequences`, `dtype` and `ambiguous` as for encode_batch and
        one_hot.
        """
        table, width, fmt = self._one_hot_table(dtype, ambiguous, True)
        codes, _ = self._batch(sequences, pad=self._size, length=length,
                               format=narrowest_format(self._size))  # fmt: skip
        return _native.one_hot(codes, table, width, fmt, batch=True)

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


def one_char_codec(alphabet: object, doing: str) -> Codec:
    """The codec of `alphabet`, for the native loops that take a text for its
    characters (reading, writing): TypeError unless it is an Alphabet of
    one-character symbols ("<doing> needs an alphabet of ...")."""
    if not isinstance(alphabet, Alphabet):
        raise TypeError(f"alphabet must be an Alphabet or None, not {type(alphabet).__name__}")
    codec = alphabet._codec()
    if not codec.one_char:
        raise TypeError(f"{doing} needs an alphabet of one-character symbols")
    return codec


def _keep_case(result: str, text: str) -> str:
    """`result` with each letter in the case of the letter of `text` it mirrors."""
    if result.isascii() and text.isascii():
        return _native.reverse_case(result, text)
    return "".join(
        r.lower() if t.islower() else r.upper() if t.isupper() else r
        for r, t in zip(result, reversed(text), strict=True)
    )


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
