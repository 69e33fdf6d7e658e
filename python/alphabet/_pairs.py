"""Paired-end reading: the records of two files in step, or of one file
whose mates follow each other, as (record1, record2) pairs."""

from __future__ import annotations

from types import TracebackType
from typing import Protocol, Self

from ._errors import AlphabetError, FormatError


class _Records[T](Protocol):
    """What PairReader reads from: alphabet._native.Reader."""

    def __next__(self) -> T: ...
    def close(self) -> None: ...
    @property
    def line(self) -> int: ...
    @property
    def closed(self) -> bool: ...


def mate_id(record_id: str) -> str:
    """The id that mates share: `record_id` without a trailing "/1" or "/2"."""
    return record_id[:-2] if record_id.endswith(("/1", "/2")) else record_id


class PairReader[T]:
    """An iterator of (record1, record2) pairs: from two readers in step, or
    (without a second) from consecutive records of one.

    Mates whose ids differ (once a trailing "/1" or "/2" is removed), or one
    input ending before the other, raise FormatError naming both records,
    the inputs and the line, after the pairs before it; reading then ends.
    A record that does not code (AlphabetError, or FormatError for its
    quality) is raised with its mate read past, so that iteration may go on
    in step; with skip the pair is passed over and counted in `skipped`.
    """

    def __init__(
        self,
        first: _Records[T],
        second: _Records[T] | None,
        first_name: str,
        second_name: str,
        *,
        skip: bool = False,
    ) -> None:
        self._first = first
        self._second = second if second is not None else first
        self._names = (first_name, second_name)
        self._skip = skip
        self.skipped = 0
        self._ended = False

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> tuple[T, T]:
        while True:
            if self._ended:
                raise StopIteration
            pair, fault = self._read_pair()
            if fault is None:
                assert pair is not None
                return pair
            if not self._skip:
                raise fault
            self.skipped += 1

    def _read_pair(self) -> tuple[tuple[T, T] | None, Exception | None]:
        """A pair and None, or None and the fault of one of its records
        (both records read past).  Mates out of step are found even when one
        of them does not code: an AlphabetError names its record."""
        try:
            one, id1, line1, fault1 = self._take(self._first)
        except StopIteration:
            self._end_after_first()
            raise
        try:
            two, id2, line2, fault2 = self._take(self._second)
        except StopIteration:
            self._end_short(id1, line1)
            raise
        if id1 is not None and id2 is not None:
            self._check_mates(id1, line1, id2, line2)
        fault = fault1 or fault2
        if fault is not None:
            return None, fault
        assert one is not None and two is not None
        return (one, two), None

    def _take(self, reader: _Records[T]) -> tuple[T | None, str | None, int, Exception | None]:
        """The next record of `reader`, its id and line, or the fault that
        it raised instead (with the id and line the fault names)."""
        try:
            record = next(reader)
        except (AlphabetError, FormatError) as error:
            self._record_fault(reader, error)
            line = getattr(error, "line", None) or reader.line
            return None, getattr(error, "record", None), int(line), error
        return record, _id(record), reader.line, None

    def _record_fault(self, reader: _Records[T], error: Exception) -> None:
        # A fault that ended its reader (a malformed file) ends the pairs.
        if reader.closed:
            self.close()
            raise error

    def _end_after_first(self) -> None:
        """The first input has ended: so must the second."""
        if self._second is self._first:
            self.close()
            return
        try:
            extra = next(self._second)
        except StopIteration:
            self.close()
            return
        line = self._second.line
        self.close()
        raise FormatError(
            f"line {line}: record {_id(extra)!r} of {self._names[1]} has no mate: "
            f"{self._names[0]} ends before it",
            line,
        ) from None

    def _end_short(self, first_id: str | None, line: int) -> None:
        self.close()
        shown = f"record {first_id!r}" if first_id is not None else "a record"
        if self._second is self._first:
            raise FormatError(
                f"line {line}: {shown} has no mate: {self._names[0]} ends after it", line
            )
        raise FormatError(
            f"line {line}: {shown} of {self._names[0]} has no mate: "
            f"{self._names[1]} ends before it",
            line,
        )

    def _check_mates(self, first_id: str, line1: int, second_id: str, line2: int) -> None:
        if mate_id(first_id) == mate_id(second_id):
            return
        self.close()
        raise FormatError(
            f"line {line2}: mates out of step: record {first_id!r} (line {line1} of "
            f"{self._names[0]}) and record {second_id!r} (line {line2} of {self._names[1]})",
            line2,
        )

    def close(self) -> None:
        """Ends the reading: the files the readers opened are closed."""
        self._ended = True
        try:
            self._first.close()
        finally:
            self._second.close()

    @property
    def closed(self) -> bool:
        return self._ended

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        type: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def _id(record: object) -> str:
    return str(getattr(record, "id", ""))
