"""Writing FASTA and FASTQ: alphabet.write and alphabet.Writer.

The formatting is native (alphabet._native.Writer): records are checked and
formatted into chunks of a megabyte, with no Python code run per record for
the records read() yields and for tuples.  A file named by a path gets its
chunks with write(2), the interpreter lock released; a file object, standard
output and the gzip compressor (alphabet._compression) get them as bytes.
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Literal, Protocol, Self, cast

from . import _compression, _native
from ._alphabets import Alphabet, one_char_codec

type Format = Literal["fasta", "fastq"]

_FORMATS = ("fasta", "fastq")
_SUFFIXES: dict[str, Format] = {
    ".fa": "fasta",
    ".fasta": "fasta",
    ".fna": "fasta",
    ".fq": "fastq",
    ".fastq": "fastq",
}


class BinaryOutput(Protocol):
    """What write() takes as a file object: a binary file open for writing."""

    def write(self, data: bytes, /) -> int | None: ...

    def flush(self) -> None: ...


type Target = str | os.PathLike[str] | BinaryOutput


def format_of_name(name: str) -> tuple[Format | None, bool]:
    """The format a file name's suffix says (.fa, .fasta, .fna, .fq, .fastq;
    None for any other), and whether it ends in .gz; in any case."""
    name = name.lower()
    zipped = name.endswith(".gz")
    if zipped:
        name = name[:-3]
    return _SUFFIXES.get(os.path.splitext(name)[1]), zipped


class Writer:
    """Writes FASTA or FASTQ records to a file, one at a time or many at once.

    `target` is a path, "-" for standard output, or a binary file object
    (left open by close(), but flushed).  `format` is "fasta" or "fastq";
    without it the path's suffix tells (.fa, .fasta, .fna, .fq, .fastq,
    optionally followed by .gz), else the first record does (a quality
    means FASTQ).  Output is gzip-compressed when the path ends in .gz or
    when `compresslevel` (0-9) is given; by suffix alone the level is 1.
    Levels 1 to 3 compress with python-isal when it is installed, in
    `threads` threads beside this one (by default one per core; 0 compresses
    in the calling thread), and with Python's gzip module otherwise.

    FASTA sequences are written in lines of `line_width` characters (0: one
    line each); FASTQ one line per sequence and per quality.  A record is
    what read() yields, an (id, sequence) or (id, sequence, quality) tuple,
    or any object with `id` and `sequence` attributes (and optionally
    `description` and `quality`).  A sequence is a str, or codes (bytes,
    array.array, numpy arrays, any iterable of ints) when `alphabet` is
    given: they are written as the text they spell, as
    `alphabet.decode_str` gives it.

    read() gives back every record written.  A record the format cannot
    hold so (a line break in a field; in FASTQ a quality of another length
    than the sequence, or none; a sequence that would read as a header or
    as a blank line) raises ValueError naming it, and nothing of it is
    written; the writer takes further records.  A FASTA sequence that
    lines of `line_width` would change (a line starting with '>' or
    holding only blanks) is written on one line.  A failure of the output
    itself (a full disk) ends the writer.

    Use it as a context manager, or call close(): records are written in
    chunks, and the last one goes out on close.
    """

    def __init__(
        self,
        target: Target,
        *,
        alphabet: Alphabet | None = None,
        format: Format | None = None,
        line_width: int = 60,
        compresslevel: int | None = None,
        threads: int | None = None,
    ) -> None:
        codec = None if alphabet is None else one_char_codec(alphabet, "writing codes")
        if format is not None and format not in _FORMATS:
            raise ValueError(f"format must be 'fasta', 'fastq' or None, not {format!r}")
        _check_count("line_width", line_width)
        if compresslevel is not None:
            _check_count("compresslevel", compresslevel)
            if compresslevel > 9:
                raise ValueError(f"compresslevel must be 0 to 9, not {compresslevel}")
        if threads is not None:
            _check_count("threads", threads)
        zipped = compresslevel is not None
        if isinstance(target, (str, os.PathLike)) and not (
            isinstance(target, str) and target == "-"
        ):
            named, by_suffix = format_of_name(os.fsdecode(target))
            format = format or named
            zipped = zipped or by_suffix
        level = _compression.DEFAULT_LEVEL if compresslevel is None else compresslevel
        workers = _compression.default_threads() if threads is None else threads
        self._closers: list[Callable[[], object]] = []
        try:
            sink, fd = self._open(target, zipped, level, workers)
            self._native: _native.Writer = _native.Writer(
                sink, fd=fd, format=format, line_width=line_width, codec=codec
            )
        except BaseException:
            with contextlib.suppress(Exception):  # the first failure is the one to tell
                self._close_outputs()
            raise

    def _open(self, target: Target, zipped: bool, level: int, threads: int) -> tuple[object, int]:
        """The native writer's sink and file descriptor (-1 for none); what
        must be closed, innermost first, goes into self._closers."""
        if isinstance(target, str) and target == "-":
            stream = _standard_output()
            self._closers.append(stream.flush)
        elif isinstance(target, (str, os.PathLike)):
            if not zipped:
                raw = open(target, "wb", buffering=0)
                self._closers.append(raw.close)
                return raw, raw.fileno()
            stream = open(target, "wb")
            self._closers.append(stream.close)
        else:
            if isinstance(target, (bytes, bytearray, memoryview)) or not hasattr(target, "write"):
                raise TypeError(
                    "write() takes a path, '-' or a binary file object, not "
                    f"{type(target).__name__}"
                )
            if isinstance(target, io.TextIOBase):
                raise TypeError("the file is open in text mode; write() needs binary mode ('wb')")
            stream = target
            self._closers.append(stream.flush)
        whole = _whole_writes(stream)
        if not zipped:
            return whole, -1
        compressor = _compression.gzip_writer(whole, stream.flush, level, threads)
        self._closers.append(compressor.close)
        return compressor.write, -1

    def write(self, record: object) -> None:
        """Writes one record (see the class for what a record is)."""
        self._native.write(record)

    def flush(self) -> None:
        """Hands what the writer holds to the output now (it does so itself
        a megabyte at a time, and on close)."""
        self._native.flush()

    @property
    def format(self) -> Format | None:
        """'fasta' or 'fastq' once known (given, by suffix, or from the first
        record); None before."""
        return self._native.format  # type: ignore[return-value]

    @property
    def count(self) -> int:
        """Records written so far."""
        return self._native.count

    @property
    def closed(self) -> bool:
        return self._native.closed and not self._closers

    def close(self) -> None:
        """Writes out what is left and closes what the writer opened (a file
        object passed in is flushed, not closed).  Closing again does
        nothing."""
        try:
            self._native.close()
        finally:
            self._close_outputs()

    def _close_outputs(self) -> None:
        failure: BaseException | None = None
        while self._closers:
            try:
                self._closers.pop()()
            except BaseException as error:  # the rest are closed all the same
                failure = failure or error
        if failure is not None:
            raise failure

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def write(
    target: Target | tuple[Target, Target],
    records: Iterable[object],
    *,
    alphabet: Alphabet | None = None,
    format: Format | None = None,
    line_width: int = 60,
    compresslevel: int | None = None,
    threads: int | None = None,
    interleaved: bool = False,
) -> int:
    """Writes `records` as FASTA or FASTQ to `target`; returns their count.

    The options are Writer's (see there).  Pairs of records, as
    `read(r1, r2)` yields them, are written with `write((t1, t2), pairs)`,
    the first records to t1 and the second to t2, or with
    `write(t, pairs, interleaved=True)`, one after the other into t; the
    count is then of pairs.  Both records of a pair are checked before
    either is written, so that the outputs never get out of step.  The
    records written before an error stay in the output.
    """
    options = dict(alphabet=alphabet, format=format, line_width=line_width,
                   compresslevel=compresslevel, threads=threads)  # fmt: skip
    if isinstance(target, tuple):
        if interleaved:
            raise ValueError("interleaved pairs go to one target, not two")
        if len(target) != 2:
            raise ValueError(f"pairs go to two targets, not {len(target)}")
        with Writer(target[0], **options) as first, Writer(target[1], **options) as second:  # type: ignore[arg-type]
            return first._native.write_pairs(records, second._native)
    with Writer(target, **options) as writer:  # type: ignore[arg-type]
        if interleaved:
            return writer._native.write_pairs(records)
        return writer._native.write_all(records)


def _check_count(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be 0 or more, not {value}")


def _standard_output() -> BinaryOutput:
    stdout = sys.stdout
    if stdout is None or stdout.closed:
        raise OSError("standard output is closed")
    # The binary layer under the text stream; a replacement without one
    # (a BytesIO) is binary itself.
    return cast(BinaryOutput, getattr(stdout, "buffer", stdout))


def _whole_writes(stream: BinaryOutput) -> Callable[[bytes], object]:
    """stream.write, or for an unbuffered stream, which may take part of
    what it is given, a function that writes until all is taken."""
    if not isinstance(stream, io.RawIOBase):
        return stream.write

    def write_all(data: bytes) -> None:
        view = memoryview(data)
        while view:
            taken = stream.write(view)
            if taken is None:
                raise BlockingIOError("the output takes no data now (non-blocking)")
            view = view[taken:]

    return write_all
