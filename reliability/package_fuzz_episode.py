"""An episode of the package fuzzer: the bookkeeping every action goes
through (each call's exception judged, every package object tracked by a
weak reference, NumHandles checked after each top-level action), the draws
that more than one room uses, and the witness objects no action sees.
"""

import array
import ctypes
import gc
import random
import sys
import tempfile
import weakref

import campaign
from campaign import Failure, HostileError
from package_fuzz_hostile import (
    DOCUMENTED,
    BufferOf,
    IndexOf,
    Items,
    Raises,
    Reentrant,
    WrongResult,
    flush_signals,
    show,
)

import _alphabet as m
import alphabet as ab
from alphabet import _native as n

try:
    import numpy as np
except ImportError:  # optional: its arrays are one more kind of buffer
    np = None


class Episode(campaign.Steps):
    """What the rooms' action classes build on; the fuzzer that composes
    them names its actions and their weights in WEIGHTS."""

    def __init__(self, seed, log=None, workdir=None):
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

    # -- draws and checks that more than one room uses --
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

    # -- the action every room's objects meet --
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

    # -- drawing and running actions --
    def draw_action(self):
        r = self.rng.random() * self.total_weight
        for name, action, weight in self.actions:
            if r < weight:
                return name, action
            r -= weight
        return self.actions[-1][:2]

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
        self.steps(calls, progress, seed)
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

    def catch_unraisable(self):
        """Unraisable exceptions (a closer or __release_buffer__ raising while
        nothing can take the exception) must be the hostile objects' own;
        others are kept for check_unraisable."""

        def hook(report):
            if not isinstance(report.exc_value, (HostileError, KeyboardInterrupt)):
                self.unraisable.append(f"{report.exc_type.__name__}: {report.exc_value}")

        sys.unraisablehook = hook

    def check_unraisable(self):
        if self.unraisable:
            raise Failure(f"unraisable exceptions: {self.unraisable[:5]}")


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
