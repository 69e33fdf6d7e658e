"""The package's exception types, and the wording of its messages."""

from __future__ import annotations


class AlphabetError(ValueError, RuntimeError):
    """A symbol or code that an alphabet does not hold, or a symbol it cannot hold.

    The message names the symbol in repr form ("Symbol 'X' not in
    alphabet", "Symbol '\\r' not in alphabet") or the code in decimal ("Code
    7 not in alphabet"); bulk calls add the position of the offending item,
    which is also kept in `position`.  The class derives from RuntimeError
    because the module raises that for library errors, and from ValueError
    because that is what Python code expects of a bad value, so either
    `except` clause works.

    Raised while reading a file with an alphabet, it also names the record
    (its id in `record`) and the line and column of the symbol (the line in
    `line`); `position` is then the symbol's place in the record's sequence.
    """

    position: int | None
    record: str | None
    line: int | None

    def __init__(
        self,
        message: str,
        position: int | None = None,
        *,
        record: str | None = None,
        line: int | None = None,
    ) -> None:
        super().__init__(message)
        self.position = position
        self.record = record
        self.line = line


class FormatError(ValueError):
    """Input that is not FASTA or FASTQ: no header, a FASTQ record cut short
    or missing its '+' line, a quality as long as no sequence, text that is
    not UTF-8, a compressed stream that is cut short or corrupt, mates out of
    step, a quality character outside the Phred range.

    The message starts "line N: " and `line` holds N, the line where reading
    could not go on (lines count from 1).  Records read before it are
    complete and stay valid.
    """

    line: int

    def __init__(self, message: str, line: int) -> None:
        super().__init__(message)
        self.line = line

    def __reduce__(self) -> tuple[type[FormatError], tuple[str, int]]:
        return type(self), (str(self), self.line)


class BrokenInput(Exception):
    """Raised by a source of the reader (a decompressing stream) whose input
    is cut short or corrupt: the reader ends with a FormatError that names
    the line it had reached, after every whole record before it."""


# Decimal digits that str() renders whatever sys.set_int_max_str_digits
# says: the lowest limit it accepts is 640.
_SAFE_DIGITS = 600


def code_text(code: int) -> str:
    """`code` in decimal, however many digits it has.

    str() refuses integers beyond the interpreter's digit limit, and an error
    message must never fail to render: longer integers are split into halves
    that str() accepts.
    """
    if -(10**_SAFE_DIGITS) < code < 10**_SAFE_DIGITS:
        return str(code)
    if code < 0:
        return "-" + code_text(-code)
    # Digits of the lower half: about half of the whole (log10(2) ~ 0.30103).
    half = max(_SAFE_DIGITS, code.bit_length() * 30103 // 200000)
    high, low = divmod(code, 10**half)
    return code_text(high) + code_text(low).zfill(half)


def symbol_error(symbol: str, position: int | None = None) -> AlphabetError:
    """The error for a symbol an alphabet does not know, at `position` of a bulk input."""
    if position is None:
        return AlphabetError(f"Symbol {symbol!r} not in alphabet")
    return AlphabetError(f"Symbol {symbol!r} not in alphabet at position {position}", position)


def code_error(code: int, position: int | None = None) -> AlphabetError:
    """The error for a code an alphabet does not hold, at `position` of a bulk input."""
    if position is None:
        return AlphabetError(f"Code {code_text(code)} not in alphabet")
    return AlphabetError(f"Code {code_text(code)} not in alphabet at position {position}", position)
