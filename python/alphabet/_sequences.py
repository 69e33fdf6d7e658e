"""Typed sequences as Python sequences.

Each of the seventeen element kinds gets a class whose operations are the
module's `Slice_<kind>_*` functions, stored on the class so that an element
access is one attribute lookup and one call.  Slices are views: they share
storage with the sequence they were taken from, as the library's sub-ranges
do.
"""

from __future__ import annotations

import collections.abc
import functools
import operator
from abc import ABCMeta
from collections.abc import Callable, Iterable, Iterator
from typing import Any, ClassVar, Literal, Self, SupportsIndex, cast, overload

import _alphabet as _m

from ._held import Held, adopt

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


class Sequence[T](Held, collections.abc.Sequence[T]):
    """A typed sequence of the library, owned by this object.

    Supports len(), indexing with negative indexes, item assignment,
    append(), extend(), iteration and == with lists and other sequences.
    A slice (step 1 only) is a view sharing storage with this sequence:
    writes through either are seen by both.  As with the library's
    sub-ranges, appending to a view that ends before the end of its source
    writes into the source's next slot.
    """

    __slots__ = ()

    kind: ClassVar[str]

    # The module's functions for this kind; each kind's class replaces them.
    # Builtin functions do not bind to instances, so they behave as these
    # static methods do.
    @staticmethod
    def _ctor() -> int:
        raise TypeError("make sequences with alphabet.sequence(kind, values)")

    @staticmethod
    def _len(handle: int, /) -> int:
        raise NotImplementedError

    @staticmethod
    def _elem(handle: int, idx: int, /) -> Any:
        raise NotImplementedError

    @staticmethod
    def _subslice(handle: int, st: int, ed: int, /) -> int:
        raise NotImplementedError

    @staticmethod
    def _set(handle: int, idx: int, value: Any, /) -> None:
        raise NotImplementedError

    @staticmethod
    def _append(handle: int, value: Any, /) -> None:
        raise NotImplementedError

    def __init__(self, values: Iterable[T] = ()) -> None:
        if hasattr(self, "_handle"):
            raise TypeError(f"{type(self).__name__} is already initialised")
        adopt(self, self._ctor())
        self.extend(values)

    @classmethod
    def _adopt(cls, handle: int) -> Self:
        return adopt(cls.__new__(cls), handle)

    def __len__(self) -> int:
        return self._len(self._handle)

    @overload
    def __getitem__(self, index: SupportsIndex) -> T: ...
    @overload
    def __getitem__(self, index: slice) -> Sequence[T]: ...
    def __getitem__(self, index: SupportsIndex | slice) -> T | Sequence[T]:
        # An int index costs one module call (two when negative); the module's
        # own errors send every other case to the slow path, which also
        # words the errors.
        try:
            if index >= 0:  # type: ignore[operator]
                element: T = self._elem(self._handle, index)  # type: ignore[arg-type]
            else:
                handle = self._handle
                element = self._elem(handle, index + self._len(handle))  # type: ignore[operator]
            return element
        except (IndexError, TypeError, OverflowError):
            if isinstance(index, slice):
                return self._view(index)
            element = self._elem(self._handle, self._position(index))
            return element

    def __setitem__(self, index: SupportsIndex, value: T) -> None:
        try:
            if index >= 0:  # type: ignore[operator]
                self._set(self._handle, index, value)  # type: ignore[arg-type]
            else:
                handle = self._handle
                self._set(handle, index + self._len(handle), value)  # type: ignore[operator]
        except (IndexError, TypeError, OverflowError):
            if isinstance(index, slice):
                raise TypeError("slice assignment is not supported; assign items") from None
            position = self._position(index)
            if type(index) is int:
                raise  # the index was good, so the value was not
            self._set(self._handle, position, value)

    def _position(self, index: SupportsIndex) -> int:
        """The non-negative position that `index` names, counting from the end when negative."""
        try:
            position = operator.index(index)
        except TypeError:
            raise TypeError(
                f"sequence indices must be integers or slices, not {type(index).__name__}"
            ) from None
        length = self._len(self._handle)
        if position < 0:
            position += length
        if not 0 <= position < length:
            raise IndexError(f"index {operator.index(index)} out of range for length {length}")
        return position

    def _view(self, index: slice) -> Self:
        start, stop, step = index.indices(self._len(self._handle))
        if step != 1:
            raise ValueError(
                "a slice shares storage with its sequence, so its step must be 1; "
                "use list(seq)[a:b:step] for a copy"
            )
        return self._adopt(self._subslice(self._handle, start, max(start, stop)))

    def __iter__(self) -> Iterator[T]:
        # The length is read once: elements appended during iteration are not
        # visited, so seq.extend(seq) doubles seq instead of looping forever.
        # Being a generator keeps `self`, and so the handle, alive meanwhile.
        handle = self._handle
        yield from map(functools.partial(self._elem, handle), range(self._len(handle)))

    def append(self, value: T) -> None:
        """Adds `value` at the end."""
        self._append(self._handle, value)

    def extend(self, values: Iterable[T]) -> None:
        """Appends every item of `values` in order (seq.extend(seq) doubles seq)."""
        append, handle = self._append, self._handle
        for value in values:
            append(handle, value)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (list, Sequence)):
            return len(self) == len(other) and list(self) == list(other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]  # mutable, so unhashable

    def __repr__(self) -> str:
        return f"sequence({self.kind!r}, {list(self)!r})"

    def __reduce__(self) -> tuple[Callable[..., Sequence[T]], tuple[str, list[T]]]:
        # Copies and pickles get storage and a handle of their own.
        return sequence, (self.kind, list(self))


