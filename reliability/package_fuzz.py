#!/usr/bin/env python3
"""Seeded random use of the alphabet package, and of alphabet._native directly,
with hostile arguments.

An episode is the sequence of actions drawn from one seed.  Actions make and
use alphabets (with every option, the standard and extended ones, with_options,
extend, from_handle), encode and decode texts, buffers of every item format
and byte order, and iterables, take reverse complements and k-mers, make typed
sequences of every kind from lists, iterables, other sequences and buffers,
change them through views, iterate them while they grow, export their typed
buffers, pickle and copy everything, read generated FASTA and FASTQ (valid or
corrupted) from paths, gzip, file objects and misbehaving file objects, and
call the native module's own functions (Codec, reverse_translate, kmers,
format_codes, Reader, adopt, new_alphabet, ...) with arguments that fight
back: objects whose __index__, __float__, __bool__, __buffer__, __iter__,
readinto or read raise, return the wrong type or size, interrupt (as Ctrl-C
does), call back into the package in the same thread or in another one, or
change what is being read; huge and negative sizes; a timer interrupt landing
inside a long native loop.

What is checked after every action:
  * the exception is one the API documents (TypeError, ValueError and its
    AlphabetError and FormatError, IndexError, OverflowError, BufferError,
    OSError from the reader's sources; MemoryError only for a huge size drawn
    on purpose), or the very exception a hostile object raised;
  * NumHandles equals the number of registry entries that live package
    objects own, each tracked by a weak reference: no entry leaks, none is
    let go while an object still owns it;
  * results agree with a reference: bulk encoding and decoding with the
    one-symbol path (for plain alphabets, the library's own), reverse
    complements and k-mers with a pure-Python computation, sequences with a
    model of their storage blocks (views share them, appends move a full
    sequence alone to a block of twice the size), a failed bulk fill or
    extend with no change at all, FASTA and FASTQ with the records written
    (valid input) or with the same bytes read from every other kind of
    source (corrupted input).
At the end of the episode witness objects that no action saw must be as they
were, and NumHandles back where it started.

Campaign, as CI runs it (episodes seed, seed+1, ... in a child process until
the time is up; a crash or hang is reported with the seed and action count):
    python reliability/package_fuzz.py --time 120 --seed 1
Replay one episode in this process, printing every action:
    python reliability/package_fuzz.py --seed N --calls K -v
"""

import argparse
import array
import copy
import ctypes
import gc
import gzip
import io
import math
import operator
import os
import pickle
import re
import signal
import sys
import tempfile
import threading
import traceback
import warnings
import weakref

import campaign
from campaign import INTEGER_RANGES, Failure

import _alphabet as m
import alphabet as ab
from alphabet import _native as n
from alphabet._reader import _open as open_reader
from alphabet._sequences import KIND_CLASSES

try:
    import numpy as np
except ImportError:  # optional: its arrays are one more kind of buffer
    np = None

# Hostile objects use deprecated protocols on purpose (__float__ giving a
# float subclass, say); their warnings are not findings.
warnings.simplefilter("ignore")

DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError, BufferError)
KINDS = ab.KINDS
FLOAT_KINDS = ("float32", "float64")
TEXT_KINDS = ("string", "error")
# The array type code of each numeric kind's own item type.
TYPECODES = {
    "bool": None,
    "byte": "B",
    "uint8": "B",
    "int8": "b",
    "int16": "h",
    "uint16": "H",
    "int32": "i",
    "rune": "i",
    "uint32": "I",
    "int": "q",
    "int64": "q",
    "uint": "Q",
    "uint64": "Q",
    "float32": "f",
    "float64": "d",
}
ZERO = {kind: 0 for kind in INTEGER_RANGES} | {"bool": False, "float32": 0.0, "float64": 0.0}
ZERO |= {"string": "", "error": ""}
ALL_TYPECODES = "bBhHiIlLqQfd"


class HostileError(Exception):
    """Raised by the fuzzer's own objects; the package must pass it on untouched."""


def show(value):
    """repr without object addresses, so that replays print the same text."""
    try:
        text = re.sub(r" at 0x[0-9a-f]+", "", repr(value))
    except Exception as exc:  # an object adopted without its state, say
        text = f"<{type(value).__name__}: repr raised {type(exc).__name__}>"
    return text if len(text) <= 200 else text[:200] + f"...({len(text)} characters)"


def same(a, b):
    """Equal, with NaN equal to NaN and the types alike."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def same_lists(a, b):
    return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))


def float32(value):
    return ctypes.c_float(value).value


# ---- Hostile objects ------------------------------------------------------
#
# Each stands for a value and says what converting it gives: `expect(how)`
# for how in "index", "float", "bool" returns the value or the exception type.


class Hostile:
    def expect(self, how):
        return TypeError


class IndexOf(Hostile):
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def expect(self, how):
        if how == "bool":
            return True
        return self.value if how == "index" else float_of_int(self.value)

    def __repr__(self):
        return f"IndexOf({self.value!r})"


def float_of_int(value):
    try:
        return float(value)
    except OverflowError:
        return OverflowError


class Raises(Hostile):
    """Every conversion raises: HostileError, or KeyboardInterrupt as Ctrl-C would."""

    def __init__(self, error=HostileError):
        self.error = error

    def __index__(self):
        raise self.error("__index__")

    def __float__(self):
        raise self.error("__float__")

    def __bool__(self):
        raise self.error("__bool__")

    def __len__(self):
        raise self.error("__len__")

    def __iter__(self):
        raise self.error("__iter__")

    def __buffer__(self, flags):
        raise self.error("__buffer__")

    def expect(self, how):
        return self.error

    def __repr__(self):
        return f"Raises({self.error.__name__})"


class WrongResult(Hostile):
    """Conversions return the wrong type."""

    def __index__(self):
        return "not an int"

    def __float__(self):
        return "not a float"

    def __bool__(self):
        return 2

    def expect(self, how):
        return TypeError

    def __repr__(self):
        return "WrongResult()"


class FloatOf(Hostile):
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def expect(self, how):
        return self.value if how == "float" else (True if how == "bool" else TypeError)

    def __repr__(self):
        return f"FloatOf({self.value!r})"


class Reentrant(Hostile):
    """Runs a whole nested action (checked like any other) while it is
    converted, in this thread or in another one that it waits for."""

    def __init__(self, fuzzer, value, other_thread=False):
        self.fuzzer, self.value, self.other_thread = fuzzer, value, other_thread

    def _nested(self):
        if not self.other_thread:
            self.fuzzer.nested()
            return
        failures = []

        def run():
            try:
                self.fuzzer.nested()
            except Failure as failure:
                failures.append(failure)

        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
        if failures:
            raise failures[0]

    def __index__(self):
        self._nested()
        return self.value

    def __float__(self):
        self._nested()
        return float(self.value)

    def __bool__(self):
        self._nested()
        return bool(self.value)

    def expect(self, how):
        return bool(self.value) if how == "bool" else IndexOf(self.value).expect(how)

    def __repr__(self):
        return f"Reentrant({self.value!r}{', other_thread=True' if self.other_thread else ''})"


class Items:
    """An iterable of `items` that raises `error` after `at` of them (never
    when `at` is None), or goes on with further items in another thread."""

    def __init__(self, items, at=None, error=HostileError):
        self.items, self.at, self.error = list(items), at, error

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.at:
                raise self.error("midway")
            yield item
        if self.at is not None and self.at >= len(self.items):
            raise self.error("at the end")

    def __repr__(self):
        tail = f", at={self.at}, error={self.error.__name__}" if self.at is not None else ""
        return f"Items({show(self.items)}{tail})"


class BufferOf:
    """An object whose __buffer__ gives a view of `target` (any layout), or
    raises, or changes between calls."""

    def __init__(self, target, then=None, release_raises=False):
        self.target, self.then, self.release_raises, self.calls = target, then, release_raises, 0

    def __buffer__(self, flags):
        self.calls += 1
        target = self.then if self.then is not None and self.calls > 1 else self.target
        if isinstance(target, type) and issubclass(target, BaseException):
            raise target("__buffer__")
        return memoryview(target)

    def __release_buffer__(self, view):
        view.release()
        if self.release_raises:
            raise HostileError("__release_buffer__")

    def __repr__(self):
        return f"BufferOf({show(self.target)}, then={show(self.then)})"


# ---- Sequences: the model -------------------------------------------------


class SeqModel:
    """A window (start, length, capacity) on a shared block, as the library
    keeps each sequence."""

    __slots__ = ("kind", "block", "start", "length", "capacity")

    def __init__(self, kind, block, start, length, capacity):
        self.kind, self.block, self.start = kind, block, start
        self.length, self.capacity = length, capacity

    def items(self):
        return self.block[self.start : self.start + self.length]

    def append(self, value):
        if self.length == self.capacity:
            grown = max(2 * self.length, 4)
            self.block = self.items() + [ZERO[self.kind]] * (grown - self.length)
            self.start, self.capacity = 0, grown
        self.block[self.start + self.length] = value
        self.length += 1


def capacity_of(kind, handle):
    """A sequence's capacity, found by probing sub-ranges (released again)."""
    subslice = getattr(m, f"Slice_{kind}_subslice")

    def reaches(end):
        try:
            probe = subslice(handle, 0, end)
        except IndexError:
            return False
        m.IncRef(probe)
        m.DecRef(probe)
        return True

    low, high = 0, 1
    while reaches(high):
        low, high = high, high * 2
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if reaches(middle) else (low, middle)
    return low


