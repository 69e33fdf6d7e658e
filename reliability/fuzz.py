#!/usr/bin/env python3
"""Seeded random calls of every method of _alphabet with hostile arguments.

An episode is the sequence of calls drawn from one seed.  It starts from the
library's own state (standard alphabets in place, no handle of ours alive),
makes `--calls` calls chosen among all the module's methods, then puts the
standard alphabets back, releases every handle it took and checks that
NumHandles is where it started.  Arguments are drawn from each parameter's
type: nil, released, wrong-kind, never-issued and out-of-range handles,
extreme and negative integers, odd texts (empty, non-ASCII, long, lone
surrogates, embedded NUL), objects of the wrong type and objects whose
conversions raise, with wrong argument counts and keywords now and then.

A model of the handles the episode made (kind, count, alive) checks every
call: the exception must be one the library documents (TypeError,
ValueError, IndexError, OverflowError, RuntimeError; never MemoryError or
SystemError), NumHandles must equal the live handles of the model after
each call, a new handle must be larger than every earlier one, and a call
whose arguments all parse is held to the documented outcome for the state of
its handles (TypeError exactly for a handle of another kind, the neutral
result for a handle naming nothing, results of the right type and range).

Campaign, as CI runs it (episodes seed, seed+1, ... in a child process, until
the time is up; a crash or hang is reported with the seed and call count):
    python reliability/fuzz.py --time 120 --seed 1
Replay one episode in this process, printing every call:
    python reliability/fuzz.py --seed N --calls K -v
"""

import array
import importlib
import math
import os
import random
import re
import struct
import sys

import campaign
from campaign import INTEGER_RANGES, Failure, HostileError, helpers, show

# ALPHABET_MODULE names a stand-in for the module (the harness's own tests
# use one with a planted fault).
m = importlib.import_module(os.environ.get("ALPHABET_MODULE", "_alphabet"))

# The module's sequence kinds, in table order.
KINDS = [
    name.removeprefix("Slice_").removesuffix("_CTor")
    for name in vars(m)
    if name.startswith("Slice_") and name.endswith("_CTor")
]
# Kinds that share a storage type accept each other's handles.
STORAGE = {kind: kind for kind in KINDS} | {"uint8": "byte", "rune": "int32"}
STANDARD = ("DNA", "RNA", "Protein")

# BufferError: Slice_byte_from_bytes given a buffer that is not contiguous.
ALLOWED = (TypeError, ValueError, IndexError, OverflowError, RuntimeError, BufferError)
BREACH_LINE = re.compile(r"^tova DecRef ref count -1 for handle: \d+, ifc ")


# ---- The method table, read from the docstrings ---------------------------


class Method:
    def __init__(self, name, params, fn):
        self.name = name
        self.params = params  # [(keyword, type word)]
        self.fn = fn


def load_methods():
    methods = []
    for name, fn in vars(m).items():
        if not callable(fn):
            continue
        lines = fn.__doc__.split("\n")
        params = []
        for line in filter(None, lines[2:]):
            _, keyword, word = line.split(": ", 2)
            params.append((keyword, word))
        methods.append(Method(name, params, fn))
    if len(methods) != 122:
        raise Failure(f"expected 122 methods, the module has {len(methods)}")
    return methods


def split_slice(name):
    """('byte', 'len') for Slice_byte_len; None for other names."""
    match = re.fullmatch(r"Slice_([a-z0-9]+)_(CTor|len|elem|subslice|set|append)", name)
    return (match.group(1), match.group(2)) if match else None


def wanted_kind(name, keyword):
    """The kind of object a handle parameter must name; None for any."""
    if keyword == "symbols":
        return "string"
    if name in ("IncRef", "DecRef"):
        return None
    if name == "Slice_byte_to_bytes":
        return "byte"
    if name.startswith("alphabet_Set_"):
        return "alphabet"
    if name == "alphabet_Error_Error":
        return "errobj"
    if name.startswith("alphabet_"):
        return "alphabet"
    return STORAGE[split_slice(name)[0]]


