"""Byte sequences to and from Python byte buffers."""

import array
import random
import sys

import pytest

import _alphabet as m
from helpers import capacity, contents, release

SAMPLES = [
    b"",
    b"\0",
    b"a\0b\0\0",
    bytes(range(256)),
    random.Random(7).randbytes(4097),
]


@pytest.mark.parametrize("data", SAMPLES, ids=lambda d: f"{len(d)} bytes")
def test_round_trip_keeps_every_byte(data):
    h = m.Slice_byte_from_bytes(data)
    assert m.Slice_byte_len(h) == len(data)
    assert m.Slice_byte_to_bytes(h) == data
    assert capacity("byte", h) == len(data)
    assert contents("uint8", h)[:300] == list(data[:300])


@pytest.mark.parametrize(
    "buffer",
    [
        b"xyz",
        bytearray(b"xyz"),
        memoryview(b"_xyz_")[1:4],
        array.array("B", b"xyz"),
        array.array("H", [0x7978, 0x7A]),  # raw bytes of a contiguous buffer
    ],
    ids=lambda b: type(b).__name__,
)
def test_contiguous_buffers_are_accepted(buffer):
    expected = bytes(memoryview(buffer).cast("B"))
    h = m.Slice_byte_from_bytes(o=buffer)
    assert m.Slice_byte_to_bytes(handle=h) == expected


@pytest.mark.parametrize("obj", ["xyz", 3, None, [1, 2, 3]], ids=["str", "int", "None", "list"])
def test_objects_without_buffers_are_refused_and_nothing_is_registered(obj):
    before = m.NumHandles()
    with pytest.raises(TypeError) as info:
        m.Slice_byte_from_bytes(obj)
    assert str(info.value) == (
        f"Slice_byte_from_bytes: expected a contiguous bytes-like object, got {type(obj).__name__}"
    )
    assert m.NumHandles() == before


class Exporter:
    """A buffer exporter whose __buffer__ raises `error`."""

    def __init__(self, error):
        self.error = error

    def __buffer__(self, flags):
        raise self.error


@pytest.mark.parametrize(
    "obj, exc",
    [
        (memoryview(b"abcdef")[::2], BufferError),
        (memoryview(b"ab")[::-1], BufferError),
        (Exporter(KeyboardInterrupt()), KeyboardInterrupt),
        (Exporter(MemoryError()), MemoryError),
        (Exporter(ZeroDivisionError("mine")), ZeroDivisionError),
    ],
    ids=["strided", "reversed", "KeyboardInterrupt", "MemoryError", "ZeroDivisionError"],
)
def test_an_exporters_own_exception_reaches_the_caller(obj, exc):
    before = m.NumHandles()
    with pytest.raises(exc) as info:
        m.Slice_byte_from_bytes(obj)
    assert type(info.value) is exc
    assert m.NumHandles() == before


def test_no_storage_is_shared_with_the_buffer_either_way():
    source = bytearray(b"abcd")
    h = m.Slice_byte_from_bytes(source)
    source[1] = ord("Z")
    source.append(ord("e"))  # a buffer still exported could not resize
    m.Slice_byte_set(h, 0, 65)
    out = m.Slice_byte_to_bytes(h)
    assert out == b"Abcd" and source == bytearray(b"aZcde")
    assert sys.getrefcount(out) == 2  # handed over, no extra reference
    assert m.Slice_byte_to_bytes(h) is not out


def test_to_bytes_copies_only_the_sequence_range():
    h = m.Slice_byte_from_bytes(b"\x00\x01\xff\x07")
    assert m.Slice_byte_to_bytes(m.Slice_byte_subslice(h, 1, 3)) == b"\x01\xff"
    assert m.Slice_byte_to_bytes(m.Slice_uint8_subslice(h, 4, 4)) == b""
    assert [m.Slice_uint8_elem(h, i) for i in range(3)] == [0, 1, 255]


def test_from_bytes_has_no_spare_capacity_so_the_first_append_moves():
    h = m.Slice_byte_from_bytes(b"wxyz")
    whole = m.Slice_byte_subslice(h, 0, 4)
    before = m.NumHandles()
    with pytest.raises(IndexError):
        m.Slice_byte_subslice(h, 0, 5)
    assert m.NumHandles() == before
    m.Slice_byte_append(h, ord("!"))
    m.Slice_byte_set(h, 0, ord("W"))
    m.Slice_byte_set(whole, 3, ord("Z"))
    assert m.Slice_byte_to_bytes(h) == b"Wxyz!" and capacity("byte", h) == 8
    release(h)  # the view keeps the old block alive
    assert m.Slice_byte_to_bytes(whole) == b"wxyZ"


def test_empty_buffer_gives_an_empty_sequence_of_its_own():
    a, b = m.Slice_byte_from_bytes(b""), m.Slice_byte_from_bytes(bytearray())
    assert a != b and m.Slice_byte_len(a) == 0 and m.Slice_byte_to_bytes(a) == b""
    with pytest.raises(IndexError):
        m.Slice_byte_subslice(a, 0, 1)


def test_from_bytes_keeps_no_reference_to_its_argument():
    data, refused = bytes(range(10)) * 3, [1, 2]
    refs = sys.getrefcount(data), sys.getrefcount(refused)
    m.Slice_byte_from_bytes(data)
    with pytest.raises(TypeError):
        m.Slice_byte_from_bytes(refused)
    assert (sys.getrefcount(data), sys.getrefcount(refused)) == refs