def stored(kind, value):
    """The element `value` becomes in a sequence of `kind`, or the exception
    type that storing it raises."""
    if kind in INTEGER_RANGES:
        if isinstance(value, Hostile):
            value = value.expect("index")
            if isinstance(value, type):
                return value
        if not isinstance(value, int):
            return TypeError
        low, high = INTEGER_RANGES[kind]
        return int(value) if low <= value <= high else OverflowError
    if kind in FLOAT_KINDS:
        if isinstance(value, Hostile):
            value = value.expect("float")
            if isinstance(value, type):
                return value
        elif isinstance(value, int):
            value = float_of_int(value)
            if isinstance(value, type):
                return value
        elif not isinstance(value, float):
            return TypeError
        value = float(value)
        return float32(value) if kind == "float32" else value
    if kind == "bool":
        if isinstance(value, Hostile):
            truth = value.expect("bool")
            return truth if isinstance(truth, type) else bool(truth)
        return bool(value)
    if not isinstance(value, str):
        return TypeError
    if "\0" in value or any(0xD800 <= ord(c) <= 0xDFFF for c in value):
        return ValueError
    return str(value)


# Long inputs repeat a random stretch of this many values: drawing every one
# would cost the campaign more than the calls it makes.
STRETCH = 1000


def plain_values(rng, kind, count):
    """Values every sequence of `kind` holds exactly."""
    if count > STRETCH:
        stretch = plain_values(rng, kind, STRETCH)
        return (stretch * (count // STRETCH + 1))[:count]
    if kind in INTEGER_RANGES:
        low, high = INTEGER_RANGES[kind]
        edges = [low, high, 0, 1, low + 1, high - 1]
        return [
            rng.choice(edges) if rng.random() < 0.3 else rng.randint(low, high)
            for _ in range(count)
        ]
    if kind in FLOAT_KINDS:
        values = [
            rng.choice([0.0, -0.0, 1.5, -2.25, 1e-3, 3.0e38, math.inf, -math.inf, math.nan])
            if rng.random() < 0.3
            else rng.uniform(-1e6, 1e6)
            for _ in range(count)
        ]
        return [float32(v) for v in values] if kind == "float32" else values
    if kind == "bool":
        return [rng.random() < 0.5 for _ in range(count)]
    return [
        rng.choice(["", "a", "é", "日本", "\U0001f600", "x" * 40, "tab\t", str(i)])
        for i in range(count)
    ]


# ---- FASTA and FASTQ -------------------------------------------------------

ID_WORDS = ["r", "read_1", "é", "x" * 60, "日本", "q:1/2"]
DESCRIPTIONS = ["", "a description", "two  spaces", "ünïcode text", "len=5 x"]
SEQUENCE_LETTERS = "ACGTACGTACGTNacgtRYé"


def make_records(rng, fastq):
    records = []
    for i in range(rng.choice([0, 1, 2, 3, 5, 8])):
        length = rng.choice([0, 1, 3, 10, 61, 200]) if rng.random() < 0.95 else 70000
        letters = SEQUENCE_LETTERS if rng.random() < 0.3 else "ACGT"
        sequence = "".join(rng.choices(letters, k=length))
        quality = "".join(rng.choices("!#+5@AIJ~", k=length)) if fastq else None
        records.append((f"{rng.choice(ID_WORDS)}{i}", rng.choice(DESCRIPTIONS), sequence, quality))
    return records


def render(rng, records, fastq):
    """The text of `records`, with the layout variations the reader must take."""
    newline = "\r\n" if rng.random() < 0.2 else "\n"
    width = rng.choice([None, None, 1, 7, 60])
    lines = ["\ufeff"] if rng.random() < 0.1 else [""]
    if rng.random() < 0.1:
        lines.append(newline + " \t" + newline)

    def wrapped(text):
        if width is None or not text:
            return [text] if (text or not fastq) else [""]
        return [text[i : i + width] for i in range(0, len(text), width)]

    out = []
    for rid, description, sequence, quality in records:
        header = rid + (" " + description if description else "")
        out.append(("@" if fastq else ">") + header)
        out.extend(line for line in wrapped(sequence) if line or fastq)
        if fastq:
            out.append("+" + (header if rng.random() < 0.3 else ""))
            out.extend(wrapped(quality))
        if rng.random() < 0.1:
            out.append(rng.choice(["", "  ", "\t"]))
    text = "".join(lines) + newline.join(out)
    if out and rng.random() < 0.8:
        text += newline
    return text.encode()


def corrupt(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        at = rng.randrange(len(data) + 1)
        what = rng.random()
        byte = rng.choice(b">@+\n\r \xff\xc3\x80A")
        if what < 0.3 and at < len(data):
            data[at] = byte
        elif what < 0.5 and at < len(data):
            del data[at]
        elif what < 0.8:
            data.insert(at, byte)
        else:
            del data[at:]
    return bytes(data)


class Trickle(io.RawIOBase):
    """A binary stream that gives at most `step` bytes per readinto."""

    def __init__(self, data, step):
        super().__init__()
        self.data, self.step = memoryview(data), step

    def readable(self):
        return True

    def readinto(self, buffer):
        count = min(self.step, len(buffer), len(self.data))
        buffer[:count] = self.data[:count]
        self.data = self.data[count:]
        return count

    def __repr__(self):
        return f"Trickle({len(self.data)} bytes, step={self.step})"


class ReadOnly:
    """A source with read() only, giving at most `step` bytes at a time."""

    def __init__(self, data, step):
        self.data, self.step = data, step

    def read(self, size=-1):
        size = self.step if size < 0 else min(size, self.step)
        piece, self.data = self.data[:size], self.data[size:]
        return piece

    def __repr__(self):
        return f"ReadOnly({len(self.data)} bytes, step={self.step})"


class Misbehaving:
    """A source that reads normally, then does `fault` on call number `at`."""

    FAULTS = [
        "raise",
        "interrupt",
        "none",
        "text",
        "negative",
        "too_many",
        "float",
        "huge",
        "shrink",
        "grow",
        "reenter",
        "raising_buffer",
        "strided",
    ]

    def __init__(self, data, fault, at, readinto, reader_box):
        self.data, self.fault, self.at, self.calls = data, fault, at, 0
        self.reader_box = reader_box  # [reader], for a source that calls its own reader
        self.read = self._head if readinto else self._read
        if readinto:
            self.readinto = self._readinto

    def _head(self, size=-1):
        # read() gives the first bytes, which alphabet.read looks at for gzip.
        return self._piece(size)

    def _piece(self, size):
        piece, self.data = self.data[: min(size, 5)], self.data[min(size, 5) :]
        return piece

    def _readinto(self, buffer):
        self.calls += 1
        if self.calls == self.at:
            result = self._fault(buffer)
            if result is not NotImplemented:
                return result
        piece = self._piece(len(buffer))
        buffer[: len(piece)] = piece
        return len(piece)

    def _read(self, size=-1):
        self.calls += 1
        if self.calls == self.at:
            result = self._fault(None)
            if result is not NotImplemented:
                return result
        return self._piece(size)

    def _fault(self, buffer):
        fault = self.fault
        if fault == "raise":
            raise HostileError("read")
        if fault == "interrupt":
            raise KeyboardInterrupt("read")
        if fault == "none":
            return None
        if fault == "text":
            return "text"
        if fault == "negative":
            return -2
        if fault == "too_many":
            return (len(buffer) + 1) if buffer is not None else 3.5
        if fault == "float":
            return 1.5
        if fault == "huge":
            return 2**70
        if fault == "shrink" and buffer is not None:
            del buffer[:]
            return 0
        if fault == "grow" and buffer is not None:
            buffer.extend(b">" * 10)
            return NotImplemented
        if fault == "reenter" and self.reader_box:
            next(self.reader_box[0])  # the reader is busy: ValueError
            return NotImplemented
        if fault == "raising_buffer" and buffer is None:
            return BufferOf(HostileError)
        if fault == "strided" and buffer is None:
            return memoryview(b"ACGTACGT")[::2]
        return NotImplemented

    def __repr__(self):
        how = "readinto" if "readinto" in vars(self) else "read"
        return f"Misbehaving({how}, {self.fault!r}, at={self.at})"


# ---- The fuzzer -----------------------------------------------------------


class Fuzzer:
    def __init__(self, seed, log=None, workdir=None):
        import random

        self.random = random
        self.rng = random.Random(seed)
        self.log = log
        self.workdir = workdir or tempfile.mkdtemp(prefix="package-fuzz-")
        self.calls = 0
        self.depth = 0
        self.top = 0
        self.counts = {}
        self.raised = {}
        self.unraisable = []
        self.files = 0
        self.actions = [(name, getattr(self, name), weight) for name, weight in self.WEIGHTS]
        self.total_weight = sum(weight for _, _, weight in self.actions)

    # -- bookkeeping --
    def say(self, text):
        if self.log:
            number = f"{self.top}>{self.depth}" if self.depth else f"{self.top}"
            self.log(f"{number}: {text}")

    def track(self, value, seen=None):
        """Remembers every package object in `value` by weak reference."""
        seen = set() if seen is None else seen
        if id(value) in seen:
            return
        seen.add(id(value))
        if isinstance(value, n.Held):
            self.held[id(value)] = weakref.ref(value)
        elif isinstance(value, (list, tuple)):
            for item in value:
                self.track(item, seen)

    def live_handles(self):
        live = set()
        for key, ref in list(self.held.items()):
            obj = ref()
            if obj is None:
                del self.held[key]
            elif obj.handle > 0:
                live.add(obj.handle)
        from alphabet import _alphabets

        for cached in list(_alphabets._standard.values()) + list(_alphabets._extended.values()):
            if cached is not None:
                live.add(cached.handle)
        return live | set(self.raw)

    def check_accounting(self, what):
        expected = self.base + len(self.live_handles())
        if m.NumHandles() != expected:
            gc.collect()  # objects in cycles (an exception's frames, say) go now
            expected = self.base + len(self.live_handles())
            if m.NumHandles() != expected:
                raise Failure(
                    f"{what}: NumHandles is {m.NumHandles()}, the live package objects own "
                    f"{expected - self.base} entries (base {self.base})"
                )

    def attempt(self, label, call, allowed=DOCUMENTED, injected=()):
        """Runs `call`; returns (result, exception).  The exception must be one
        of `allowed` or one a hostile object raised (`injected`)."""
        self.calls += 1
        self.say(label)
        try:
            result = call()
            flush_signals()
        except Failure:
            raise
        except BaseException as exc:  # judged below, whatever it is
            name = type(exc).__name__
            self.raised[name] = self.raised.get(name, 0) + 1
            if self.log:
                self.log(f"    -> {name}: {show(str(exc))}")
            if isinstance(exc, (SystemError, SystemExit)) or not isinstance(
                exc, tuple(allowed) + tuple(injected)
            ):
                raise Failure(f"{label}: undocumented exception {name}: {exc}") from exc
            chained = exc
            while chained is not None:  # no frame (and what it holds) outlives the call
                chained.__traceback__ = None
                chained = chained.__context__
            return None, exc
        self.track(result)
        return result, None

    # -- drawing --
    def pick(self, pool):
        return self.rng.choice(pool) if pool else None

    def hostile_value(self, how):
        """A hostile stand-in for a value, and what it raises (or None)."""
        rng = self.rng
        r = rng.random()
        if r < 0.3:
            return Raises(), (HostileError,)
        if r < 0.45:
            return Raises(KeyboardInterrupt), (KeyboardInterrupt,)
        if r < 0.6:
            return WrongResult(), ()
        if r < 0.8 and self.depth < 2:
            value = rng.choice([0, 1, 2, 3])
            return Reentrant(self, value, other_thread=rng.random() < 0.3), ()
        return IndexOf(rng.choice([0, 1, 2, -1, 2**64, 3])), ()

    def kind_value(self, kind):
        """A value for a sequence of `kind`: mostly one it holds, sometimes
        not, sometimes hostile; and the exceptions the hostile one raises."""
        rng = self.rng
        r = rng.random()
        if r < 0.75:
            return plain_values(rng, kind, 1)[0], ()
        if r < 0.9:
            return rng.choice(
                [
                    None,
                    "1",
                    b"1",
                    1.5,
                    2**64,
                    -(2**63) - 1,
                    10**400,
                    [],
                    "a\0b",
                    "\ud800",
                    True,
                    math.nan,
                    IndexOf(7),
                    FloatOf(2.5),
                    1j,
                ]
            ), ()
        return self.hostile_value("index")

    # -- actions: alphabets --
    def random_symbols(self):
        rng = self.rng
        r = rng.random()
        if r < 0.35:
            count = rng.choice([1, 2, 4, 4, 20, 26, 256, 300])
            start = rng.choice([0x41, 0x30, 0xC0, 0x391, 0x4E00, 0x1F600])
            pool = [chr(start + i) for i in range(max(count, 1))]
            if rng.random() < 0.2:
                pool[rng.randrange(len(pool))] = pool[0]  # a duplicate
            return "".join(pool) if rng.random() < 0.6 else pool, True
        if r < 0.6:
            words = ["AAA", "AAC", "", "é", "ACGT", "x" * 20, "Ω1", "a", "A"]
            return [rng.choice(words) for _ in range(rng.randint(1, 6))], True
        if r < 0.7:
            return rng.choice(["ACGT", "acgtACGT", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ßΣσςİı"]), True
        if r < 0.8:
            bad = rng.choice(["A\0", "\ud800", 3, None, b"A"])
            return ["A", "C", bad], False
        if r < 0.9:
            return Items(
                ["A", "C", "G", "T"],
                at=rng.randrange(5),
                error=rng.choice([HostileError, KeyboardInterrupt]),
            ), False
        return rng.choice([None, 5, Raises()]), False

    def random_options(self, symbols):
        """Keyword options, and whether they are valid for these symbols."""
        rng = self.rng
        listed = list(symbols) if isinstance(symbols, (str, list)) else []
        options = {}
        valid = True
        if rng.random() < 0.3:
            options["ignore_case"] = rng.choice([True, False, True, 1, "yes"])
            valid = valid and isinstance(options["ignore_case"], bool)
        if listed and rng.random() < 0.3:
            target = rng.choice(listed)
            alias = rng.choice(["u", "U", "?", "zz", "é", target])
            wrong_target = rng.random() < 0.2
            aliases = {alias: "not a symbol" if wrong_target else target}
            options["aliases"] = aliases if rng.random() < 0.9 else list(aliases.items())
            valid = valid and isinstance(options["aliases"], dict)
            valid = valid and alias not in listed and not wrong_target
        if listed and rng.random() < 0.2:
            options["unknown"] = rng.choice([rng.choice(listed), "not a symbol", 3])
            valid = valid and options["unknown"] in listed
        if listed and rng.random() < 0.3:
            if rng.random() < 0.7:
                shuffled = listed[:]
                rng.shuffle(shuffled)
                complements = dict(zip(listed, shuffled, strict=False))
                if all(len(s) == 1 for s in listed) and rng.random() < 0.5:
                    complements = "".join(complements[s] for s in listed)
                options["complements"] = complements
                valid = valid and len(listed) <= 256
            else:
                options["complements"] = rng.choice(["", "X", 5, {"A": "Q"}])
                valid = False
        return options, valid

    def new_alphabet(self):
        symbols, clean = self.random_symbols()
        options, valid = self.random_options(symbols) if clean else ({}, False)
        injected = (HostileError, KeyboardInterrupt) if not clean else ()
        alphabet, exc = self.attempt(
            f"Alphabet({show(symbols)}, **{show(options)})",
            lambda: ab.Alphabet(symbols, **options),
            injected=injected,
        )
        if exc is not None:
            if clean and valid:
                raise Failure(f"Alphabet({show(symbols)}, **{show(options)}) refused: {exc!r}")
            return
        if not clean:
            raise Failure(f"Alphabet({show(symbols)}) accepted symbols it cannot hold")
        self.check_alphabet(alphabet, list(symbols))
        self.alphabets.append(alphabet)

    def check_alphabet(self, alphabet, symbols=None):
        listed = list(alphabet.symbols)
        if symbols is not None and listed != symbols:
            raise Failure(f"{show(alphabet)}: symbols {show(listed)}, made from {show(symbols)}")
        if len(alphabet) != len(listed):
            raise Failure(f"{show(alphabet)}: len {len(alphabet)} for {len(listed)} symbols")
        for code in self.rng.sample(range(len(listed)), min(len(listed), 5)):
            symbol = listed[code]
            last = len(listed) - 1 - listed[::-1].index(symbol)
            if alphabet.decode(code) != symbol or alphabet.encode(symbol) != last:
                raise Failure(f"{show(alphabet)}: code {code} and symbol {symbol!r} disagree")

    def alphabet_or_standard(self):
        rng = self.rng
        if self.alphabets and rng.random() < 0.7:
            return rng.choice(self.alphabets)
        maker = rng.choice(
            [ab.dna, ab.rna, ab.protein, ab.iupac_dna, ab.iupac_rna, ab.extended_protein]
        )
        alphabet = maker()
        if alphabet is None:  # a standard alphabet that an action cleared
            alphabet = ab.Alphabet("ACGT")
        self.track(alphabet)
        return alphabet

    def standard(self):
        rng = self.rng
        name = rng.choice(["dna", "rna", "protein"])
        getter, setter = getattr(ab, name), getattr(ab, f"set_{name}")
        r = rng.random()
        if r < 0.5:
            alphabet, _ = self.attempt(f"{name}()", getter)
            if alphabet is not None:
                self.check_alphabet(alphabet)
            return
        choice = rng.choice([None, self.pick(self.alphabets), self.saved[name], "dna", 5])
        _, exc = self.attempt(f"set_{name}({show(choice)})", lambda: setter(choice))
        if exc is None and getter() is not choice:
            raise Failure(f"set_{name}({show(choice)}): {name}() is {show(getter())}")
        if exc is not None and (choice is None or isinstance(choice, ab.Alphabet)):
            raise Failure(f"set_{name}({show(choice)}) refused: {exc!r}")

    def reshape_alphabet(self):
        rng = self.rng
        alphabet = self.alphabet_or_standard()
        r = rng.random()
        if r < 0.35:
            options, _ = self.random_options(list(alphabet.symbols))
            result, _ = self.attempt(
                f"{show(alphabet)}.with_options(**{show(options)})",
                lambda: alphabet.with_options(**options),
            )
        elif r < 0.7:
            symbols, clean = self.random_symbols()
            result, exc = self.attempt(
                f"{show(alphabet)}.extend({show(symbols)})",
                lambda: alphabet.extend(symbols),
                injected=(HostileError, KeyboardInterrupt),
            )
            if result is not None:
                self.check_alphabet(result, list(alphabet.symbols) + list(symbols))
        elif r < 0.85:
            handle = rng.choice(
                [alphabet.handle, 0, -1, 2**63 - 1, self.raw_handle(), IndexOf(alphabet.handle)]
            )
            result, _ = self.attempt(
                f"Alphabet.from_handle({show(handle)})", lambda: ab.Alphabet.from_handle(handle)
            )
            if result is not None:
                self.check_alphabet(result)
        else:
            result, _ = self.attempt(
                f"pickle/copy {show(alphabet)}",
                lambda: (pickle.loads(pickle.dumps(alphabet)), copy.deepcopy(alphabet)),
            )
            if result is not None and not (
                result[0] == alphabet and hash(result[0]) == hash(alphabet)
            ):
                raise Failure(f"pickle of {show(alphabet)} gives {show(result[0])}")
            result = result[0] if result else None
        if isinstance(result, ab.Alphabet):
            self.alphabets.append(result)

    def raw_handle(self):
        """A handle of the raw module: a live one this episode holds, or a
        released one, which names nothing."""
        handle = m.Slice_int_CTor()
        if self.rng.random() < 0.5:
            m.IncRef(handle)
            self.raw[handle] = 1
        else:
            m.IncRef(handle)
            m.DecRef(handle)
        return handle

    # -- actions: encoding and decoding --
    def text_for(self, alphabet):
        """Symbols of `alphabet` (and now and then others), as a text, a
        buffer of characters or a list; and whether every one is a symbol."""
        rng = self.rng
        symbols = alphabet.symbols
        length = rng.choice([0, 1, 2, 5, 17, 64, 300]) if rng.random() < 0.97 else 70000
        chosen = rng.choices(symbols, k=length) if symbols else []
        if rng.random() < 0.25 and length:
            chosen[rng.randrange(length)] = rng.choice(
                ["?", "\0", "é", "\U0001f600", "a", "ACGT", "\ud800"]
            )
        one_char = all(len(s) == 1 for s in symbols)
        text = "".join(chosen)
        r = rng.random()
        if one_char and r < 0.5:
            return text, list(text)
        if one_char and r < 0.65 and all(ord(c) < 256 for c in text):
            raw = text.encode("latin-1")
            form = rng.choice(
                [
                    bytes,
                    bytearray,
                    memoryview,
                    lambda b: array.array("B", b),
                    lambda b: memoryview(b).cast("c"),
                    lambda b: BufferOf(b),
                ]
            )
            return form(raw), list(text)
        if r < 0.8:
            return chosen, chosen
        if r < 0.9:
            return Items(chosen, at=rng.randrange(length + 1)), None
        return rng.choice(
            [None, 5, [1, 2], memoryview(b"ACGT")[::2], array.array("H", [65]), Raises()]
        ), None

    def one_by_one(self, alphabet, chosen):
        """The codes of `chosen` one symbol at a time, or the AlphabetError at
        the first that has none (as (position,))."""
        codes = []
        for position, symbol in enumerate(chosen):
            try:
                codes.append(alphabet.encode(symbol))
            except ab.AlphabetError:
                return (position,)
        return codes

    def encode(self):
        alphabet = self.alphabet_or_standard()
        given, chosen = self.text_for(alphabet)
        injected = (HostileError,) if isinstance(given, (Items, Raises)) else ()
        result, exc = self.attempt(
            f"{show(alphabet)}.encode_all({show(given)})",
            lambda: alphabet.encode_all(given),
            injected=injected,
        )
        if chosen is None:
            return
        splits = not isinstance(given, list)
        if splits and not all(len(s) == 1 for s in alphabet.symbols):
            if not isinstance(exc, TypeError):
                raise Failure(f"encode_all of a text for a multi-character alphabet: {exc!r}")
            return
        expected = self.one_by_one(alphabet, chosen)
        if isinstance(expected, tuple):
            if not isinstance(exc, ab.AlphabetError) or exc.position != expected[0]:
                raise Failure(
                    f"encode_all: {exc!r} (position {getattr(exc, 'position', None)}); one "
                    f"symbol at a time refuses position {expected[0]}"
                )
            return
        if exc is not None:
            raise Failure(f"encode_all refused {show(given)}: {exc!r}; one at a time: {expected}")
        kind = bytes if len(alphabet) <= 256 else array.array
        if type(result) is not kind or list(result) != expected:
            raise Failure(f"encode_all gives {show(result)}; one at a time {show(expected)}")

    def codes_for(self, alphabet_size):
        """Codes as one of every container and buffer kind, their values (or
        None when they are not all integers), and the hostile exceptions."""
        rng = self.rng
        length = rng.choice([0, 1, 3, 16, 100]) if rng.random() < 0.97 else 70000
        size = max(alphabet_size, 1)
        values = rng.choices(range(size), k=length)
        if rng.random() < 0.2 and length:
            values[rng.randrange(length)] = rng.choice(
                [size, -1, 255, 256, 65535, 2**63, -(2**63), 2**64 + 3]
            )
        fits = {
            "b": (-128, 127),
            "B": (0, 255),
            "h": (-(2**15), 2**15 - 1),
            "H": (0, 2**16 - 1),
            "i": (-(2**31), 2**31 - 1),
            "I": (0, 2**32 - 1),
            "l": (-(2**63), 2**63 - 1),
            "L": (0, 2**64 - 1),
            "q": (-(2**63), 2**63 - 1),
            "Q": (0, 2**64 - 1),
        }
        r = rng.random()
        if r < 0.3:
            form = rng.choice([list, tuple, iter])
            return form(values), values, ()
        typecode = rng.choice("bBhHiIlLqQ")
        low, high = fits[typecode]
        values = [
            v if low <= v <= high else rng.randint(max(low, 0), min(high, size)) for v in values
        ]
        if r < 0.55:
            return array.array(typecode, values), values, ()
        if r < 0.65 and all(0 <= v < 256 for v in values):
            return rng.choice([bytes, bytearray])(values), values, ()
        if r < 0.75:
            ctype = {
                "b": ctypes.c_int8,
                "B": ctypes.c_uint8,
                "h": ctypes.c_int16,
                "H": ctypes.c_uint16,
                "i": ctypes.c_int32,
                "I": ctypes.c_uint32,
                "l": ctypes.c_int64,
                "L": ctypes.c_uint64,
                "q": ctypes.c_int64,
                "Q": ctypes.c_uint64,
            }[typecode]
            if rng.random() < 0.5:
                ctype = ctype.__ctype_be__
            return (ctype * len(values))(*values), values, ()
        if r < 0.8 and np is not None:
            dtype = np.dtype(typecode).newbyteorder(rng.choice("<>="))
            return np.array(values, dtype=dtype), values, ()
        if r < 0.87:
            return memoryview(array.array(typecode, values)), values, ()
        if r < 0.92:
            items = values[:]
            if items:
                hostile, raises = self.hostile_value("index")
                items[rng.randrange(len(items))] = hostile
                return items, None, raises
            return items, values, ()
        return (
            rng.choice(
                [
                    array.array("d", [1.0]),
                    memoryview(b"\0\1\2\3")[::2],
                    "ACGT",
                    Items([0, 1], at=1),
                    BufferOf(b"\0\1", then=HostileError),
                    BufferOf(HostileError),
                    [1.5],
                    [None],
                ]
            ),
            None,
            (HostileError,),
        )

    def decode(self):
        rng = self.rng
        alphabet = self.alphabet_or_standard()
        given, values, raises = self.codes_for(len(alphabet))
        how = rng.choice(["decode_all", "decode_str", "decode_all"])
        result, exc = self.attempt(
            f"{show(alphabet)}.{how}({show(given)})",
            lambda: getattr(alphabet, how)(given),
            injected=raises,
        )
        if values is None:
            return
        symbols = alphabet.symbols
        bad = next((i for i, v in enumerate(values) if not 0 <= v < len(symbols)), None)
        if how == "decode_str" and not all(len(s) == 1 for s in symbols):
            if not isinstance(exc, ab.AlphabetError):
                raise Failure(f"decode_str for a multi-character alphabet: {exc!r}")
            return
        if bad is not None:
            if not isinstance(exc, ab.AlphabetError) or exc.position != bad:
                raise Failure(f"{how}: {exc!r}; code {values[bad]} at {bad} is not a code")
            return
        if exc is not None:
            raise Failure(f"{how} refused {show(given)}: {exc!r}")
        expected = [alphabet.decode(v) for v in values]
        if how == "decode_str":
            expected = "".join(expected)
        if result != expected or type(result) is not type(expected):
            raise Failure(f"{how} gives {show(result)}, one at a time {show(expected)}")

    def complement_and_kmers(self):
        rng = self.rng
        alphabet = self.alphabet_or_standard()
        given, values, raises = self.codes_for(len(alphabet))
        if rng.random() < 0.5:
            table = alphabet._complements
            result, exc = self.attempt(
                f"{show(alphabet)}.reverse_complement({show(given)})",
                lambda: alphabet.reverse_complement(given),
                injected=raises,
            )
            if values is None or isinstance(given, type(iter([]))):
                return
            if table is None:
                if not isinstance(exc, TypeError):
                    raise Failure(f"reverse_complement without complements: {exc!r}")
                return
            if isinstance(exc, TypeError) and isinstance(given, ctypes.Array):
                return  # no copy() to make a result of its type with
            bad = next((i for i, v in enumerate(values) if not 0 <= v < len(table)), None)
            signed_bytes = (
                memoryview(given).format in ("b", "<b", ">b")
                if not isinstance(given, (list, tuple))
                else False
            )
            if isinstance(exc, OverflowError) and signed_bytes and max(table) > 127:
                return  # the complements do not fit signed one-byte codes
            if bad is not None:
                if not isinstance(exc, ab.AlphabetError) or exc.position != bad:
                    raise Failure(f"reverse_complement: {exc!r}; first bad code at {bad}")
                return
            expected = [table[v] for v in reversed(values)]
            if exc is not None or list(result) != expected or type(result) is not type(given):
                raise Failure(f"reverse_complement gives {show(result)}, expected {expected}")
            if list(given) != values:
                raise Failure(f"reverse_complement changed its input {show(given)}")
            return
        k = rng.choice([1, 2, 3, 5, 0, -1, 32, 2**70, IndexOf(2)])
        result, exc = self.attempt(
            f"{show(alphabet)}.kmers({show(given)}, {show(k)})",
            lambda: alphabet.kmers(given, k),
            injected=raises,
        )
        if values is None:
            return
        self.judge_kmers(values, operator.index(k), len(alphabet), result, exc)

    def judge_kmers(self, values, k, base, result, exc):
        bad = next((i for i, v in enumerate(values) if not 0 <= v < base), None)
        if k < 1 or (base >= 2 and (k > 64 or base**k > 2**64)):
            if not isinstance(exc, ValueError) or isinstance(exc, ab.AlphabetError):
                raise Failure(f"kmers(k={k}, base={base}): {exc!r}, expected ValueError")
            return
        if bad is not None:
            if not isinstance(exc, ab.AlphabetError) or exc.position != bad:
                raise Failure(f"kmers: {exc!r}; code {values[bad]} at {bad} is not below {base}")
            return
        if exc is not None:
            raise Failure(f"kmers refused codes {show(values)}: {exc!r}")
        expected = []
        for i in range(len(values) - k + 1):
            index = 0
            for code in values[i : i + k]:
                index = index * base + code
            expected.append(index % 2**64)
        if (
            not isinstance(result, array.array)
            or result.typecode != "Q"
            or list(result) != expected
        ):
            raise Failure(f"kmers gives {show(result)}, expected {show(expected)}")

    # -- actions: sequences --
    def values_for(self, kind):
        """Values to fill or extend a sequence of `kind` with, as a list, an
        iterable, a buffer or another sequence; their elements as stored, or
        the exception type; and the injected exceptions."""
        rng = self.rng
        count = rng.choice([0, 1, 2, 5, 20]) if rng.random() < 0.98 else 70000
        r = rng.random()
        if r < 0.45:
            values, raises = [], ()
            for _ in range(count):
                if count > 100:
                    values = plain_values(rng, kind, count)
                    break
                value, hostile = (
                    self.kind_value(kind)
                    if rng.random() < 0.2
                    else (plain_values(rng, kind, 1)[0], ())
                )
                values.append(value)
                raises += hostile
            form = rng.choice([list, tuple, list])
            return form(values), self.expected_elements(kind, values), raises
        if r < 0.55:
            values = plain_values(rng, kind, count)
            at = rng.randrange(count + 2) if rng.random() < 0.5 else None
            error = rng.choice([HostileError, KeyboardInterrupt])
            expected = error if at is not None else self.expected_elements(kind, values)
            return Items(values, at=at, error=error), expected, (error,)
        if r < 0.75 and TYPECODES.get(kind):
            own = TYPECODES[kind]
            typecode = own if rng.random() < 0.7 else rng.choice(ALL_TYPECODES)
            values = plain_values(rng, kind, count)
            try:
                buffer = array.array(typecode, values)
            except (OverflowError, TypeError):
                buffer = array.array(own, values)
                typecode = own
            form = rng.choice([lambda a: a, memoryview, lambda a: BufferOf(a)])
            if kind in ("byte", "uint8"):  # any bytes-like object, as raw bytes
                return form(buffer), list(memoryview(buffer).cast("B")), ()
            accepted = item_type(typecode) == item_type(own)
            return (
                form(buffer),
                (self.expected_elements(kind, list(buffer)) if accepted else TypeError),
                (),
            )
        if r < 0.75 and kind == "bool":
            values = rng.choices([False, True], k=count)
            return memoryview(bytes(values)).cast("?"), values, ()
        if r < 0.85 and self.sequences:
            source, model = rng.choice(self.sequences)
            elements = model.items()
            return source, self.expected_elements(kind, elements), ()
        if r < 0.9 and kind in ("byte", "uint8"):
            raw = bytes(rng.choices(range(256), k=count))
            return rng.choice([bytes, bytearray, memoryview])(raw), list(raw), ()
        return (
            rng.choice(
                [
                    None,
                    5,
                    Raises(),
                    memoryview(b"abcdef")[::2],
                    BufferOf(HostileError),
                    {"a": 1},
                    "text",
                ]
            ),
            None,
            (HostileError,),
        )

    def expected_elements(self, kind, values):
        elements = []
        for value in values:
            element = stored(kind, value)
            if isinstance(element, type):
                return element
            elements.append(element)
        return elements

    def new_sequence(self):
        rng = self.rng
        kind = rng.choice(KINDS + ("int16", "string", "byte", "float64"))
        given, expected, raises = self.values_for(kind)
        seq, exc = self.attempt(
            f"sequence({kind!r}, {show(given)})",
            lambda: ab.sequence(kind, given),
            injected=raises + (HostileError, KeyboardInterrupt),
        )
        if seq is None:
            if isinstance(expected, list):
                raise Failure(f"sequence({kind!r}, {show(given)}) refused: {exc!r}")
            return
        if not isinstance(expected, list):
            if expected is None:
                expected = list(seq)  # a buffer whose acceptance is not modelled
            else:
                raise Failure(f"sequence({kind!r}, {show(given)}) made, expected {expected}")
        model = SeqModel(kind, list(expected), 0, len(expected), len(expected))
        model.capacity = capacity_of(kind, seq.handle)
        model.block += [ZERO[kind]] * (model.capacity - model.length)
        self.check_sequence(seq, model)
        self.sequences.append((seq, model))

    def check_sequence(self, seq, model):
        got = list(seq)
        if not same_lists(got, model.items()):
            raise Failure(f"{seq.kind} sequence holds {show(got)}, the model {show(model.items())}")
        if len(seq) != model.length:
            raise Failure(f"len {len(seq)}, the model {model.length}")

    def change_sequence(self):
        rng = self.rng
        if not self.sequences:
            return self.new_sequence()
        seq, model = rng.choice(self.sequences)
        kind = model.kind
        r = rng.random()
        if r < 0.3:
            value, raises = self.kind_value(kind)
            expected = stored(kind, value)
            _, exc = self.attempt(
                f"seq.append({show(value)})", lambda: seq.append(value), injected=raises
            )
            self.judge_store(expected, exc, raises, lambda: model.append(expected))
        elif r < 0.55:
            given, expected, raises = self.values_for(kind)
            if given is seq:
                expected = list(expected) if isinstance(expected, list) else expected
            _, exc = self.attempt(
                f"seq.extend({show(given)})",
                lambda: seq.extend(given),
                injected=raises + (HostileError, KeyboardInterrupt),
            )
            if exc is None and isinstance(expected, list):
                for element in expected:
                    model.append(element)
            elif exc is None and expected is None:
                for element in list(seq)[model.length :]:  # what it took, as it took it
                    model.append(element)
            elif exc is None:
                raise Failure(f"seq.extend({show(given)}) took values that raise {expected}")
            elif isinstance(expected, list):
                raise Failure(f"seq.extend({show(given)}) refused: {exc!r}")
        elif r < 0.8:
            index = rng.choice(
                [
                    0,
                    1,
                    -1,
                    model.length,
                    -model.length - 1,
                    2**31,
                    2**63,
                    IndexOf(0),
                    "0",
                    1.0,
                    Raises(),
                ]
            )
            value, raises = self.kind_value(kind)
            if isinstance(value, Reentrant):
                value = value.value  # a nested append could make a bad index good meanwhile
            raises += (HostileError,) if isinstance(index, Raises) else ()
            position = position_of(index, model.length)
            _, exc = self.attempt(
                f"seq[{show(index)}] = {show(value)}",
                lambda: seq.__setitem__(index, value),
                injected=raises,
            )
            if isinstance(position, type):
                # A plain index at or past the end is bounded by the library,
                # after the value is converted: the conversion fails first.
                converted = stored(kind, value)
                late = isinstance(index, (int, IndexOf)) and 0 <= operator.index(index) < 2**31
                if late and isinstance(converted, type):
                    position = converted
                if not isinstance(exc, (position,) + raises):
                    raise Failure(
                        f"seq[{show(index)}] = ...: {exc!r}, expected {position.__name__}"
                    )
                return
            expected = stored(kind, value)
            self.judge_store(
                expected,
                exc,
                raises,
                lambda: model.block.__setitem__(model.start + position, expected),
            )
        else:
            self.view_or_read(seq, model)
        self.check_sequence(seq, model)

    def judge_store(self, expected, exc, raises, apply):
        if isinstance(expected, type):
            if exc is None or not isinstance(exc, (expected,) + raises):
                raise Failure(f"a value that raises {expected.__name__} gave {exc!r}")
            return
        if exc is not None:
            raise Failure(f"a value that stores as {show(expected)} raised {exc!r}")
        apply()

    def view_or_read(self, seq, model):
        rng = self.rng
        r = rng.random()
        if r < 0.35:
            start = rng.choice([0, 1, -1, None, -(2**40)])
            stop = rng.choice([None, 0, 2, -1, 2**31 + 5, 10**20])
            step = rng.choice([None, None, 1, 2, -1])
            key = slice(start, stop, step)
            view, exc = self.attempt(f"seq[{show(key)}]", lambda: seq[key])
            begin, end, stride = key.indices(model.length)
            if stride != 1:
                if not isinstance(exc, ValueError):
                    raise Failure(f"seq[{show(key)}]: {exc!r}, expected ValueError")
                return
            end = max(begin, end)
            if end >= 2**31:
                if not isinstance(exc, IndexError):
                    raise Failure(f"seq[{show(key)}] out of reach: {exc!r}")
                return
            if exc is not None:
                raise Failure(f"seq[{show(key)}] refused: {exc!r}")
            child = SeqModel(
                model.kind, model.block, model.start + begin, end - begin, model.capacity - begin
            )
            self.check_sequence(view, child)
            self.sequences.append((view, child))
        elif r < 0.5:
            # Iterating while appending: the elements there were when it began.
            before = model.items()
            seen = []
            value = plain_values(rng, model.kind, 1)[0]

            def iterate():
                for element in seq:
                    seen.append(element)
                    if len(seen) <= 3:
                        seq.append(value)

            _, exc = self.attempt("for x in seq: seq.append(...)", iterate)
            if exc is not None:
                raise Failure(f"iterating while appending raised {exc!r}")
            for _ in range(min(len(before), 3)):
                model.append(value)
            if not same_lists(seen, before):
                raise Failure(
                    f"iteration while appending saw {show(seen)}, expected {show(before)}"
                )
        elif r < 0.7 and (TYPECODES.get(model.kind) or model.kind == "bool"):
            view, exc = self.attempt("memoryview(seq)", lambda: memoryview(seq))
            if exc is not None:
                raise Failure(f"memoryview of a {model.kind} sequence: {exc!r}")
            if not same_lists(view.tolist(), model.items()):
                raise Failure(f"memoryview(seq) holds {show(view.tolist())}")
            view.release()
        elif r < 0.8:
            result, exc = self.attempt(
                "pickle/copy seq", lambda: (pickle.loads(pickle.dumps(seq)), copy.copy(seq))
            )
            if exc is not None or not all(same_lists(list(r), model.items()) for r in result):
                raise Failure(f"copies of a sequence: {exc!r}")
            for copied in result:
                self.sequences.append(
                    (
                        copied,
                        SeqModel(
                            model.kind,
                            model.items(),
                            0,
                            model.length,
                            capacity_of(model.kind, copied.handle),
                        ),
                    )
                )
                self.sequences[-1][1].block += [ZERO[model.kind]] * (
                    self.sequences[-1][1].capacity - model.length
                )
        else:
            probe, raises = self.kind_value(model.kind)
            how = rng.choice(["in", "index", "count", "==", "repr", "del", "slice="])
            calls = {
                "in": lambda: probe in seq,
                "index": lambda: seq.index(probe, rng_start, 2**70),
                "count": lambda: seq.count(probe),
                "==": lambda: seq == [probe] and seq != model.items(),
                "repr": lambda: repr(seq),
                "del": lambda: seq.__delitem__(0),
                "slice=": lambda: seq.__setitem__(slice(0, 1), [probe]),
            }
            rng_start = rng.choice([0, -1, -(2**70)])
            _, exc = self.attempt(
                f"seq {how} {show(probe)}", calls[how], injected=raises + (HostileError,)
            )
            if how in ("del", "slice=") and not isinstance(exc, TypeError):
                raise Failure(f"seq {how}: {exc!r}, expected TypeError")

    def interrupted_bulk(self):
        """A timer's Ctrl-C lands somewhere in a long fill, extend or export:
        the call either completes or changes nothing."""
        rng = self.rng
        kind = rng.choice(["int8", "float64", "bool", "uint64", "int32"])
        values = plain_values(rng, kind, 150000)
        delay = rng.uniform(0.0002, 0.01)
        target = ab.sequence(kind, values[:3])
        self.track(target)
        what = rng.choice(["fill", "extend", "extend buffer", "export"])
        if what == "export":
            target.extend(values)
        buffer = array.array(TYPECODES[kind], values) if TYPECODES[kind] else values
        operation = {
            "fill": lambda: ab.sequence(kind, values),
            "extend": lambda: target.extend(values),
            "extend buffer": lambda: target.extend(buffer),
            "export": lambda: bytes(memoryview(target)),
        }[what]

        def call():
            with Alarm(delay):
                return operation()

        result, exc = self.attempt(
            f"[Ctrl-C after {delay:.4f}s] {what} {kind} x150000",
            call,
            injected=(KeyboardInterrupt,),
        )
        # All or nothing; the interrupt may also come just after the call
        # completed, on its way back.
        complete = values[:3] + values
        if what.startswith("extend") and not (
            same_lists(list(target), complete) or (exc and same_lists(list(target), values[:3]))
        ):
            raise Failure(f"an interrupted extend left {len(target)} of {len(complete)} elements")
        if what == "fill" and exc is None and not same_lists(list(result), values):
            raise Failure("a fill that completed under a timer holds other values")

    # -- actions: reading --
    def new_file(self, data):
        self.files += 1
        path = os.path.join(self.workdir, f"input{self.files}")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def outcome(self, label, make, alphabet, limit):
        """What reading gives: the records and errors in order, each as a
        tuple; a source fault raises."""
        reader, exc = self.attempt(label, make, allowed=DOCUMENTED + (OSError,))
        if exc is not None:
            return [("refused", type(exc).__name__)]
        items = []
        for _ in range(limit):
            try:
                record = next(reader)
            except StopIteration:
                items.append(("end",))
                break
            except ab.FormatError as error:
                items.append(("FormatError", error.line, str(error)))
                try:
                    next(reader)
                except StopIteration:
                    pass
                else:
                    raise Failure(f"{label}: a record after {error!r}")
                break
            except ab.AlphabetError as error:
                items.append(("AlphabetError", str(error)))
                continue
            fields = (record.id, record.description, record.sequence, record.quality)
            if not all(isinstance(f, str) for f in fields[:2]):
                raise Failure(f"{label}: record fields {show(fields)}")
            items.append(
                ("record",)
                + tuple(bytes(f) if isinstance(f, (bytearray, array.array)) else f for f in fields)
            )
        else:
            raise Failure(f"{label}: more than {limit} items")
        if not reader.closed:
            raise Failure(f"{label}: the reader is not closed at the end of its input")
        return items

    def read_files(self):
        rng = self.rng
        fastq = rng.random() < 0.5
        records = make_records(rng, fastq)
        data = render(rng, records, fastq)
        corrupted = rng.random() < 0.4
        if corrupted:
            data = corrupt(rng, data)
        alphabet = None
        if rng.random() < 0.4:
            alphabet = rng.choice(
                [
                    ab.dna(),
                    ab.iupac_dna(),
                    ab.Alphabet("ACGTN", ignore_case=True),
                    ab.Alphabet("ACGT", unknown="A"),
                ]
            )
            self.track(alphabet)
            if alphabet is None:
                return
        zipped = gzip.compress(data, mtime=0)
        chunk = rng.choice([1, 3, 64, 1 << 20])
        sources = [
            ("path", lambda: ab.read(self.new_file(data), alphabet=alphabet)),
            ("gzip path", lambda: ab.read(self.new_file(zipped), alphabet=alphabet)),
            ("BytesIO", lambda: ab.read(io.BytesIO(data), alphabet=alphabet)),
            (
                f"Trickle {chunk}",
                lambda: open_reader(Trickle(data, rng.randint(1, 9)), alphabet, chunk),
            ),
            (
                f"ReadOnly {chunk}",
                lambda: open_reader(ReadOnly(data, rng.randint(1, 9)), alphabet, chunk),
            ),
            ("gzip stream", lambda: open_reader(Trickle(zipped, 7), alphabet, chunk)),
        ]
        limit = len(records) + len(data) + 5
        first = None
        for name, make in rng.sample(sources, rng.randint(2, len(sources))):
            outcome = self.outcome(
                f"read({name}, {len(data)} bytes, alphabet={show(alphabet)})", make, alphabet, limit
            )
            if first is None:
                first = (name, outcome)
            elif outcome != first[1]:
                raise Failure(
                    f"reading from {name} gives {show(outcome)}; from {first[0]} {show(first[1])}"
                )
        if alphabet is not None and not all(len(s) == 1 for s in alphabet.symbols):
            if first[1] != [("refused", "TypeError")]:
                raise Failure(f"read with an alphabet of longer symbols: {show(first[1])}")
            return
        if not corrupted:
            expected = []
            for rid, description, sequence, quality in records:
                if alphabet is None:
                    expected.append(("record", rid, description, sequence, quality))
                    continue
                try:
                    codes = alphabet.encode_all(sequence)
                except ab.AlphabetError:
                    expected.append("AlphabetError")
                    continue
                expected.append(("record", rid, description, bytes(codes), quality))
            got = [item if item[0] != "AlphabetError" else "AlphabetError" for item in first[1]]
            if got != expected + [("end",)]:
                raise Failure(f"read of {show(data)} gives {show(got)}, written {show(expected)}")

    def misbehaving_source(self):
        rng = self.rng
        data = render(rng, make_records(rng, False), False)
        fault = rng.choice(Misbehaving.FAULTS)
        box = []
        source = Misbehaving(data, fault, rng.randint(1, 4), rng.random() < 0.5, box)
        chunk = rng.choice([1, 4, 64])
        reader, exc = self.attempt(
            f"read({show(source)})",
            lambda: open_reader(source, None, chunk),
            allowed=DOCUMENTED + (OSError,),
            injected=(HostileError, KeyboardInterrupt),
        )
        if reader is None:
            return
        box.append(reader)
        for _ in range(len(data) + 10):
            item, exc = self.attempt(
                "next(reader)",
                lambda: next(reader),
                allowed=DOCUMENTED + (OSError, StopIteration),
                injected=(HostileError, KeyboardInterrupt),
            )
            if isinstance(exc, StopIteration):
                break
            if isinstance(exc, ab.FormatError) and not reader.closed:
                raise Failure("the reader is open after a FormatError")
        else:
            raise Failure(f"a reader of {len(data)} bytes from {show(source)} never ended")
        box.clear()

    # -- actions: the native module directly --
    def native_codec(self):
        rng = self.rng
        symbols, clean = self.random_symbols()
        if isinstance(symbols, str) and rng.random() < 0.8:
            symbols = tuple(symbols)
        spellings = rng.choice(
            [
                None,
                {"u": 0},
                {"zz": 1, "Q": 0},
                {"a": 99},
                {3: 0},
                [("a", 0)],
                {"x": Raises()},
                {"x": IndexOf(0)},
                Raises(),
            ]
        )
        unknown = rng.choice([None, 0, 1, -1, 2**64, IndexOf(0), Raises(), "A"])
        ignore_case = rng.choice([False, True, Raises()])
        codec, exc = self.attempt(
            f"Codec({show(symbols)}, spellings={show(spellings)}, unknown={show(unknown)}, ignore_case={show(ignore_case)})",
            lambda: n.Codec(symbols, spellings=spellings, unknown=unknown, ignore_case=ignore_case),
            injected=(HostileError, KeyboardInterrupt),
        )
        if codec is None:
            return
        pool = codec_symbols(codec, symbols) or ["?"]
        text = "".join(rng.choices(pool, k=rng.choice([0, 5, 70000]))) + rng.choice(["", "?", "a"])
        one, exc_one = [], None
        for position, c in enumerate(text if codec.one_char else []):
            try:
                one.append(codec.encode_one(c))
            except ab.AlphabetError:
                exc_one = position
                break
        result, exc = self.attempt(f"codec.encode({show(text)})", lambda: codec.encode(text))
        if codec.one_char and exc_one is None and (exc is not None or list(result) != one):
            raise Failure(f"codec.encode gives {show(result)} / {exc!r}, encode_one {show(one)}")
        if codec.one_char and exc_one is not None and getattr(exc, "position", None) != exc_one:
            raise Failure(f"codec.encode: {exc!r}, encode_one refuses position {exc_one}")

    def native_bulk(self):
        rng = self.rng
        given, values, raises = self.codes_for(rng.choice([2, 4, 20, 256]))
        r = rng.random()
        if r < 0.4:
            table = rng.choice(
                [
                    bytes([3, 2, 1, 0]),
                    bytes(range(256))[::-1],
                    b"",
                    array.array("H", [1]),
                    memoryview(b"\1\0"),
                    bytearray(b"\0" * 300),
                    Raises(),
                    "abc",
                ]
            )
            result, exc = self.attempt(
                f"reverse_translate({show(given)}, {show(table)})",
                lambda: n.reverse_translate(given, table),
                injected=raises + (HostileError,),
            )
            if values is None or not isinstance(table, bytes) or isinstance(given, type(iter([]))):
                return
            if isinstance(exc, TypeError) and isinstance(given, ctypes.Array):
                return  # no copy() to make a result of its type with
            bad = next((i for i, v in enumerate(values) if not 0 <= v < len(table)), None)
            if bad is not None:
                if exc is not None and not isinstance(exc, (ab.AlphabetError, OverflowError)):
                    raise Failure(f"reverse_translate: {exc!r}; code at {bad} is outside the table")
                return
            if exc is None and list(result) != [table[v] for v in reversed(values)]:
                raise Failure(f"reverse_translate gives {show(result)}")
        elif r < 0.8:
            k = rng.choice([1, 2, 3, 0, -5, 2**64, 2**70, IndexOf(3), Raises()])
            base = rng.choice(
                [0, 1, 2, 3, 4, 20, 256, 2**32, 2**64, 2**64 + 1, -1, IndexOf(4), Raises()]
            )
            result, exc = self.attempt(
                f"kmers({show(given)}, {show(k)}, {show(base)})",
                lambda: n.kmers(given, k, base),
                injected=raises + (HostileError,),
            )
            if values is None or isinstance(k, Raises) or isinstance(base, Raises):
                return
            k, base = operator.index(k), operator.index(base)
            if base < 0 or base > 2**64 or (base == 2**64 and k != 1):
                if not isinstance(exc, ValueError):
                    raise Failure(f"kmers with base {base}: {exc!r}")
                return
            self.judge_kmers(values, k, base, result, exc)
        else:
            result, exc = self.attempt(
                f"format_codes({show(given)})",
                lambda: n.format_codes(given),
                injected=raises + (HostileError,),
            )
            if exc is None and values is not None and result != " ".join(map(str, values)).encode():
                raise Failure(f"format_codes gives {show(result)} for {show(values)}")

    def native_objects(self):
        rng = self.rng
        r = rng.random()
        classes = [ab.Alphabet, Owner, ab.ByteSequence, int, KIND_CLASSES["int8"]]
        if r < 0.25:
            cls = rng.choice(classes)
            held = self.pick(self.alphabets + [s for s, _ in self.sequences])
            handle = rng.choice(
                [held.handle if held else 0, 0, -1, 2**63 - 1, 2**64, "1", self.raw_handle()]
            )
            self.attempt(f"adopt({cls.__name__}, {show(handle)})", lambda: n.adopt(cls, handle))
        elif r < 0.45:
            cls = rng.choice(classes)
            symbols, _ = self.random_symbols()
            self.attempt(
                f"new_alphabet({cls.__name__}, {show(symbols)})",
                lambda: n.new_alphabet(cls, symbols),
                injected=(HostileError, KeyboardInterrupt),
            )
        elif r < 0.6:
            target = self.pick(self.alphabets + [s for s, _ in self.sequences]) or 5
            symbols, _ = self.random_symbols()
            self.attempt(
                f"extend_alphabet({show(target)}, {show(symbols)})",
                lambda: n.extend_alphabet(target, symbols),
                injected=(HostileError, KeyboardInterrupt),
            )
            self.attempt(f"alphabet_symbols({show(target)})", lambda: n.alphabet_symbols(target))
        elif r < 0.7:
            cls = rng.choice(classes)
            name = rng.choice(["dna", "rna", "protein", "DNA", "", "x" * 1000, 5, "\ud800"])
            self.attempt(
                f"standard_alphabet({cls.__name__}, {show(name)})",
                lambda: n.standard_alphabet(cls, name),
            )
        elif r < 0.8:
            fields = [
                rng.choice(["id", 5, None, Raises()]),
                rng.choice(["", b""]),
                rng.choice(["ACGT", b"\0", [1]]),
                rng.choice([None, "I", 3]),
            ]
            record, exc = self.attempt(f"Record(*{show(fields)})", lambda: n.Record(*fields))
            if record is not None:
                self.attempt(
                    "record ops",
                    lambda: (
                        repr(record),
                        pickle.loads(pickle.dumps(record)) == record,
                        hash(record) if not isinstance(record.sequence, list) else 0,
                    ),
                )
        elif r < 0.9:
            kind = rng.choice(["int8", "string", "nope", 5, None, "\ud800"])
            cls = type("Custom", (ab.Sequence,), {"__slots__": (), "kind": kind})
            self.attempt(
                f"Sequence subclass of kind {show(kind)}",
                lambda: cls([1]),
                injected=(HostileError,),
            )
        else:
            data = b">r\nACGT\n"
            table = rng.choice(
                [
                    None,
                    [0] * 256,
                    [0] * 255,
                    [-2] * 256,
                    [Raises()] + [0] * 255,
                    [IndexOf(1)] * 256,
                    Raises(),
                    "x" * 256,
                ]
            )
            encode = rng.choice([None, str, len, Raises(), 5, raise_hostile])
            options = dict(
                fd=rng.choice([-1, -1, -7, 2**31, 10**6]),
                head=rng.choice([b"", b">", b"\x1f\x8b", "text", Raises(), memoryview(b">x")[::2]]),
                closer=rng.choice([None, lambda: None, raise_hostile, 5]),
                table=table,
                encode=encode,
                chunk_size=rng.choice([1, 7, 0, -1, 2**62, 1 << 20]),
            )
            options = {key: value for key, value in options.items() if rng.random() < 0.4}
            source = rng.choice([io.BytesIO(data), ReadOnly(data, 3), object(), None])
            huge = options.get("chunk_size") == 2**62
            allowed = DOCUMENTED + (OSError, AttributeError) + ((MemoryError,) if huge else ())
            reader, _ = self.attempt(
                f"Reader({show(source)}, **{show(options)})",
                lambda: n.Reader(source, **options),
                allowed=allowed,
                injected=(HostileError,),
            )
            if reader is not None:
                self.attempt(
                    "list(reader)", lambda: list(reader), allowed=allowed, injected=(HostileError,)
                )

    def drop(self):
        """Lets objects go, so that their entries go too."""
        rng = self.rng
        for pool in (self.alphabets, self.sequences):
            while pool and (len(pool) > 10 or rng.random() < 0.3):
                pool.pop(rng.randrange(len(pool)))
        for handle in list(self.raw):
            if rng.random() < 0.3:
                m.DecRef(handle)
                del self.raw[handle]
        if rng.random() < 0.2:
            previous = n.use_kernel_path(rng.choice(n.kernel_paths()))
            self.say(f"use_kernel_path (was {previous})")

    def draw_action(self):
        r = self.rng.random() * self.total_weight
        for name, action, weight in self.actions:
            if r < weight:
                return name, action
            r -= weight
        return self.actions[-1][:2]

    def nested(self):
        self.depth += 1
        try:
            self.step()
        finally:
            self.depth -= 1

    WEIGHTS = [
        ("new_alphabet", 6),
        ("standard", 2),
        ("reshape_alphabet", 4),
        ("encode", 10),
        ("decode", 8),
        ("complement_and_kmers", 6),
        ("new_sequence", 8),
        ("change_sequence", 14),
        ("interrupted_bulk", 1),
        ("read_files", 3),
        ("misbehaving_source", 2),
        ("native_codec", 3),
        ("native_bulk", 5),
        ("native_objects", 5),
        ("drop", 4),
    ]

    def step(self):
        name, action = self.draw_action()
        if self.depth and name == "interrupted_bulk":
            return  # a timer is one at a time
        self.counts[name] = self.counts.get(name, 0) + 1
        action()
        if self.depth == 0:
            self.check_accounting(name)

    # -- an episode --
    def episode(self, calls, progress=None, seed=0):
        self.alphabets, self.sequences, self.held, self.raw = [], [], {}, {}
        self.saved = {name: getattr(ab, name)() for name in ("dna", "rna", "protein")}
        self.track(list(self.saved.values()))
        gc.collect()
        self.base = m.NumHandles() - len(self.live_handles())
        witness = Witness()
        self.track(witness.objects())
        for i in range(calls):
            self.top = i
            if progress is not None:
                progress.mark(seed, i)
            self.step()
        witness.check()
        for name, alphabet in self.saved.items():
            getattr(ab, f"set_{name}")(alphabet)
        for handle, count in self.raw.items():
            for _ in range(count):
                m.DecRef(handle)
        self.alphabets, self.sequences, self.raw, self.saved = [], [], {}, {}
        del witness
        gc.collect()
        self.check_accounting("the end of the episode")
        if self.base + len(self.live_handles()) != m.NumHandles():
            raise Failure("entries left at the end of the episode")


class Owner(n.Held):
    __slots__ = ("extra",)


def raise_hostile(*args):
    raise HostileError("callback")


def item_type(typecode):
    """(signed/unsigned/float, size) of an array type code's items."""
    kind = "f" if typecode in "fd" else ("u" if typecode.isupper() else "s")
    return kind, array.array(typecode).itemsize


def codec_symbols(codec, symbols):
    try:
        return [s for s in symbols if isinstance(s, str) and len(s) == 1]
    except TypeError:
        return []


def position_of(index, length):
    """The position seq[index] = v writes, or the exception type."""
    if isinstance(index, Raises):
        return HostileError
    if not isinstance(index, (int, IndexOf)):
        return TypeError
    index = operator.index(index)
    if index >= 2**31:
        return IndexError
    if index < 0:
        index += length
    return index if 0 <= index < length else IndexError


def flush_signals():
    """Runs a pending signal handler now, inside the call that caused it."""
    for _ in range(2):
        pass


class Alarm:
    """Ctrl-C from a timer after `delay` seconds, while the block runs."""

    armed = False

    def __init__(self, delay):
        self.delay = delay

    def __enter__(self):
        Alarm.armed = True
        self.previous = signal.signal(signal.SIGALRM, Alarm.fire)
        signal.setitimer(signal.ITIMER_REAL, self.delay)

    @staticmethod
    def fire(signum, frame):
        if Alarm.armed:
            Alarm.armed = False
            raise KeyboardInterrupt("timer")

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        Alarm.armed = False
        signal.signal(signal.SIGALRM, self.previous)


class Witness:
    """Objects no action sees, checked at the end of the episode: a corrupted
    heap shows up here even without a sanitizer."""

    def __init__(self):
        complements = {"witness": "é", "é": "witness", "\U0001f600": "\U0001f600"}
        self.alphabet = ab.Alphabet(["witness", "é", "\U0001f600"], complements=complements)
        self.ints = ab.sequence("int64", [-(2**63), 0, 2**63 - 1])
        self.texts = ab.sequence("string", ["witness", "", "日本"])
        self.view = self.ints[1:]

    def objects(self):
        return [self.alphabet, self.ints, self.texts, self.view]

    def check(self):
        state = (
            self.alphabet.encode_all(["é", "\U0001f600", "witness"]),
            list(self.ints),
            list(self.texts),
            list(self.view),
            self.alphabet.reverse_complement([0, 2]),
        )
        if state != (
            b"\x01\x02\x00",
            [-(2**63), 0, 2**63 - 1],
            ["witness", "", "日本"],
            [0, 2**63 - 1],
            [2, 1],
        ):
            raise Failure(f"witness objects changed: {show(state)}")


# ---- Entry points ---------------------------------------------------------


def unraisable_hook(fuzzer):
    """Unraisable exceptions (a closer or __release_buffer__ raising while
    nothing can take the exception) must be the hostile objects' own."""

    def hook(report):
        if not isinstance(report.exc_value, (HostileError, KeyboardInterrupt)):
            fuzzer.unraisable.append(f"{report.exc_type.__name__}: {report.exc_value}")

    return hook


def run_child(args):
    fuzzer = Fuzzer(0, workdir=tempfile.mkdtemp(prefix="package-fuzz-"))
    sys.unraisablehook = unraisable_hook(fuzzer)

    def episode(seed, progress):
        fuzzer.rng = fuzzer.random.Random(seed)
        fuzzer.episode(args.calls, progress, seed)
        if fuzzer.unraisable:
            raise Failure(f"unraisable exceptions: {fuzzer.unraisable[:5]}")

    def summary():
        return {"calls": fuzzer.calls, "counts": fuzzer.counts, "raised": fuzzer.raised}

    return campaign.run_child("package_fuzz", args, episode, summary)


def run_campaign(args):
    outcome = campaign.run_campaign("package_fuzz", args)
    if outcome.code != 0:
        return outcome.failed("package_fuzz", outcome.lines)
    result = outcome.summary
    last = args.seed + result["episodes"] - 1
    print(
        f"package_fuzz: {result['episodes']} episodes (seeds {args.seed}..{last}), "
        f"{result['calls']} calls in {sum(result['counts'].values())} actions of "
        f"{len(result['counts'])} kinds in "
        f"{outcome.seconds:.0f}s; exceptions: {dict(sorted(result['raised'].items()))}"
    )
    if outcome.lines:
        print(
            "package_fuzz: FAILED: unexpected output on stderr:\n" + "\n".join(outcome.lines[:50]),
            file=sys.stderr,
        )
        return 1
    return 0


def run_replay(args):
    log = (lambda line: print(line, flush=True)) if args.verbose else None
    fuzzer = Fuzzer(args.seed, log)
    sys.unraisablehook = unraisable_hook(fuzzer)
    try:
        fuzzer.episode(args.calls, seed=args.seed)
        if fuzzer.unraisable:
            raise Failure(f"unraisable exceptions: {fuzzer.unraisable[:5]}")
    except Failure:
        traceback.print_exc()
        print(
            f"package_fuzz: FAILED in episode seed {args.seed} at call {fuzzer.top}",
            file=sys.stderr,
        )
        return 1
    print(f"package_fuzz: episode seed {args.seed}: {fuzzer.calls} calls passed")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    campaign.add_arguments(parser, 150, "actions per episode")
    args = parser.parse_args()
    if args.child:
        return run_child(args)
    if args.time is not None:
        return run_campaign(args)
    return run_replay(args)


if __name__ == "__main__":
    sys.exit(main())