class ByteSequence(Sequence[int]):
    """A sequence of the byte or uint8 kind, which share one storage type.

    It is also built from, compared with and converted to bytes-like objects
    in one call.
    """

    __slots__ = ()

    @staticmethod
    def _from_buffer(o: collections.abc.Buffer, /) -> int:
        raise TypeError("make sequences with alphabet.sequence(kind, values)")

    def __init__(self, values: Iterable[int] | collections.abc.Buffer = ()) -> None:
        if isinstance(values, collections.abc.Buffer):
            if hasattr(self, "_handle"):
                raise TypeError(f"{type(self).__name__} is already initialised")
            adopt(self, self._from_buffer(values))
        else:
            super().__init__(values)

    def to_bytes(self) -> bytes:
        """The elements as one bytes object (a copy)."""
        return _m.Slice_byte_to_bytes(self._handle)

    def __iter__(self) -> Iterator[int]:
        return iter(self.to_bytes())

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (bytes, bytearray)):
            return self.to_bytes() == other
        return super().__eq__(other)

    def __repr__(self) -> str:
        return f"sequence({self.kind!r}, {self.to_bytes()!r})"


def _kind_class(kind: str) -> type[Sequence[Any]]:
    base = ByteSequence if kind in ("byte", "uint8") else Sequence
    ops = {
        f"_{op}": getattr(_m, f"Slice_{kind}_{op}")
        for op in ("len", "elem", "subslice", "set", "append")
    }
    ops["_ctor"] = getattr(_m, f"Slice_{kind}_CTor")
    if base is ByteSequence:
        ops["_from_buffer"] = _m.Slice_byte_from_bytes  # byte and uint8 share storage
    namespace: dict[str, Any] = {"__slots__": (), "kind": kind, **ops}
    namespace["__module__"] = __name__
    return cast(type[Sequence[Any]], ABCMeta(f"{kind.capitalize()}Sequence", (base,), namespace))


KIND_CLASSES: dict[str, type[Sequence[Any]]] = {kind: _kind_class(kind) for kind in KINDS}


@overload
def sequence(kind: BytesKind, values: Iterable[int] | collections.abc.Buffer = ()) -> ByteSequence: ...
@overload
def sequence(kind: Literal["bool"], values: Iterable[object] = ()) -> Sequence[bool]: ...
@overload
def sequence(kind: IntKind, values: Iterable[int] = ()) -> Sequence[int]: ...
@overload
def sequence(kind: FloatKind, values: Iterable[float] = ()) -> Sequence[float]: ...
@overload
def sequence(kind: TextKind, values: Iterable[str] = ()) -> Sequence[str]: ...
@overload
def sequence(kind: str, values: Iterable[Any] = ()) -> Sequence[Any]: ...
def sequence(kind: str, values: Iterable[Any] | collections.abc.Buffer = ()) -> Sequence[Any]:
    """A new typed sequence of `kind` (one of KINDS) holding `values`.

    The byte and uint8 kinds also take any bytes-like object, copied in one
    call.  Values follow the library's rules for the kind: narrow integer
    kinds refuse values at or above their bound with ValueError and keep the
    low bits of smaller ones, uint32 and uint64 take values modulo 2**32 and
    2**64, float32 rounds, bool stores the truth value.
    """
    try:
        cls = KIND_CLASSES[kind]
    except (KeyError, TypeError):
        raise ValueError(f"unknown sequence kind {kind!r}; expected one of {', '.join(KINDS)}") from None
    if issubclass(cls, ByteSequence):
        return cls(values)
    if not isinstance(values, Iterable):
        raise TypeError(f"values of a {kind} sequence must be iterable, not {type(values).__name__}")
    return cls(values)
