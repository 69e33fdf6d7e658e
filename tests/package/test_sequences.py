"""Typed sequences through the package: the Python sequence protocol over handles."""

import array
import copy
import pickle
import sys
from fractions import Fraction
from typing import get_args

import pytest

import _alphabet as m
import alphabet as ab
from alphabet import _sequences
from helpers import IndexOf

# Per kind: values that read back unchanged (the integer kinds' edges among
# them), and one value the package's rules store as another.
SAMPLES = {
    "bool": ([True, False, True], ([], False)),
    "byte": ([0, 7, 255], (True, 1)),
    "uint8": ([0, 7, 255], (False, 0)),
    "error": (["", "bad", "é"], ("x", "x")),
    "string": (["", "ACGT", "日本"], ("y", "y")),
    "float32": ([0.5, -2.0, 1e10], (0.1, 0.10000000149011612)),
    "float64": ([0.1, -2.5, 1e300], (Fraction(1, 4), 0.25)),
    "int": ([-(2**63), 0, 2**63 - 1], (True, 1)),
    "int64": ([-(2**63), 0, 2**63 - 1], (False, 0)),
    "int8": ([-128, 0, 127], (True, 1)),
    "int16": ([-32768, 0, 32767], (False, 0)),
    "int32": ([-(2**31), 0, 2**31 - 1], (True, 1)),
    "rune": ([-(2**31), 0, 2**31 - 1], (False, 0)),
    "uint": ([0, 1, 2**64 - 1], (True, 1)),
    "uint64": ([0, 1, 2**64 - 1], (False, 0)),
    "uint16": ([0, 1, 65535], (True, 1)),
    "uint32": ([0, 1, 2**32 - 1], (False, 0)),
}

# The integer kinds' ranges: the first and last value each holds.
RANGES = {
    kind: (values[0], values[-1])
    for kind, (values, _) in SAMPLES.items()
    if isinstance(values[0], int) and not isinstance(values[0], bool)
}


def test_every_kind_has_samples():
    assert sorted(SAMPLES) == sorted(ab.KINDS) and len(ab.KINDS) == 17


@pytest.mark.parametrize("kind", ab.KINDS)
def test_protocol_of_every_kind(kind):
    values, (stored, read) = SAMPLES[kind]
    seq = ab.sequence(kind, values)
    assert seq.kind == kind and isinstance(seq, ab.Sequence)
    assert len(seq) == 3 and list(seq) == values and seq == values
    assert [seq[-1], seq[-3]] == [values[2], values[0]]
    seq[-2] = stored
    assert seq[1] == read and len(seq) == 3
    seq.append(stored)
    seq.extend(values[:1])
    assert list(seq) == [values[0], read, values[2], read, values[0]]
    assert eval(repr(seq), {"sequence": ab.sequence}) == seq
    assert pickle.loads(pickle.dumps(seq)) == seq


@pytest.mark.parametrize("index", [3, -4, 2**31, -(2**40)])
def test_indexes_outside_the_sequence(index):
    seq = ab.sequence("int", [1, 2, 3])
    with pytest.raises(IndexError):
        seq[index]
    with pytest.raises(IndexError):
        seq[index] = 0
    assert list(seq) == [1, 2, 3]


@pytest.mark.parametrize("index, position", [(True, 1), (IndexOf(0), 0), (IndexOf(-1), 2)])
def test_integer_like_indexes(index, position):
    seq = ab.sequence("int", [1, 2, 3])
    seq[index] = 9
    assert seq[index] == 9 and seq[position] == 9


@pytest.mark.parametrize("index", [1.0, "1", None])
def test_indexes_that_are_not_integers(index):
    with pytest.raises(TypeError):
        ab.sequence("int", [1, 2])[index]


@pytest.mark.parametrize("kind", sorted(RANGES))
def test_integer_kinds_refuse_values_beyond_either_edge(kind):
    low, high = RANGES[kind]
    article = "an" if kind[0] in "ie" else "a"
    before = m.NumHandles()
    seq = ab.sequence(kind, [low, high])
    for bad in (low - 1, high + 1, -(2**64), 2**64, -high - 2):
        message = rf"^value {bad} is out of range for {article} {kind} sequence "
        message += rf"\[{low}, {high}\](\n|$)"
        with pytest.raises(OverflowError, match=message):
            ab.sequence(kind, [low, bad])
        with pytest.raises(OverflowError, match=message):
            seq.append(bad)
        with pytest.raises(OverflowError, match=message):
            seq[-1] = bad
        with pytest.raises(OverflowError, match=message):
            seq.extend([high, bad])
    assert seq == [low, high] and m.NumHandles() == before + 1


@pytest.mark.parametrize(
    "kinds, bad",
    [
        (sorted(RANGES), 1.0),
        (sorted(RANGES), "1"),
        (sorted(RANGES), None),
        (["float32", "float64"], "1.5"),
        (["float32", "float64"], None),
        (["string", "error"], 1),
        (["string", "error"], b"x"),
    ],
)
def test_values_of_another_type_are_refused(kinds, bad):
    for kind in kinds:
        seq = ab.sequence(kind, SAMPLES[kind][0][:1])
        with pytest.raises(TypeError, match=kind):
            seq.append(bad)
        with pytest.raises(TypeError, match=kind):
            seq[0] = bad
        with pytest.raises(TypeError, match=kind):
            ab.sequence(kind, [bad])
        assert seq == SAMPLES[kind][0][:1]


