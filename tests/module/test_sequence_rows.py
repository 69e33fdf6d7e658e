"""Typed sequences: value conversions per kind, the method table, shared
storage, and what bad input leaves behind."""

import os

import pytest

import _alphabet as m
from helpers import KINDS, capacity, contents, op, release

# kind -> [(written, read back)]; the read value's type is checked too.
ROUND_TRIPS = {
    "bool": [(0, False), (7, True), ([], False), ("x", True), (None, False), (0.5, True)],
    "byte": [(0, 0), (255, 255), (-1, 255), (-255, 1), (-(2**31), 0)],
    "error": [("", ""), ("bad", "bad"), ("déjà vu ✓ 𝄞", "déjà vu ✓ 𝄞")],
    "float32": [(0.1, 0.10000000149011612), (-2.5, -2.5), (16777217, 16777216.0), (3, 3.0)],
    "float64": [(0.1, 0.1), (-1e300, -1e300), (5e-324, 5e-324), (3, 3.0)],
    "int": [(2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)), (-1, -1)],
    "int16": [(32767, 32767), (-32768, -32768), (-32769, 32767), (-1, -1)],
    "int32": [(2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (-1, -1)],
    "int64": [(2**63 - 1, 2**63 - 1), (-(2**63), -(2**63))],
    "int8": [(127, 127), (-128, -128), (-129, 127), (-1, -1)],
    "rune": [(0x1D11E, 0x1D11E), (-(2**31), -(2**31))],
    "string": [("", ""), ("héllo ✓ 𝄞", "héllo ✓ 𝄞"), ("a\nb", "a\nb")],
    "uint": [(-1, 2**64 - 1), (2**64 + 3, 3), (2**70 + 1, 1)],
    "uint16": [(65535, 65535), (-1, 65535), (-65536, 0)],
    "uint32": [(-1, 2**32 - 1), (2**32 + 5, 5), (2**40, 0)],
    "uint64": [(-1, 2**64 - 1), (2**64 + 3, 3), (2**63, 2**63)],
    "uint8": [(255, 255), (-1, 255), (-256, 0)],
}
assert list(ROUND_TRIPS) == list(KINDS)

# The narrow kinds refuse values at or above their bound with "Out of range".
BOUNDS = {"byte": 256, "uint8": 256, "int8": 128, "int16": 32768, "uint16": 65536}

# Values the argument parser itself refuses, per kind.
PARSER_REFUSES = {
    "byte": [(2**31, OverflowError), ("1", TypeError)],
    "int": [(2**63, OverflowError), (1.5, TypeError)],
    "int32": [(2**31, OverflowError)],
    "float64": [("1", TypeError)],
    "string": [("a\0b", ValueError), (b"x", TypeError)],
    "error": [(None, TypeError)],
}


def same(a, b):
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("kind", KINDS)
def test_values_convert_on_append_and_set(kind):
    cases = ROUND_TRIPS[kind]
    h = op(kind, "CTor")()
    for written, _ in cases:
        assert op(kind, "append")(h, written) is None
    assert op(kind, "len")(h) == len(cases)
    for i, (_, read) in enumerate(cases):
        assert same(op(kind, "elem")(h, i), read), (i, read)
    # set writes the same forms, in reverse order over the same slots
    for i, (written, _) in enumerate(reversed(cases)):
        assert op(kind, "set")(h, i, written) is None
    assert [r for _, r in reversed(cases)] == contents(kind, h)
    assert op(kind, "len")(h) == len(cases)


@pytest.mark.parametrize("kind", KINDS)
def test_unwritten_slots_read_as_zero_values(kind):
    written, read = ROUND_TRIPS[kind][-1]
    h = op(kind, "CTor")()
    op(kind, "append")(h, written)
    assert capacity(kind, h) == 4
    wide = op(kind, "subslice")(h, 0, 4)
    got, zero = contents(kind, wide), KINDS[kind][2]
    assert len(got) == 4 and same(got[0], read) and all(same(x, zero) for x in got[1:]), got


@pytest.mark.parametrize("kind", BOUNDS)
def test_narrow_kinds_refuse_values_at_their_bound(kind):
    bound = BOUNDS[kind]
    h = op(kind, "CTor")()
    op(kind, "append")(h, bound - 1)
    for value in (bound, bound + 1, 2**31 - 1):
        with pytest.raises(ValueError, match="^Out of range$"):
            op(kind, "append")(h, value)
        with pytest.raises(ValueError, match="^Out of range$"):
            op(kind, "set")(h, 0, value)
    assert contents(kind, h) == [bound - 1]


