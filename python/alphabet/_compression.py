"""The gzip backends: python-isal when it is installed, Python's own zlib
otherwise.

python-isal (`pip install isal`) is the package's one optional run-time
dependency.  Both backends make standard gzip: what one writes, the other
(and any gzip reader) reads back to the same bytes.

Compressing: `gzip_writer(write, flush, level, threads)` gives a binary
stream that compresses what it is given and hands the result to `write`.  python-isal compresses levels 1
to 3, the fast end, where it is several times faster than zlib (its level 0
is no stored copy, so 0 stays with zlib), and with `threads` of 1 or more
does so in that many threads of its own, beside the caller's.  Every other
level, and every level without python-isal, goes through Python's gzip
module in the caller's thread.
"""

from __future__ import annotations

import gzip
import importlib
import os
from collections.abc import Callable
from types import ModuleType
from typing import Protocol

# gzip's level when output is compressed because of its name: the fast end,
# which for sequence files gives output within a few percent of level 6 at
# several times the speed.
DEFAULT_LEVEL = 1

# The levels python-isal compresses.
_ISAL_LEVELS = range(1, 4)


class CompressedOutput(Protocol):
    """A stream that compresses what is written to it."""

    def write(self, data: bytes, /) -> int: ...

    def close(self) -> None: ...


def _isal(name: str) -> ModuleType | None:
    """isal.<name>, or None when python-isal is not installed."""
    try:
        return importlib.import_module(f"isal.{name}")
    except ImportError:
        return None


def default_threads() -> int:
    """Compression threads by default: one per core this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def compressor_name(level: int, threads: int) -> str:
    """Which backend gzip_writer uses for `level` and `threads`, for messages
    and benchmarks."""
    if level in _ISAL_LEVELS and _isal("igzip") is not None:
        return f"python-isal, {threads} threads" if threads > 0 else "python-isal"
    return "Python's gzip"


def gzip_writer(
    write: Callable[[bytes], object], flush: Callable[[], object], level: int, threads: int
) -> CompressedOutput:
    """A stream that hands the gzip form of what it is given to `write`
    (which must take all of it), at `level`.

    Closing it ends the gzip data and calls `flush`; what `write` writes
    into stays open.  `threads` > 0 lets python-isal compress in that many
    threads.
    """
    kept = _KeptOpen(write, flush)
    if level in _ISAL_LEVELS:
        if threads > 0:
            threaded = _isal("igzip_threaded")
            if threaded is not None:
                made: CompressedOutput = threaded.open(
                    kept, "wb", compresslevel=level, threads=threads
                )
                return made
        igzip = _isal("igzip")
        if igzip is not None:
            single: CompressedOutput = igzip.IGzipFile(
                fileobj=kept, mode="wb", compresslevel=level, mtime=0
            )
            return single
    return gzip.GzipFile(fileobj=kept, mode="wb", compresslevel=level, mtime=0)


class _KeptOpen:
    """The stream a compressor writes into, made of `write` and `flush`:
    its close() only flushes, since a compressor closes what it writes into
    and the caller may own that."""

    def __init__(self, write: Callable[[bytes], object], flush: Callable[[], object]) -> None:
        self._write, self._flush = write, flush
        self.closed = False

    def write(self, data: bytes) -> int:
        self._write(data)
        return len(data)

    def flush(self) -> None:
        self._flush()

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self._flush()

    def writable(self) -> bool:
        return True