def made_kind(name):
    """The kind of the new handle a method returns; None if it returns none."""
    parts = split_slice(name)
    if parts and parts[1] in ("CTor", "subslice"):
        return STORAGE[parts[0]]
    if name == "Slice_byte_from_bytes":
        return "byte"
    if name in (
        "alphabet_DNA",
        "alphabet_RNA",
        "alphabet_Protein",
        "alphabet_Alphabet_CTor",
        "alphabet_Alphabet_Extend",
        "alphabet_NewAlphabet",
    ):
        return "alphabet"
    if name == "alphabet_Alphabet_Symbols":
        return "string"
    if name == "alphabet_Error_CTor":
        return "errobj"
    return None


HANDLE_PARAMS = {"handle", "_handle", "symbols", "val"}

# ---- Hostile objects ------------------------------------------------------


IndexOf = helpers.IndexOf


class IndexRaises:
    def __index__(self):
        raise HostileError("__index__")

    def __float__(self):
        raise HostileError("__float__")

    def __repr__(self):
        return "IndexRaises()"


class IndexNotInt:
    def __index__(self):
        return "not an int"

    def __repr__(self):
        return "IndexNotInt()"


class TruthRaises:
    def __bool__(self):
        raise HostileError("__bool__")

    def __repr__(self):
        return "TruthRaises()"


class TruthNotBool:
    def __bool__(self):
        return 2

    def __repr__(self):
        return "TruthNotBool()"


class LenNegative:
    def __len__(self):
        return -1

    def __repr__(self):
        return "LenNegative()"


class LenHuge:
    def __len__(self):
        return 2**70

    def __repr__(self):
        return "LenHuge()"


class BufferRaises:
    def __buffer__(self, flags):
        raise HostileError("__buffer__")

    def __repr__(self):
        return "BufferRaises()"


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class Reentrant:
    """Calls into the library from inside a conversion: the fuzzer makes a
    whole nested call (checked like any other) before the value is given."""

    def __init__(self, fuzzer, value):
        self.fuzzer = fuzzer
        self.value = value

    def __index__(self):
        self.fuzzer.nested()
        return self.value

    def __float__(self):
        self.fuzzer.nested()
        return float(self.value)

    def __bool__(self):
        self.fuzzer.nested()
        return bool(self.value)

    def __buffer__(self, flags):
        self.fuzzer.nested()
        return memoryview(b"reentered")

    def __repr__(self):
        return f"Reentrant({self.value!r})"


# Type words whose conversion runs one of Reentrant's methods.
REENTRANT_WORDS = {
    "int64_t",
    "int",
    "uint8_t",
    "int8_t",
    "int16_t",
    "uint16_t",
    "int32_t",
    "float",
    "double",
    "bool",
    "PyObject *",
}

WRONG_TYPES = [
    None,
    "1",
    b"1",
    1.5,
    [],
    {},
    (),
    object(),
    IndexRaises(),
    IndexNotInt(),
    2**100,
    -(2**100),
    1j,
]

INT64_EDGES = [
    0,
    1,
    -1,
    2,
    2**31 - 1,
    -(2**31),
    2**31,
    2**32 - 1,
    2**32,
    2**53 + 1,
    2**63 - 1,
    -(2**63),
    -(2**63) + 1,
    2**62,
]
INT64_OUTSIDE = [2**63, -(2**63) - 1, 2**64, -(2**64), 10**30, -(10**30)]

TEXTS_CLEAN = [
    "",
    "A",
    "C",
    "G",
    "T",
    "N",
    "AC",
    "a",
    "é",
    "ß",
    "Ω",
    "日本",
    "\U0001f600",
    "0",
    "1",
    "3",
    "-1",
    "-0",
    "003",
    "+1",
    " 1",
    "1.0",
    "0x1",
    "9223372036854775807",
    "9223372036854775808",
    "-9223372036854775808",
    "Symbol",
    "\n",
    "\\",
    "\t\r",
    "%s%n",
    "{}",
    "x" * 300,
    "\u200b",
    "\ufeff",
    "\U0010ffff",
    "ACGT" * 50,
]
TEXTS_HOSTILE = [
    "\ud800",
    "a\udfffb",
    "\x00",
    "a\x00b",
    "A\x00",
    b"A",
    bytearray(b"A"),
    None,
    65,
    1.0,
    ["A"],
]

