"""The bytes where the kernels change their mind: a high byte that is the
only valid one above ASCII (0x7F, 0x80, 0x81, 0xFF), and alphabets on either
side of 128 and 256 symbols, on every kernel path this machine runs, at
lengths that leave every tail below the vector width."""

import array
import random

import pytest

from alphabet import _native as n

LENGTHS = [1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 200]


@pytest.mark.parametrize("high", [0x7F, 0x80, 0x81, 0xFF])
def test_the_only_valid_high_byte_encodes_and_decodes(path, high):
    symbols = ("A", "C", "G", "T", chr(high))
    codec = n.Codec(symbols)
    rng = random.Random(high)
    for length in LENGTHS:
        text = "".join(rng.choices(symbols, k=length))
        codes = bytes(symbols.index(c) for c in text)
        assert codec.encode(text) == codes, (path, length)
        assert codec.encode(text.encode("latin-1")) == codes, (path, length)
        assert codec.decode_str(codes) == text, (path, length)
        # Its neighbours are refused, wherever they stand.
        for other in (high - 1, high + 1):
            if other < 0x100:
                at = rng.randrange(length)
                bad = text[:at] + chr(other) + text[at + 1 :]
                with pytest.raises(ValueError, match=f"at position {at}$"):
                    codec.encode(bad.encode("latin-1"))


@pytest.mark.parametrize("size", [127, 128, 129, 255, 256, 257])
def test_decode_str_on_either_side_of_a_byte(path, size):
    symbols = tuple(chr(c) for c in range(1, size + 1))
    codec = n.Codec(symbols)
    rng = random.Random(size)
    width = 1 if size <= 256 else 2  # bytes per code
    for length in LENGTHS:
        codes = [rng.randrange(size) for _ in range(length)]
        codes[rng.randrange(length)] = size - 1  # the highest code, always
        buffer = bytes(codes) if width == 1 else array.array("H", codes)
        text = "".join(symbols[c] for c in codes)
        assert codec.decode_str(buffer) == text, (path, length)
        assert codec.encode(text) == buffer, (path, length)
        # One code past the alphabet, anywhere, is named where it stands.
        at = rng.randrange(length)
        bad = list(codes)
        bad[at] = size
        with pytest.raises(ValueError, match=f"Code {size} not in alphabet at position {at}$"):
            codec.decode_str(bad)
        if size < 256:
            with pytest.raises(ValueError, match=f"at position {at}$"):
                codec.decode_str(bytes(bad))