@pytest.mark.parametrize("kind", ["string", "error"])
@pytest.mark.parametrize("text, position", [("a\0b", 1), ("\0", 0), ("ab\ud800", 2), ("\udfff", 0)])
def test_texts_that_cannot_cross_name_their_position(kind, text, position):
    seq = ab.sequence(kind, ["ok"])
    with pytest.raises(ValueError, match=f"at position {position}(\n|$)"):
        seq.append(text)
    with pytest.raises(ValueError, match=f"at position {position}(\n|$)") as info:
        ab.sequence(kind, ["x", "y", text])
    assert info.value.__notes__ == ["at position 2 of the values"]
    assert seq == ["ok"]


def test_a_raising_truth_test_stores_nothing():
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError

    seq = ab.sequence("bool", [True])
    with pytest.raises(ZeroDivisionError):
        seq[0] = Undecided()
    with pytest.raises(ZeroDivisionError):
        seq.extend([False, Undecided()])
    assert seq == [True]


@pytest.mark.parametrize(
    "bounds, expected",
    [
        ((1, 3), [2, 3]),
        ((-2, None), [3, 4]),
        ((None, -3), [1]),
        ((3, 1), []),
        ((0, 99), [1, 2, 3, 4]),
    ],
)
def test_slices_are_views_sharing_storage(bounds, expected):
    seq = ab.sequence("int", [1, 2, 3, 4])
    view = seq[slice(*bounds)]
    assert view == expected and type(view) is type(seq)
    if expected:
        view[0] = 99
        assert 99 in seq
        seq[seq.index(99)] = 7
        assert view[0] == 7


def test_appending_to_a_view_writes_the_sources_next_slot():
    seq = ab.sequence("string", ["a", "b", "c"])
    head = seq[:1]
    head.append("z")
    assert seq == ["a", "z", "c"] and head == ["a", "z"]


@pytest.mark.parametrize("step", [2, -1])
def test_slices_with_another_step_are_refused(step):
    with pytest.raises(ValueError):
        ab.sequence("int", [1, 2, 3])[::step]


def test_extend_with_itself_doubles_once():
    seq = ab.sequence("uint16", [1, 2])
    seq.extend(seq)
    assert seq == [1, 2, 1, 2]


def test_equality():
    assert ab.sequence("int", [1, 2]) == ab.sequence("int64", [1, 2])
    assert ab.sequence("int", [1, 2]) != [1, 2, 3]
    assert ab.sequence("int", [1, 2]) != (1, 2)
    assert ab.sequence("byte", b"ab") == b"ab" == ab.sequence("uint8", [97, 98])
    with pytest.raises(TypeError):
        hash(ab.sequence("int"))


@pytest.mark.parametrize("kind", ["byte", "uint8"])
@pytest.mark.parametrize(
    "source", [b"a\0b", bytearray(b"a\0b"), memoryview(b"xa\0b")[1:], array.array("B", b"a\0b")]
)
def test_byte_kinds_from_and_to_bytes_like_objects(kind, source):
    seq = ab.sequence(kind, source)
    assert seq.to_bytes() == b"a\0b" and list(seq) == [97, 0, 98]
    seq[0] = 65
    assert seq[1:].to_bytes() == b"\0b" and seq.to_bytes() == b"A\0b"
    assert bytes(source)[-3:] == b"a\0b"  # the source is a copy, untouched
    assert repr(seq) == f"sequence({kind!r}, b'A\\x00b')"


def test_copies_have_storage_of_their_own():
    seq = ab.sequence("float64", [1.5])
    for twin in (copy.copy(seq), copy.deepcopy(seq)):
        twin[0] = 2.5
        assert seq[0] == 1.5 and twin.handle != seq.handle


@pytest.mark.parametrize("kind, values", [("nope", ()), ("int", 5), ("byte", 5)])
def test_bad_kinds_and_values(kind, values):
    with pytest.raises((ValueError, TypeError)):
        ab.sequence(kind, values)


def test_the_static_kind_literals_name_every_kind_once():
    # The typing literals restate the kinds table for type checkers; a kind
    # added to the table (or renamed) must show up in them too.
    aliases = (_sequences.BytesKind, _sequences.IntKind, _sequences.FloatKind, _sequences.TextKind)
    listed = [kind for alias in aliases for kind in get_args(alias)] + ["bool"]
    assert sorted(listed) == sorted(ab.KINDS)


@pytest.mark.parametrize("value", [10**5000, -(10**5000)], ids=["10**5000", "-10**5000"])
def test_an_int_past_the_digit_limit_is_named_in_decimal(value):
    assert abs(value) >= 10 ** sys.get_int_max_str_digits()
    with pytest.raises(OverflowError) as info:
        ab.sequence("int8", [value])
    sign = "-" if value < 0 else ""
    digits = (sign + "1" + "0" * 5000)[:60]
    assert str(info.value).startswith(f"value {digits}... ({5001 + len(sign)} characters)")


@pytest.mark.parametrize(
    "digits, shown", [(60, "1" + "0" * 59), (61, "1" + "0" * 59 + "... (61 characters)")]
)
def test_a_value_is_named_whole_up_to_sixty_characters(digits, shown):
    with pytest.raises(OverflowError) as info:
        ab.sequence("int8", [10 ** (digits - 1)])
    assert str(info.value).startswith(f"value {shown} is out of range")
