"""The package's one exception type."""

from __future__ import annotations


class AlphabetError(ValueError, RuntimeError):
    """A symbol or code that an alphabet does not hold, or a symbol it cannot hold.

    The message is the library's own ("Symbol X not in alphabet", "Code 7 not
    in alphabet"); bulk calls add the position of the offending item, which is
    also kept in `position`.  The class derives from RuntimeError because the
    module raises that for library errors, and from ValueError because that is
    what Python code expects of a bad value, so either `except` clause works.
    """

    position: int | None

    def __init__(self, message: str, position: int | None = None) -> None:
        super().__init__(message)
        self.position = position