NARROW_BOUNDS = {"uint8_t": 256, "int8_t": 128, "int16_t": 32768, "uint16_t": 65536}


# ---- The model ------------------------------------------------------------


class Model:
    """What the episode knows of the registry: its own handles, their kind and
    count, which ones it let go, and the standard alphabet references."""

    def __init__(self, base):
        self.base = base
        self.alive = {}  # handle -> [kind, count]
        self.pool = []  # handles the calls may use, alive or released
        self.protected = set()  # handles the calls never see (saved and witness handles)
        self.highest = 0  # highest handle seen
        self.breaches = 0  # DecRef calls on a handle at count 0
        self.cleared = set()  # standard references cleared by a setter

    def added(self, handle, kind, *, protected=False):
        if handle <= self.highest:
            raise Failure(f"new handle {handle} is not above earlier handle {self.highest}")
        self.highest = handle
        self.alive[handle] = [kind, 0]
        if protected:
            self.protected.add(handle)
        else:
            self.pool.append(handle)

    def incref(self, handle):
        if handle in self.alive:
            self.alive[handle][1] += 1

    def decref(self, handle):
        entry = self.alive.get(handle)
        if entry is None:
            return
        if entry[1] == 0:
            self.breaches += 1
            return
        entry[1] -= 1
        if entry[1] == 0:
            del self.alive[handle]

    def status(self, handle, want):
        """'found', 'wrong' or 'nothing' for a handle parameter wanting `want`."""
        entry = self.alive.get(handle)
        if entry is None:
            return "nothing"
        return "found" if want is None or entry[0] == want else "wrong"

    def expected_count(self):
        return self.base + len(self.alive)


# ---- Drawing arguments ----------------------------------------------------


class Draw:
    """One argument: the object passed, the integer a handle stands for, and
    whether the parser is sure to accept it."""

    __slots__ = ("obj", "handle", "clean")

    def __init__(self, obj, clean, handle=None):
        self.obj = obj
        self.clean = clean
        self.handle = handle


