"""Typed sequences as Python sequences.

Each of the seventeen element kinds gets a class, a subclass of the native
module's SequenceBase, whose `kind` names the kind: its len(seq), seq[i],
seq[i] = v, iteration, append and extend reach the module's flat functions
from C, with no Python code in between.  Slices are views: they share
storage with the sequence they were taken from, as the library's
sub-ranges do.
"""

from __future__ import annotations

import collections.abc
from typing import Any, ClassVar, Literal, Self, overload

import _alphabet as _m

from . import _native

# The module's kinds, in method-table order (its namespace keeps that order).
KINDS: tuple[str, ...] = tuple(
    name.removeprefix("Slice_").removesuffix("_CTor")
    for name in vars(_m)
    if name.startswith("Slice_") and name.endswith("_CTor")
)

BytesKind = Literal["byte", "uint8"]
IntKind = Literal[
    "int", "int8", "int16", "int32", "int64", "rune", "uint", "uint16", "uint32", "uint64"
]
FloatKind = Literal["float32", "float64"]
TextKind = Literal["string", "error"]

type Values[T] = collections.abc.Iterable[T] | collections.abc.Buffer


class Sequence[T](_native.SequenceBase[T]):
    """A typed sequence of the library, owned by this object.

    Supports len(), indexing with negative indexes, item assignment,
    append(), extend(), iteration, `in`, index(), count() and == with lists
    and other sequences.  A slice (step 1 only) is a view sharing storage
    with this sequence: writes through either are seen by both.  As with the
    library's sub-ranges, appending to a view that ends before the end of its
    source writes into the source's next slot.  Numeric kinds hand out their
    elements as one typed buffer (a read-only copy): memoryview(seq) and
    numpy.asarray(seq) take it in one call.
    """

    __slots__ = ()

    kind: ClassVar[str]

    @classmethod
    def _adopt(cls, handle: int) -> Self:
        """An instance taking up a share of its own of `handle`, a sequence of this kind."""
        return _native.adopt(cls, handle)


# A virtual subclass: the ABC's Python mixins would shadow the native slots.
collections.abc.Sequence.register(Sequence)


class ByteSequence(Sequence[int]):
    """A sequence of the byte or uint8 kind, which share one storage type.

    It is also built from, compared with and converted to bytes-like objects
    in one call.
    """

    __slots__ = ()

    def to_bytes(self) -> bytes:
        """The elements as one bytes object (a copy)."""
        return _m.Slice_byte_to_bytes(self.handle)


def _kind_class(kind: str) -> type[Sequence[Any]]:
    base: type[Sequence[Any]] = ByteSequence if kind in ("byte", "uint8") else Sequence
    namespace = {"__slots__": (), "kind": kind, "__module__": __name__}
    return type(f"{kind.capitalize()}Sequence", (base,), namespace)


KIND_CLASSES: dict[str, type[Sequence[Any]]] = {kind: _kind_class(kind) for kind in KINDS}


@overload
def sequence(kind: BytesKind, values: Values[int] = ()) -> ByteSequence: ...
@overload
def sequence(kind: Literal["bool"], values: Values[object] = ()) -> Sequence[bool]: ...
@overload
def sequence(kind: IntKind, values: Values[int] = ()) -> Sequence[int]: ...
@overload
def sequence(kind: FloatKind, values: Values[float] = ()) -> Sequence[float]: ...
@overload
def sequence(kind: TextKind, values: collections.abc.Iterable[str] = ()) -> Sequence[str]: ...
@overload
def sequence(kind: str, values: Values[Any] = ()) -> Sequence[Any]: ...
def sequence(kind: str, values: Values[Any] = ()) -> Sequence[Any]:
    """A new typed sequence of `kind` (one of KINDS) holding `values`.

    `values` is another sequence, a list, a tuple, any iterable, or a
    buffer whose items are the kind's own C type (array.array, numpy
    arrays, memoryview: int32 takes format 'i', float64 'd', bool '?',
    uint64 'Q' and so on, one-dimensional and C-contiguous; anything else is
    a TypeError).  The byte and uint8 kinds take any contiguous bytes-like
    object instead, copied in one call.

    Each value must fit the kind, or nothing is made: integer kinds refuse a
    value outside their range with OverflowError (int8 holds -128 to 127,
    uint64 0 to 2**64 - 1) and anything but an integer with TypeError; bool
    stores the truth value; float kinds store float() of a real number
    (float32 rounds to single precision); string and error take str only,
    without NUL characters or lone surrogates (ValueError).
    """
    try:
        cls = KIND_CLASSES[kind]
    except (KeyError, TypeError):
        raise ValueError(
            f"unknown sequence kind {kind!r}; expected one of {', '.join(KINDS)}"
        ) from None
    return cls(values)
