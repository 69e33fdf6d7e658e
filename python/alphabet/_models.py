"""What the calls for model inputs share: item types named as numpy names
them, and the one-hot tables of an alphabet's codes."""

from __future__ import annotations

import struct
from collections.abc import Buffer, Sequence
from typing import Protocol

# dtype names (numpy's, and Python's own int, float and bool) and the
# struct formats of their items.
_FORMATS = {
    "uint8": "B", "int8": "b", "uint16": "H", "int16": "h", "uint32": "I", "int32": "i",
    "uint64": "Q", "int64": "q", "float32": "f", "float64": "d", "bool": "?", "int": "q",
    "float": "d",
}  # fmt: skip
INTEGER_FORMATS = frozenset("BbHhIiQq")
FLOAT_FORMATS = frozenset("fd")

# IUPAC nucleotide alphabets: the four bases, then what each ambiguity code
# stands for (by the bases' codes), then the gap, which stands for none.
_IUPAC_BASES = {
    "R": (0, 2), "Y": (1, 3), "S": (1, 2), "W": (0, 3), "K": (2, 3), "M": (0, 1),
    "B": (1, 2, 3), "D": (0, 2, 3), "H": (0, 1, 3), "V": (0, 1, 2), "N": (0, 1, 2, 3), "-": (),
}  # fmt: skip
_IUPAC_SYMBOLS = ("ACGT" + "".join(_IUPAC_BASES), "ACGU" + "".join(_IUPAC_BASES))
# The widest one-hot row: a table holds one row per code.
_MAX_ONE_HOT = 1024


class FlatBatch(Protocol):
    """A batch of records as one flat buffer (what read(batch_size=) gives):
    `sequences` holds every record's codes (or text bytes when its
    `alphabet` is None), `offsets` the n + 1 starts."""

    @property
    def sequences(self) -> Buffer: ...
    @property
    def offsets(self) -> Buffer: ...


def item_format(dtype: object) -> str:
    """The struct format of the items of `dtype`: a numpy dtype or scalar
    type, a name ("uint8", "float32"), Python's int, float or bool, or a
    struct format itself ("B", "f")."""
    name = dtype if isinstance(dtype, str) else getattr(dtype, "name", None)
    if not isinstance(name, str):
        name = getattr(dtype, "__name__", None)
    if isinstance(name, str):
        if name in _FORMATS:
            return _FORMATS[name]
        if name in _FORMATS.values():
            return name
    raise TypeError(
        f"dtype {dtype!r} is none of {', '.join(sorted(set(_FORMATS) - {'int', 'float'}))}"
    )


def narrowest_format(largest: int) -> str:
    """The narrowest unsigned struct format that holds codes up to `largest`."""
    return "B" if largest < 256 else "H" if largest < 65536 else "I"


def is_iupac(symbols: Sequence[str]) -> bool:
    """Whether the symbols are those of iupac_dna() or iupac_rna()."""
    return "".join(symbols) in _IUPAC_SYMBOLS and all(len(s) == 1 for s in symbols)


def starts_with_bases(symbols: Sequence[str]) -> bool:
    """Whether codes 0 to 3 are the bases A, C, G and T (or U)."""
    return tuple(symbols[:4]) in (tuple("ACGT"), tuple("ACGU"))


def one_hot_table(
    symbols: Sequence[str], fmt: str, ambiguous: str, pad_row: bool
) -> tuple[bytes, int]:
    """The row of each code (and with `pad_row` a row of zeros after them)
    as items of `fmt`, and the row's width.

    An alphabet's one-hot row has a 1 at its code; the IUPAC alphabets' rows
    are over their four bases, where an ambiguity code has zeros, or with
    ambiguous="spread" its share of 1 on each base it stands for."""
    if ambiguous not in ("zero", "spread"):
        raise ValueError(f'ambiguous is "zero" or "spread", not {ambiguous!r}')
    if ambiguous == "spread" and fmt not in FLOAT_FORMATS:
        raise ValueError("ambiguous='spread' needs a float dtype (float32 or float64)")
    size = len(symbols)
    if size > _MAX_ONE_HOT:
        raise ValueError(
            f"one-hot rows of {size} symbols would be too wide (at most {_MAX_ONE_HOT})"
        )
    one, zero = struct.pack(fmt, 1), struct.pack(fmt, 0)
    if is_iupac(symbols):
        width = 4
        rows = [zero * code + one + zero * (3 - code) for code in range(4)]
        for symbol in symbols[4:]:
            bases = _IUPAC_BASES[symbol]
            share = 1 / len(bases) if bases and ambiguous == "spread" else 0
            rows.append(b"".join(struct.pack(fmt, share if b in bases else 0) for b in range(4)))
    else:
        width = size
        rows = [zero * code + one + zero * (size - 1 - code) for code in range(size)]
    if pad_row:
        rows.append(zero * width)
    return b"".join(rows), width