class Fuzzer(campaign.Steps):
    def __init__(self, seed, methods, log=None):
        self.rng = random.Random(seed)
        self.methods = methods
        self.by_name = {method.name: method for method in methods}
        self.log = log
        self.calls = 0
        self.depth = 0  # calls made from inside a conversion
        self.top = 0  # the episode's top-level call in progress
        self.counts = {}  # method -> calls
        self.raised = {}  # exception type name -> count

    # -- handles --
    def draw_handle(self, want):
        rng, model = self.rng, self.model
        r = rng.random()
        if r < 0.45:
            same = [
                h
                for h, (kind, _) in model.alive.items()
                if h not in model.protected and (want is None or kind == want)
            ]
            if same:
                h = rng.choice(same)
                return Draw(h, True, h)
        if r < 0.75 and model.pool:
            h = rng.choice(model.pool)
            return Draw(h, True, h)
        if r < 0.80 and model.pool:
            h = rng.choice(model.pool)
            return Draw(IndexOf(h), True, h)
        if r < 0.90:
            h = rng.choice(
                [
                    0,
                    -1,
                    -2,
                    -(2**63),
                    2**63 - 1,
                    10**15,
                    2**62,
                    model.highest + 1 + rng.randrange(1000),
                ]
            )
            return Draw(h, True, h)
        if r < 0.95:
            return Draw(rng.choice(INT64_OUTSIDE), False)
        return Draw(rng.choice(WRONG_TYPES), False)

    # -- values --
    def draw_value(self, word, keyword):
        rng = self.rng
        r = rng.random()
        if word == "int":  # an index or bound
            if r < 0.80:
                return Draw(rng.choice([-2, -1, 0, 0, 1, 1, 2, 3, 4, 5, 7, 8, 12, 16]), True)
            if r < 0.90:
                return Draw(rng.choice([2**31 - 1, -(2**31), 2**30]), True)
            if r < 0.95:
                return Draw(rng.choice([2**31, -(2**31) - 1, 2**63, 10**30]), False)
            return Draw(rng.choice(WRONG_TYPES), False)
        if word == "char *":
            if r < 0.85:
                if rng.random() < 0.2:
                    return Draw(
                        "".join(
                            chr(
                                rng.choice(
                                    [
                                        rng.randrange(32, 127),
                                        rng.randrange(0xA0, 0xD800),
                                        rng.randrange(0xE000, 0x110000),
                                    ]
                                )
                            )
                            for _ in range(rng.randrange(1, 12))
                        ),
                        True,
                    )
                if rng.random() < 0.01:
                    return Draw("L" * rng.choice([4096, 65536]), True)
                return Draw(rng.choice(TEXTS_CLEAN), True)
            return Draw(rng.choice(TEXTS_HOSTILE), False)
        if word in NARROW_BOUNDS:
            bound = NARROW_BOUNDS[word]
            if r < 0.80:
                return Draw(
                    rng.choice(
                        [
                            0,
                            1,
                            bound - 1,
                            bound // 2,
                            -1,
                            -bound,
                            -bound - 1,
                            -(2**31),
                            rng.randrange(-bound, bound),
                        ]
                    ),
                    True,
                )
            if r < 0.92:
                return Draw(rng.choice([bound, bound + 1, 2**31 - 1, 2**31, -(2**31) - 1]), False)
            return Draw(rng.choice(WRONG_TYPES + [1.0]), False)
        if word == "int32_t":
            if r < 0.85:
                return Draw(
                    rng.choice(
                        [
                            0,
                            1,
                            -1,
                            2**31 - 1,
                            -(2**31),
                            65,
                            0x10FFFF,
                            rng.randrange(-(2**31), 2**31),
                        ]
                    ),
                    True,
                )
            if r < 0.93:
                return Draw(rng.choice([2**31, -(2**31) - 1, 2**63]), False)
            return Draw(rng.choice(WRONG_TYPES), False)
        if word in ("uint32_t", "uint64_t"):
            # "I" and "K" take any int modulo 2**32 / 2**64.
            if r < 0.90:
                return Draw(
                    rng.choice(
                        INT64_EDGES + INT64_OUTSIDE + [2**200, -(2**200), rng.getrandbits(64)]
                    ),
                    True,
                )
            return Draw(rng.choice([None, "1", 1.5, IndexRaises(), b"1"]), False)
        if word == "int64_t":  # a 64-bit value, not a handle
            if r < 0.85:
                return Draw(
                    rng.choice(
                        INT64_EDGES
                        + [rng.getrandbits(63) - rng.getrandbits(63), True, False, IndexOf(7)]
                    ),
                    True,
                )
            if r < 0.93:
                return Draw(rng.choice(INT64_OUTSIDE), False)
            return Draw(rng.choice(WRONG_TYPES), False)
        if word in ("float", "double"):
            if r < 0.85:
                return Draw(
                    rng.choice(
                        [
                            0.0,
                            -0.0,
                            1.0,
                            -1.5,
                            0.1,
                            math.nan,
                            -math.nan,
                            math.inf,
                            -math.inf,
                            1e308,
                            -1e308,
                            5e-324,
                            3.4028234663852886e38,
                            1e39,
                            1e-46,
                            2**24 + 1,
                            7,
                            -(2**63),
                            FloatLike(2.5),
                            rng.uniform(-1e6, 1e6),
                        ]
                    ),
                    True,
                )
            return Draw(
                rng.choice([10**400, "1.0", None, b"1", IndexRaises(), FloatLike("no"), []]), False
            )
        if word == "bool":
            if r < 0.85:
                return Draw(
                    rng.choice(
                        [
                            True,
                            False,
                            0,
                            1,
                            -1,
                            "",
                            "x",
                            [],
                            [0],
                            None,
                            0.0,
                            math.nan,
                            b"",
                            object(),
                            2**100,
                        ]
                    ),
                    True,
                )
            return Draw(
                rng.choice([TruthRaises(), TruthNotBool(), LenNegative(), LenHuge()]), False
            )
        if word == "PyObject *":
            if r < 0.85:
                return Draw(
                    rng.choice(
                        [
                            b"",
                            b"A",
                            b"\x00\xff" * 3,
                            bytearray(b"abc"),
                            memoryview(b"xyz"),
                            array.array("B", [1, 2, 3]),
                            array.array("d", [1.5, -2.0]),
                            memoryview(b"abcdef")[1:4],
                            bytes(range(256)),
                            b"Z" * 4096,
                        ]
                        + ([b"M" * (1 << 20)] if rng.random() < 0.05 else [])
                    ),
                    True,
                )
            # Strided views are not contiguous: refused with BufferError.
            return Draw(
                rng.choice(
                    [
                        "abc",
                        None,
                        5,
                        [1, 2],
                        memoryview(b"abcdef")[::2],
                        memoryview(b"ab")[::-1],
                        BufferRaises(),
                        object(),
                    ]
                ),
                False,
            )
        raise Failure(f"no generator for type word {word!r} ({keyword})")

    def draw_args(self, method):
        draws = []
        for keyword, word in method.params:
            if keyword in HANDLE_PARAMS:
                draws.append(self.draw_handle(wanted_kind(method.name, keyword)))
            else:
                draws.append(self.draw_value(word, keyword))
        # Now and then one argument calls back into the library while it is
        # converted.  The nested call changes the state the outer call is
        # judged on, so the outer call is only held to the documented
        # exceptions and the accounting.
        reentrant = [i for i, (_, word) in enumerate(method.params) if word in REENTRANT_WORDS]
        if reentrant and self.depth < 2 and self.rng.random() < 0.03:
            i = self.rng.choice(reentrant)
            if method.params[i][0] in HANDLE_PARAMS:
                # A handle the episode knows, or nil: never an absolute number.
                handle = draws[i].handle if draws[i].handle is not None else 0
                draws[i] = Draw(Reentrant(self, handle), False, handle)
            else:
                draws[i] = Draw(Reentrant(self, 1), False)
        return draws

    # -- one call --
    def shape(self, method, draws):
        """Positional and keyword arguments, and whether the shape is right."""
        rng = self.rng
        objs = [d.obj for d in draws]
        names = [k for k, _ in method.params]
        r = rng.random()
        if not method.params:
            if r < 0.05:
                return [1], {}, False
            if r < 0.10:
                return [], {"handle": 1}, False
            return [], {}, True
        if r < 0.72:
            return objs, {}, True
        if r < 0.82:
            return [], dict(zip(names, objs, strict=True)), True
        if r < 0.87:
            return objs[:1], dict(zip(names[1:], objs[1:], strict=True)), True
        if r < 0.91:
            return objs[:-1], {}, False
        if r < 0.94:
            return objs + [0], {}, False
        if r < 0.97:
            return objs, {"bogus": 1}, False
        return objs, {names[0]: objs[0]}, False

    def step(self):
        # Taking up and letting go are where accounting goes wrong: they get
        # a larger share than the other methods.
        if self.rng.random() < 0.15:
            method = self.by_name[self.rng.choice(("IncRef", "DecRef"))]
        else:
            method = self.rng.choice(self.methods)
        draws = self.draw_args(method)
        args, kwargs, well_formed = self.shape(method, draws)
        parses = all(d.clean for d in draws)
        clean = well_formed and parses
        handles = {
            k: d.handle
            for (k, _), d in zip(method.params, draws, strict=True)
            if k in HANDLE_PARAMS
        }
        expect = self.predict(method, handles) if clean else None
        before = self.model.expected_count()
        if self.log:
            # Top-level calls are numbered as --calls counts them; a nested
            # call carries its outer call's number and its depth.
            number = f"{self.top}>{self.depth}" if self.depth else f"{self.top}"
            self.log(
                f"{number}: {method.name}(*{show(args)}, **{show(kwargs)})"
                f"{'' if clean else '  [hostile]'}"
            )
        self.counts[method.name] = self.counts.get(method.name, 0) + 1
        self.calls += 1
        try:
            result = method.fn(*args, **kwargs)
        except BaseException as exc:  # judged below, whatever it is
            self.judge_exception(method, exc, clean, not well_formed and parses, expect)
            result, raised = None, exc
        else:
            raised = None
            if not well_formed:
                raise Failure(f"{method.name}: accepted a malformed call {args!r} {kwargs!r}")
            if expect is not None and expect.must_raise:
                raise Failure(
                    f"{method.name}{tuple(args)} {kwargs}: returned {result!r}, "
                    f"expected {expect.must_raise.__name__}"
                )
            self.check_result(method, handles, result, expect)
        self.update(method, handles, result, raised)
        count = m.NumHandles()
        if count != self.model.expected_count():
            raise Failure(
                f"{method.name}: NumHandles is {count}, the model has "
                f"{self.model.expected_count()} (was {before} before the call)"
            )

    def judge_exception(self, method, exc, clean, malformed_only, expect):
        if isinstance(exc, Failure):  # a nested call's verdict
            raise exc
        name = type(exc).__name__
        self.raised[name] = self.raised.get(name, 0) + 1
        if self.log:
            self.log(f"    -> {name}: {exc}")
        if isinstance(exc, MemoryError) or not isinstance(exc, ALLOWED + (HostileError,)):
            raise Failure(f"{method.name}: undocumented exception {name}: {exc}") from exc
        if isinstance(exc, HostileError) and clean:
            raise Failure(f"{method.name}: HostileError from clean arguments") from exc
        if malformed_only and not isinstance(exc, TypeError):
            # Every argument parses, so only the call's shape can be refused.
            raise Failure(f"{method.name}: malformed call raised {name}, not TypeError") from exc
        if expect is None:
            return
        if expect.must_raise and not isinstance(exc, expect.must_raise):
            raise Failure(
                f"{method.name}: raised {name}: {exc}; expected {expect.must_raise.__name__}"
            ) from exc
        if not expect.must_raise and not isinstance(exc, expect.may_raise):
            raise Failure(
                f"{method.name}: raised {name}: {exc} where the handles' state "
                f"allows only {[t.__name__ for t in expect.may_raise]}"
            ) from exc

    # -- the documented outcome of a call whose arguments all parse --
    def predict(self, method, handles):
        name = method.name
        status = {k: self.model.status(h, wanted_kind(name, k)) for k, h in handles.items()}
        parts = split_slice(name)
        if parts:
            op = parts[1]
            s = status.get("handle")
            if s == "wrong":
                return Expect(must_raise=TypeError)
            if op == "elem" or op == "set":
                return Expect(may_raise=(IndexError,))
            if op == "subslice":
                return Expect(may_raise=(IndexError,))
            if op == "append":
                return Expect(must_raise=ValueError) if s == "nothing" else Expect()
            return Expect()
        if name == "Slice_byte_to_bytes":
            return Expect(must_raise=TypeError) if status["handle"] == "wrong" else Expect()
        if name == "alphabet_Alphabet_Extend":
            if status["_handle"] == "nothing":
                return Expect()
            if "wrong" in status.values():
                return Expect(must_raise=TypeError)
            return Expect()
        if "wrong" in status.values():
            return Expect(must_raise=TypeError)
        if name in ("alphabet_Alphabet_Encode", "alphabet_Alphabet_Decode"):
            return Expect(may_raise=(RuntimeError,) if status["_handle"] == "found" else ())
        return Expect()

    def check_result(self, method, handles, result, expect):
        name = method.name
        model = self.model
        made = made_kind(name)
        parts = split_slice(name)

        def nothing(keyword):
            return expect is not None and model.status(handles[keyword], None) == "nothing"

        if made is not None:
            if not isinstance(result, int) or (result != -1 and result <= 0):
                raise Failure(f"{name}: returned {result!r}, not a handle")
            may_fail = name in ("alphabet_Alphabet_Extend", "alphabet_Alphabet_Symbols") or (
                name.startswith("alphabet_") and name[9:] in STANDARD
            )
            if result == -1:
                if not may_fail:
                    raise Failure(f"{name}: returned -1")
                if expect is not None:
                    if name == "alphabet_Alphabet_Symbols" and not nothing("_handle"):
                        raise Failure(f"{name}: -1 for an alphabet")
                    if name == "alphabet_Alphabet_Extend" and not nothing("_handle"):
                        raise Failure(f"{name}: -1 for an alphabet")
                    if name[9:] in STANDARD and name[9:] not in model.cleared:
                        raise Failure(f"{name}: -1 while the reference is set")
            elif expect is not None:
                if name[9:] in STANDARD and name[9:] in model.cleared:
                    raise Failure(f"{name}: a handle while the reference is cleared")
                if name in ("alphabet_Alphabet_Extend", "alphabet_Alphabet_Symbols") and nothing(
                    "_handle"
                ):
                    raise Failure(f"{name}: a new handle for a receiver naming nothing")
            return
        if parts:
            kind, op = parts
            if op == "len":
                if not isinstance(result, int) or result < 0:
                    raise Failure(f"{name}: length {result!r}")
                if nothing("handle") and result != 0:
                    raise Failure(f"{name}: length {result} for a handle naming nothing")
            elif op == "elem":
                check_element(kind, result)
            elif result is not None:
                raise Failure(f"{name}: returned {result!r}, not None")
            return
        if name == "Slice_byte_to_bytes":
            if type(result) is not bytes:
                raise Failure(f"{name}: returned {type(result).__name__}")
            if nothing("handle") and result != b"":
                raise Failure(f"{name}: {result!r} for a handle naming nothing")
        elif name == "NumHandles":
            if result != self.model.expected_count():
                raise Failure(f"NumHandles() = {result}, model {self.model.expected_count()}")
        elif name == "alphabet_Alphabet_Encode":
            if type(result) is not int or result < 0:
                raise Failure(f"{name}: returned {result!r}")
            if nothing("_handle") and result != 0:
                raise Failure(f"{name}: {result} for a handle naming nothing")
        elif name in ("alphabet_Alphabet_Decode", "alphabet_Error_Error"):
            if type(result) is not str:
                raise Failure(f"{name}: returned {result!r}")
            if nothing("_handle") and result != "":
                raise Failure(f"{name}: {result!r} for a handle naming nothing")
        elif result is not None:
            raise Failure(f"{name}: returned {result!r}, not None")

    def update(self, method, handles, result, raised):
        model = self.model
        name = method.name
        if raised is None:
            made = made_kind(name)
            if made is not None and result != -1:
                model.added(result, made)
            elif name == "IncRef":
                model.incref(handles["handle"])
            elif name == "DecRef":
                model.decref(handles["handle"])
            elif name.startswith("alphabet_Set_"):
                which = name[len("alphabet_Set_") :]
                if model.status(handles["val"], "alphabet") == "found":
                    model.cleared.discard(which)
                else:
                    model.cleared.add(which)

    # -- an episode --
    def episode(self, calls, progress=None, seed=0):
        self.model = model = Model(m.NumHandles())
        saved = {}
        for which in STANDARD:
            h = getattr(m, f"alphabet_{which}")()
            model.added(h, "alphabet", protected=True)
            m.IncRef(h)
            model.incref(h)
            saved[which] = h
        witness = Witness(model)
        self.steps(calls, progress, seed)
        witness.check()
        for which in STANDARD:
            getattr(m, f"alphabet_Set_{which}")(saved[which])
        for h, (_, count) in list(model.alive.items()):
            if count == 0:
                m.IncRef(h)
                m.DecRef(h)
            else:
                for _ in range(count):
                    m.DecRef(h)
        model.alive.clear()
        if m.NumHandles() != model.base:
            raise Failure(
                f"NumHandles is {m.NumHandles()} after releasing everything, "
                f"{model.base} at the start"
            )
        return model.breaches