@pytest.mark.parametrize(
    "kind, value, exc", [(k, v, e) for k, cases in PARSER_REFUSES.items() for v, e in cases]
)
def test_parser_refuses_values_and_nothing_is_stored(kind, value, exc):
    h = op(kind, "CTor")()
    with pytest.raises(exc):
        op(kind, "append")(h, value)
    assert op(kind, "len")(h) == 0


class Falsy:
    def __bool__(self):
        return False


class Unreliable:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


def test_bool_stores_truth_values_and_a_raising_test_stores_nothing():
    h = m.Slice_bool_CTor()
    m.Slice_bool_append(h, Falsy())
    m.Slice_bool_append(h, object())
    with pytest.raises(ZeroDivisionError):
        m.Slice_bool_append(h, Unreliable())
    with pytest.raises(ZeroDivisionError):
        m.Slice_bool_set(h, 0, Unreliable())
    assert contents("bool", h) == [False, True]
    assert m.Slice_bool_elem(h, 1) is True and m.Slice_bool_elem(h, 0) is False


def expected_rows():
    rows = []
    for kind, (_, word, _) in KINDS.items():
        name = f"Slice_{kind}_"
        rows += [
            (name + "CTor", name + "CTor()\n\n"),
            (name + "len", name + "len(handle)\n\ntype: handle: int64_t"),
            (name + "elem", name + "elem(handle, idx)\n\ntype: handle: int64_t\ntype: idx: int"),
            (
                name + "subslice",
                name + "subslice(handle, st, ed)\n\n"
                "type: handle: int64_t\ntype: st: int\ntype: ed: int",
            ),
            (
                name + "set",
                name + "set(handle, idx, value)\n\n"
                f"type: handle: int64_t\ntype: idx: int\ntype: value: {word}",
            ),
            (
                name + "append",
                name + f"append(handle, value)\n\ntype: handle: int64_t\ntype: value: {word}",
            ),
        ]
        if kind == "byte":
            rows += [
                ("Slice_byte_from_bytes", "Slice_byte_from_bytes(o)\n\ntype: o: PyObject *"),
                ("Slice_byte_to_bytes", "Slice_byte_to_bytes(handle)\n\ntype: handle: int64_t"),
            ]
    return rows


def test_method_table_rows_5_to_108_in_order_with_docstrings():
    # The module's __dict__ keeps the method table's order.
    functions = [(k, v.__doc__) for k, v in vars(m).items() if type(v) is type(m.IncRef)]
    assert [k for k, _ in functions[:4]] == ["TovaInit", "DecRef", "IncRef", "NumHandles"]
    assert functions[4:108] == expected_rows()
    assert all(not name.startswith("Slice_") for name, _ in functions[108:])


@pytest.mark.parametrize("kind", KINDS)
def test_every_row_takes_its_keywords(kind):
    value = ROUND_TRIPS[kind][0][0]
    h = op(kind, "CTor")()
    op(kind, "append")(handle=h, value=value)
    op(kind, "set")(handle=h, idx=0, value=value)
    assert same(op(kind, "elem")(handle=h, idx=0), ROUND_TRIPS[kind][0][1])
    assert op(kind, "len")(handle=op(kind, "subslice")(handle=h, st=0, ed=1)) == 1
    with pytest.raises(TypeError):
        op(kind, "CTor")(1)
    with pytest.raises(TypeError):
        op(kind, "len")(h, handle=h)


def test_storage_types_decide_which_handles_each_kind_accepts():
    handles = {kind: op(kind, "CTor")() for kind in KINDS}
    for made_by, h in handles.items():
        for used_by, (group, _, _) in KINDS.items():
            if group == KINDS[made_by][0]:
                assert op(used_by, "len")(h) == 0
            else:
                with pytest.raises(TypeError, match=f"handle {h} .*\\[\\]{used_by}"):
                    op(used_by, "len")(h)


@pytest.mark.parametrize("a, b", [("byte", "uint8"), ("rune", "int32")])
def test_shared_storage_kinds_read_write_and_grow_each_other(a, b):
    h = op(a, "CTor")()
    for v in range(6):
        op(b if v % 2 else a, "append")(h, v)
    op(b, "set")(h, 0, 42)
    assert contents(a, h) == contents(b, h) == [42, 1, 2, 3, 4, 5]
    assert capacity(b, h) == 8


@pytest.mark.parametrize("kind", ["string", "error"])
def test_views_keep_their_texts_while_the_source_grows(kind):
    values = [f"{kind} {i}" for i in range(8)]
    source = op(kind, "CTor")()
    for value in values:
        op(kind, "append")(source, value)
    assert capacity(kind, source) == len(values)  # full: the next append moves it
    view = op(kind, "subslice")(source, 2, 7)  # one slot spare in the shared block
    op(kind, "append")(source, "grown")
    op(kind, "append")(view, "through the view")
    assert contents(kind, source) == values + ["grown"]
    assert contents(kind, view) == values[2:7] + ["through the view"]


