"""The package fuzzer's sequence actions: typed sequences of every kind made
from lists, iterables, other sequences and buffers, changed through views,
iterated while they grow, exported, pickled and copied, and filled or
extended under a timer's Ctrl-C; each checked against a model of the
storage blocks that views share.
"""

import array
import copy
import ctypes
import math
import operator
import pickle

from campaign import INTEGER_RANGES, Failure, HostileError, helpers
from package_fuzz_hostile import (
    Alarm,
    BufferOf,
    FloatOf,
    Hostile,
    IndexOf,
    Items,
    Raises,
    Reentrant,
    float_of_int,
    show,
)

import alphabet as ab

KINDS = ab.KINDS
FLOAT_KINDS = ("float32", "float64")
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


def item_type(typecode):
    """(signed/unsigned/float, size) of an array type code's items."""
    kind = "f" if typecode in "fd" else ("u" if typecode.isupper() else "s")
    return kind, array.array(typecode).itemsize


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


class SequenceActions:
    """The actions on typed sequences; `sequences` holds (sequence, model) pairs."""

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
        model.capacity = helpers.capacity(kind, seq.handle)
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
                            helpers.capacity(model.kind, copied.handle),
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
