"""The native sequence type: agreement with the raw module, bulk fills and reads,
buffers, positions out of reach, interrupts and handle accounting."""

import array
import gc
import pickle
import signal
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _alphabet as m
import alphabet as ab
from alphabet import _native as n
from helpers import contents, op

TEXT = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\0"), max_size=5)


def integers(bits, signed):
    if signed:
        return st.integers(-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
    return st.integers(0, 2**bits - 1)


# Values each kind holds exactly, so that they read back unchanged.
VALUES = {
    "bool": st.booleans(),
    "byte": integers(8, False),
    "uint8": integers(8, False),
    "int8": integers(8, True),
    "int16": integers(16, True),
    "uint16": integers(16, False),
    "int32": integers(32, True),
    "rune": integers(32, True),
    "uint32": integers(32, False),
    "int": integers(64, True),
    "int64": integers(64, True),
    "uint": integers(64, False),
    "uint64": integers(64, False),
    "float32": st.floats(width=32, allow_nan=False),
    "float64": st.floats(allow_nan=False),
    "string": TEXT,
    "error": TEXT,
}
NUMERIC = [kind for kind in ab.KINDS if kind not in ("string", "error")]
# The buffer format each numeric kind exports, and the array type codes it takes.
FORMATS = {
    "bool": "?", "byte": "B", "uint8": "B", "int8": "b", "int16": "h", "uint16": "H",
    "int32": "i", "rune": "i", "uint32": "I", "int": "q", "int64": "q", "uint": "Q",
    "uint64": "Q", "float32": "f", "float64": "d",
}  # fmt: skip
TYPECODES = {kind: [FORMATS[kind]] for kind in NUMERIC if kind != "bool"}
TYPECODES["int64"] += ["l"] if array.array("l").itemsize == 8 else []
TYPECODES["uint64"] += ["L"] if array.array("L").itemsize == 8 else []


def test_every_kind_has_values():
    assert sorted(VALUES) == sorted(ab.KINDS)


@pytest.mark.parametrize("kind", ab.KINDS)
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_the_package_and_the_module_agree(kind, data):
    values = data.draw(st.lists(VALUES[kind], max_size=12))
    seq = ab.sequence(kind, values)
    handle = seq.handle
    assert contents(kind, handle) == values  # written by the package, read by the module
    for value in data.draw(st.lists(VALUES[kind], max_size=4)):
        op(kind, "append")(handle, value)
        values.append(value)
    if values:
        position = data.draw(st.integers(0, len(values) - 1))
        values[position] = data.draw(VALUES[kind])
        op(kind, "set")(handle, position, values[position])
        assert seq[position - len(values)] == values[position]
    assert list(seq) == values and len(seq) == len(values)  # and read back by the package
    copy = ab.sequence(kind, seq)
    values.append(data.draw(VALUES[kind]))
    copy.append(values[-1])
    assert contents(kind, copy.handle) == values


def test_iteration_reads_the_length_once_and_keeps_the_sequence_alive():
    gc.collect()
    before = m.NumHandles()
    seq = ab.sequence("int32", [1, 2, 3])
    seen = []
    for value in seq:
        seen.append(value)
        seq.append(value * 10)
    assert seen == [1, 2, 3] and seq == [1, 2, 3, 10, 20, 30]
    iterator = iter(seq)
    del seq
    assert next(iterator) == 1 and iterator.__length_hint__() == 5
    assert list(iterator) == [2, 3, 10, 20, 30]
    assert m.NumHandles() == before  # an exhausted iterator lets go of its sequence


@pytest.mark.parametrize("kind", NUMERIC)
def test_buffers_are_typed_read_only_copies(kind):
    values = ab.sequence(kind, [True, False, True] if kind == "bool" else [1, 0, 1])
    view = memoryview(values)
    assert view.format == FORMATS[kind] and view.readonly and view.tolist() == list(values)
    assert view.itemsize == view.nbytes // 3
    values[0] = values[1]
    assert view.tolist()[0] != values[0]
    with pytest.raises(TypeError):
        view[0] = values[1]
    gc.collect()
    before = m.NumHandles()
    del values
    assert m.NumHandles() == before  # the view keeps its sequence
    view.release()
    assert m.NumHandles() == before - 1


@pytest.mark.parametrize("kind", ["string", "error"])
def test_text_sequences_offer_no_buffer(kind):
    with pytest.raises(TypeError, match="no buffer"):
        memoryview(ab.sequence(kind, ["a"]))


@pytest.mark.parametrize("kind", [kind for kind in TYPECODES])
def test_buffers_of_the_kinds_own_items_fill_in_one_loop(kind):
    low, high = (0, 255) if kind in ("byte", "uint8") else (-1, 1)
    for code in TYPECODES[kind]:
        if code in "BHIQL":
            low = 0
        source = array.array(code, [low, 0, high])
        seq = ab.sequence(kind, source)
        assert seq == source.tolist() and memoryview(seq).tobytes() == source.tobytes()
        seq.extend(memoryview(source))
        assert seq == source.tolist() * 2
    flags = memoryview(bytes([1, 0, 1])).cast("?")
    assert ab.sequence("bool", flags) == [True, False, True]


@pytest.mark.parametrize(
    "kind, source, expected",
    [
        ("int32", array.array("d", [1.0]), "int32 items \\(format 'i'\\), not one of format 'd'"),
        ("int32", array.array("q", [1]), "format 'q'"),
        ("uint64", array.array("q", [1]), "uint64 items"),
        ("int64", array.array("Q", [1]), "int64 items"),
        ("float64", array.array("f", [1.0]), "float64 items"),
        ("bool", array.array("B", [1]), "bool items"),
        ("int8", b"ab", "format 'B'"),
        ("int32", memoryview(array.array("i", range(4)))[::2], "C-contiguous"),
        ("int16", memoryview(bytes(8)).cast("h", (2, 2)), "one-dimensional"),
        ("byte", memoryview(b"abcd")[::2], "C-contiguous"),
    ],
)
def test_buffers_of_other_items_or_with_gaps_are_refused(kind, source, expected):
    gc.collect()
    before = m.NumHandles()
    with pytest.raises(TypeError, match=expected):
        ab.sequence(kind, source)
    seq = ab.sequence(kind, [1])
    with pytest.raises(TypeError, match=expected):
        seq.extend(source)
    assert seq == [1]
    del seq
    assert m.NumHandles() == before


NUMPY_TYPES = {
    "bool": "bool", "byte": "uint8", "uint8": "uint8", "int8": "int8", "int16": "int16",
    "uint16": "uint16", "int32": "int32", "rune": "int32", "uint32": "uint32", "int": "int64",
    "int64": "int64", "uint": "uint64", "uint64": "uint64", "float32": "float32",
    "float64": "float64",
}  # fmt: skip


@pytest.mark.parametrize("kind", NUMERIC)
def test_numpy_round_trips(kind):
    np = pytest.importorskip("numpy")
    dtype = np.dtype(NUMPY_TYPES[kind])
    if dtype.kind == "b":
        source = np.array([True, False, True])
    else:
        info = np.finfo(dtype) if dtype.kind == "f" else np.iinfo(dtype)
        source = np.array([info.min, 0, info.max], dtype=dtype)
    seq = ab.sequence(kind, source)
    assert seq == source.tolist()
    back = np.asarray(seq)
    assert back.dtype == dtype and np.array_equal(back, source) and not back.flags.writeable
    assert ab.sequence(kind, [source[1]]) == [source[1]]  # numpy scalars are values too
    with pytest.raises(TypeError, match="C-contiguous"):
        ab.sequence(kind, source[::2])
    if kind in ("byte", "uint8"):  # raw bytes, whatever their shape
        assert ab.sequence(kind, source.reshape(3, 1)) == source.tolist()
    else:
        with pytest.raises(TypeError, match="one-dimensional"):
            ab.sequence(kind, source.reshape(3, 1))


def test_numpy_arrays_of_another_type_or_byte_order_are_refused():
    np = pytest.importorskip("numpy")
    for source in (np.arange(3), np.arange(3, dtype=">i4"), np.zeros(2, dtype="e")):
        with pytest.raises(TypeError, match="int32 items"):
            ab.sequence("int32", source)
    assert ab.sequence("int32", np.arange(3, dtype="<i4")) == [0, 1, 2]


@pytest.mark.parametrize("index", [2**31, 2**31 + 7, 2**63, 2**100])
def test_positions_from_2_to_the_31_are_out_of_reach(index):
    seq = ab.sequence("int8", [1, 2, 3])
    with pytest.raises(IndexError, match=r"out of reach.*below 2\*\*31"):
        seq[index]
    with pytest.raises(IndexError, match=r"out of reach"):
        seq[index] = 0
    with pytest.raises(IndexError, match=r"out of range"):
        seq[2**31 - 1]  # within reach, beyond the end
    with pytest.raises(IndexError, match=r"out of range for length 3"):
        seq[-index]
    assert seq[index:] == [] and seq[:index] == [1, 2, 3]


def test_sequences_adopted_from_handles_find_their_kind():
    raw = m.Slice_int16_CTor()
    m.Slice_int16_append(raw, -5)
    seq = ab._sequences.KIND_CLASSES["int16"]._adopt(raw)
    assert seq == [-5] and seq[0:1][0] == -5
    nameless = n.adopt(ab.Sequence, raw)
    for use in (len, list, repr, lambda s: s[0], lambda s: s.append(1), memoryview):
        with pytest.raises(TypeError, match="names no sequence kind"):
            use(nameless)
    for make in (ab.Sequence, ab.ByteSequence, n.SequenceBase):
        with pytest.raises(TypeError):
            make([1])


class Interrupting:
    """A value whose conversion is interrupted, as Ctrl-C would interrupt it."""

    def __index__(self):
        raise KeyboardInterrupt

    __float__ = __bool__ = __index__


def interrupted(first):
    yield first
    signal.raise_signal(signal.SIGINT)
    yield first


@pytest.mark.parametrize("kind", ab.KINDS)
def test_an_interrupt_inside_a_bulk_fill_leaves_nothing_registered(kind):
    first = "a" if kind in ("string", "error") else 1
    sources = [lambda: interrupted(first)]
    if kind not in ("string", "error"):
        sources += [lambda: [first, Interrupting()], lambda: iter((first, Interrupting()))]
    seq = ab.sequence(kind, [first])
    gc.collect()
    before = m.NumHandles()
    for source in sources:
        with pytest.raises(KeyboardInterrupt):
            ab.sequence(kind, source())
        with pytest.raises(KeyboardInterrupt):
            seq.extend(source())
        assert m.NumHandles() == before and seq == [first]


def test_an_extend_that_fails_appends_nothing():
    seq = ab.sequence("int8", [1])
    with pytest.raises(OverflowError) as info:
        seq.extend(v for v in (2, 3, 128))
    assert info.value.__notes__ == ["at position 2 of the values"]
    with pytest.raises(OverflowError):
        seq.extend(ab.sequence("int16", [4, 300]))
    assert seq == [1]
    seq.extend(ab.sequence("int16", [4, -128]))
    assert seq == [1, 4, -128]


def test_exact_accounting_over_many_sequences_views_iterators_and_failures():
    gc.collect()
    before = m.NumHandles()
    samples = {kind: "a" if kind in ("string", "error") else 1 for kind in ab.KINDS}
    made = [ab.sequence(kind, [value] * 3) for kind, value in samples.items() for _ in range(300)]
    made = [ab.sequence(s.kind, s) for s in made]  # copies; the originals are released
    views = [s[1:] for s in made]
    iterators = [iter(s) for s in views]
    buffers = [memoryview(s) for s in made if s.kind not in ("string", "error")]
    assert m.NumHandles() == before + 2 * len(made)
    for _ in range(300):
        for bad in ([1, 2, 300], array.array("d", [1.0]), [1, "x"]):
            with pytest.raises((OverflowError, TypeError)):
                ab.sequence("int8", bad)
    assert m.NumHandles() == before + 2 * len(made)
    del made, views, iterators
    gc.collect()
    assert m.NumHandles() == before + len(buffers)
    del buffers
    assert m.NumHandles() == before


def test_no_path_leaks_a_reference():
    text, big, real = "".join(["ab", "c"]), 2**40 + 1, float("1.25")

    class One:
        def __index__(self):
            return 1

    one = One()
    texts = [text, text]

    def every_path():
        s = ab.sequence("string", texts)
        s.append(text)
        s[0] = text
        s.extend(iter([text]))
        s.extend(s)
        _ = (list(s), repr(s), s == texts, text in s, s.index(text), s.count(text), pickle.dumps(s))
        for bad in ([text, 5], iter([text, "\0"])):
            with pytest.raises((TypeError, ValueError)):
                s.extend(bad)
        i = ab.sequence("int64", [big, one])
        i[one] = big
        i.extend((big, one))
        _ = (i[0:1], i[-1], memoryview(i).tolist())
        with pytest.raises(OverflowError):
            ab.sequence("int8", [one, big])
        f = ab.sequence("float64", [real])
        f.extend(array.array("d", [real]))
        _ = (f == [real], list(f))

    watched = [text, big, real, one, texts, One]
    every_path()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        every_path()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def test_the_package_never_imports_numpy(fresh):
    proc = fresh(
        """
        import sys, array
        import alphabet as ab
        seq = ab.sequence("int32", array.array("i", [1, 2]))
        print(memoryview(seq).tolist(), seq == [1, 2], "numpy" in sys.modules)
        """
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "[1, 2] True False\n", "")