class Expect:
    def __init__(self, must_raise=None, may_raise=()):
        self.must_raise = must_raise
        self.may_raise = may_raise


def check_element(kind, value):
    if kind == "bool":
        ok = type(value) is bool
    elif kind in ("float32", "float64"):
        ok = type(value) is float
        if ok and kind == "float32" and not math.isnan(value):
            ok = struct.unpack("f", struct.pack("f", value))[0] == value
    elif kind in ("string", "error"):
        ok = type(value) is str
    else:
        low, high = INTEGER_RANGES[kind]
        ok = type(value) is int and low <= value <= high
    if not ok:
        raise Failure(f"Slice_{kind}_elem: {value!r} is not a {kind} element")


class Witness:
    """Objects the calls never see, checked at the end of the episode: a
    corrupted heap shows up here even without a sanitizer."""

    TEXTS = ["witness", "é", "", "\U0001f600" * 3, "x" * 100]

    def __init__(self, model):
        self.strings = m.Slice_string_CTor()
        for text in self.TEXTS:
            m.Slice_string_append(self.strings, text)
        self.ints = m.Slice_int64_CTor()
        for value in (-(2**63), 0, 2**63 - 1):
            m.Slice_int64_append(self.ints, value)
        self.alphabet = m.alphabet_NewAlphabet(self.strings)
        for h, kind in (
            (self.strings, "string"),
            (self.ints, "int64"),
            (self.alphabet, "alphabet"),
        ):
            model.added(h, kind, protected=True)
            m.IncRef(h)
            model.incref(h)

    def check(self):
        texts = [
            m.Slice_string_elem(self.strings, i) for i in range(m.Slice_string_len(self.strings))
        ]
        ints = [m.Slice_int64_elem(self.ints, i) for i in range(m.Slice_int64_len(self.ints))]
        codes = [m.alphabet_Alphabet_Encode(self.alphabet, t) for t in self.TEXTS]
        if texts != self.TEXTS or ints != [-(2**63), 0, 2**63 - 1] or codes != [0, 1, 2, 3, 4]:
            raise Failure(f"witness objects changed: {texts!r} {ints!r} {codes!r}")