def test_subslice_registers_under_the_calling_kind(fresh):
    proc = fresh(
        """
        import _alphabet as m
        h = m.Slice_byte_CTor()
        m.Slice_uint8_subslice(h, 0, 0)
        m.Slice_int32_subslice(m.Slice_rune_CTor(), 0, 0)
        """,
        TOVA_HANDLE_TRACE="1",
    )
    tags = [line.split()[2] for line in proc.stdout.splitlines()]
    assert tags == ["[]byte", "[]uint8", "[]rune", "[]int32"], proc.stderr


# ---- bad input: nothing changes and nothing is registered ------------------

BAD_CALLS = [
    ("elem", lambda h, o: m.Slice_int_elem(h, 3), IndexError),
    ("elem neg", lambda h, o: m.Slice_int_elem(h, -1), IndexError),
    ("set", lambda h, o: m.Slice_int_set(h, 3, 0), IndexError),
    ("set neg", lambda h, o: m.Slice_int_set(h, -1, 0), IndexError),
    ("string set", lambda h, o: m.Slice_string_set(o, 1, "x"), IndexError),
    ("subslice past capacity", lambda h, o: m.Slice_int_subslice(h, 0, 5), IndexError),
    ("subslice reversed", lambda h, o: m.Slice_int_subslice(h, 2, 1), IndexError),
    ("subslice neg", lambda h, o: m.Slice_int_subslice(h, -1, 1), IndexError),
    ("idx overflow", lambda h, o: m.Slice_int_elem(h, 2**31), OverflowError),
    ("wrong kind len", lambda h, o: m.Slice_int64_len(h), TypeError),
    ("wrong kind elem", lambda h, o: m.Slice_string_elem(h, 0), TypeError),
    ("wrong kind set", lambda h, o: m.Slice_uint_set(h, 0, 1), TypeError),
    ("wrong kind append", lambda h, o: m.Slice_int_append(o, 1), TypeError),
    ("wrong kind subslice", lambda h, o: m.Slice_error_subslice(h, 0, 0), TypeError),
    ("wrong kind to_bytes", lambda h, o: m.Slice_byte_to_bytes(o), TypeError),
    ("append nil", lambda h, o: m.Slice_int_append(0, 1), ValueError),
    ("append unknown", lambda h, o: m.Slice_string_append(2**62, "x"), ValueError),
    ("elem unknown", lambda h, o: m.Slice_int_elem(2**62, 0), IndexError),
    ("subslice unknown", lambda h, o: m.Slice_int_subslice(-5, 0, 1), IndexError),
]


@pytest.mark.parametrize("call, exc", [c[1:] for c in BAD_CALLS], ids=[c[0] for c in BAD_CALLS])
def test_refusals_change_nothing_and_register_nothing(call, exc):
    h = m.Slice_int_CTor()
    for v in (10, 20, 30):
        m.Slice_int_append(h, v)
    o = m.Slice_string_CTor()
    m.Slice_string_append(o, "keep")
    before = m.NumHandles()
    with pytest.raises(exc):
        call(h, o)
    assert m.NumHandles() == before
    assert contents("int", h) == [10, 20, 30] and capacity("int", h) == 4
    assert contents("string", o) == ["keep"]


@pytest.mark.parametrize("handle", [0, -1, -(2**63), 2**63 - 1])
def test_a_handle_naming_nothing_reads_as_empty(handle):
    before = m.NumHandles()
    assert m.Slice_float64_len(handle) == 0
    assert m.Slice_byte_to_bytes(handle) == b""
    empty = m.Slice_string_subslice(handle, 0, 0)
    assert m.NumHandles() == before + 1 and m.Slice_string_len(empty) == 0
    release(empty)


def test_texts_come_back_as_fresh_objects_and_are_not_leaked():
    text = "ünïcode " * 512
    h = m.Slice_string_CTor()
    m.Slice_string_append(h, text)
    e = m.Slice_error_CTor()
    m.Slice_error_append(e, text)
    first, second = m.Slice_string_elem(h, 0), m.Slice_string_elem(h, 0)
    assert first == second == text and first is not second
    with open(f"/proc/{os.getpid()}/statm") as f:
        rss_before = int(f.read().split()[1])
    for _ in range(10_000):  # 40 MiB of texts in and out
        m.Slice_string_elem(h, 0)
        m.Slice_error_elem(e, 0)
        m.Slice_string_set(h, 0, text)
    with open(f"/proc/{os.getpid()}/statm") as f:
        grown = (int(f.read().split()[1]) - rss_before) * os.sysconf("SC_PAGE_SIZE")
    assert grown < 16 << 20
