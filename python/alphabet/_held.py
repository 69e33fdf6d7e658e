"""Ownership of one registry entry by one Python object.

The module hands out handles with a reference count of 0.  A wrapper takes
its handle up with IncRef when it adopts it and lets go of it with DecRef
when Python collects the wrapper, so every entry lives exactly as long as
the wrapper that holds it.
"""

from __future__ import annotations

from collections.abc import Callable

import _alphabet as _m

_incref = _m.IncRef


class Held:
    """Base of every wrapper: owns one handle, released on collection."""

    __slots__ = ("_handle", "__weakref__")

    _handle: int

    @property
    def handle(self) -> int:
        """The registry handle this object owns.

        It stays valid while this object is alive.  Code that keeps the
        handle beyond that must take it up with IncRef itself.
        """
        return self._handle

    # DecRef is bound as a default so that the call still works while the
    # interpreter shuts down and module globals are being cleared.  An object
    # whose adoption never happened has no handle and owns nothing.
    def __del__(self, _decref: Callable[[int], None] = _m.DecRef) -> None:
        try:
            handle = self._handle
        except AttributeError:
            return
        _decref(handle)


def adopt[H: Held](obj: H, handle: int) -> H:
    """Makes `obj` the owner of the fresh `handle` and returns `obj`.

    IncRef comes first: an interruption between the two steps then leaks one
    entry instead of releasing one that was never taken up.
    """
    _incref(handle)
    obj._handle = handle
    return obj