# ---- Entry points ---------------------------------------------------------


def run_child(args):
    """Episodes seed, seed+1, ... until the time is up; writes a summary."""
    fuzzer = Fuzzer(0, load_methods())
    breaches = 0

    def episode(seed, progress):
        nonlocal breaches
        fuzzer.rng = random.Random(seed)
        breaches += fuzzer.episode(args.calls, progress, seed)

    def summary():
        return {
            "calls": fuzzer.calls,
            "breaches": breaches,
            "counts": fuzzer.counts,
            "raised": fuzzer.raised,
        }

    return campaign.run_child("fuzz", args, episode, summary)


def run_campaign(args):
    env = dict(os.environ)
    if args.trace:
        env["TOVA_HANDLE_TRACE"] = "1"
    else:
        env.pop("TOVA_HANDLE_TRACE", None)
    outcome = campaign.run_campaign("fuzz", args, env=env)
    breach_lines = [line for line in outcome.lines if BREACH_LINE.match(line)]
    other = [line for line in outcome.lines if not BREACH_LINE.match(line)]
    if outcome.code != 0:
        return outcome.failed("fuzz", other)
    result = outcome.summary
    problems = []
    if other:
        problems.append("unexpected output on stderr:\n" + "\n".join(other[:50]))
    if len(breach_lines) != result["breaches"]:
        problems.append(
            f"{len(breach_lines)} unpaired-DecRef reports on stderr, the model "
            f"expected {result['breaches']}"
        )
    missed = sorted(set(method.name for method in load_methods()) - set(result["counts"]))
    if missed:
        problems.append(f"methods never called: {missed}")
    last = args.seed + result["episodes"] - 1
    print(
        f"fuzz: {result['episodes']} episodes (seeds {args.seed}..{last}), "
        f"{result['calls']} calls over {len(result['counts'])} methods in "
        f"{outcome.seconds:.0f}s{' with trace on' if args.trace else ''}; "
        f"exceptions: {dict(sorted(result['raised'].items()))}; "
        f"{result['breaches']} unpaired DecRefs reported"
    )
    if problems:
        print("fuzz: FAILED: " + "\n".join(problems), file=sys.stderr)
        return 1
    return 0


def run_replay(args):
    fuzzer = Fuzzer(args.seed, load_methods(), campaign.replay_log(args))

    def episode():
        return f", {fuzzer.episode(args.calls, seed=args.seed)} unpaired DecRefs"

    return campaign.replay("fuzz", args, fuzzer, episode)


def trace_option(parser):
    parser.add_argument("--trace", action="store_true", help="with TOVA_HANDLE_TRACE on")


if __name__ == "__main__":
    sys.exit(
        campaign.main(
            __doc__, 3000, "calls per episode", run_child, run_campaign, run_replay, trace_option
        )
    )
