"""reverse_translate, kmers, kernel paths, and codecs shared between threads."""

import array
import io
import random
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import alphabet as ab
from alphabet import _native as n

PATHS = n.kernel_paths()
COMPLEMENT = bytes([3, 2, 1, 0])


def test_kernel_paths_start_with_scalar_and_switch_back():
    assert PATHS[0] == "scalar" and len(set(PATHS)) == len(PATHS)
    previous = n.use_kernel_path("scalar")
    assert n.use_kernel_path(previous) == "scalar"
    with pytest.raises(ValueError):
        n.use_kernel_path("no-such-path")
    assert n.use_kernel_path(previous) == previous  # a refused name changed nothing


def reversed_through(codes, table):
    return [table[c] for c in reversed(codes)]


@pytest.mark.parametrize(
    "make",
    [bytes, bytearray, list, tuple, lambda c: memoryview(bytes(c))]
    + [lambda c, t=t: array.array(t, c) for t in "bBhHiIlLqQ"],
)
def test_reverse_translate_keeps_the_type_of_its_input(path, make):
    codes = make([0, 1, 2, 3, 3, 0, 2])
    result = n.reverse_translate(codes, COMPLEMENT)
    assert type(result) is type(codes)
    assert list(result) == [1, 3, 0, 0, 1, 2, 3]
    if isinstance(codes, array.array):
        assert result.typecode == codes.typecode
    if isinstance(codes, memoryview):
        assert result.format == codes.format
    assert list(codes) == [0, 1, 2, 3, 3, 0, 2]  # the input is left as it was


def test_reverse_translate_of_numpy_arrays_keeps_dtype_and_byte_order():
    np = pytest.importorskip("numpy")
    for dtype in ["u1", "i1", "<u2", ">u2", ">i4", "u8", ">i8"]:
        codes = np.array([0, 1, 2, 3, 3], dtype=dtype)
        result = n.reverse_translate(codes, COMPLEMENT)
        assert type(result) is np.ndarray and result.dtype == codes.dtype, dtype
        assert result.tolist() == [0, 0, 1, 2, 3]
    # A memoryview names its byte order in its format; the one made for the
    # result reads in this machine's order.
    for dtype in ["<u2", ">u2", ">i4", "<u8"]:
        result = n.reverse_translate(memoryview(np.array([0, 1, 2, 3, 3], dtype=dtype)), COMPLEMENT)
        assert type(result) is memoryview and result.tolist() == [0, 0, 1, 2, 3], dtype
    with pytest.raises(TypeError):
        n.reverse_translate(np.arange(6, dtype="u1")[::2], COMPLEMENT)
    with pytest.raises(TypeError):
        n.reverse_translate(np.zeros((2, 2), dtype="u1"), COMPLEMENT)


@pytest.mark.parametrize("length", range(0, 70))
def test_reverse_translate_at_every_length_start_and_refused_position(path, length):
    rng = random.Random(length)
    codes = bytes(rng.randrange(4) for _ in range(length))
    expected = bytes(reversed_through(codes, COMPLEMENT))
    for offset in range(0, 8, 3):
        window = memoryview(b"\x07" * offset + codes)[offset:]
        assert bytes(n.reverse_translate(window, COMPLEMENT)) == expected
    for position in range(length):
        broken = codes[:position] + b"\x04" + codes[position + 1 :]
        message = f"^Code 4 not in alphabet at position {position}$"
        with pytest.raises(ab.AlphabetError, match=message):
            n.reverse_translate(broken, COMPLEMENT)


@settings(max_examples=100, deadline=None)
@given(
    st.lists(st.integers(-3, 300), max_size=50),
    st.binary(max_size=260),
    st.sampled_from(["list", "q", "H", "B"]),
)
def test_reverse_translate_agrees_with_the_model(codes, table, kind):
    if kind != "list":
        low, high = {"q": (-(2**63), 2**63), "H": (0, 2**16), "B": (0, 256)}[kind]
        codes = [c for c in codes if low <= c < high]
    given_codes = codes if kind == "list" else array.array(kind, codes)
    bad = next((i for i, c in enumerate(codes) if not 0 <= c < len(table)), None)
    for path in PATHS:
        n.use_kernel_path(path)
        if bad is None:
            assert list(n.reverse_translate(given_codes, table)) == reversed_through(codes, table)
        else:
            with pytest.raises(ab.AlphabetError) as info:
                n.reverse_translate(given_codes, table)
            assert info.value.position == bad
    n.use_kernel_path(PATHS[-1])


@pytest.mark.parametrize(
    "codes, table, error",
    [
        ("ACGT", COMPLEMENT, TypeError),
        (iter([0, 1]), COMPLEMENT, TypeError),
        ([0, 1], array.array("H", [3, 2]), TypeError),
        ([0, "1"], COMPLEMENT, TypeError),
        (array.array("b", [0, 1]), bytes([200, 1]), OverflowError),
        (array.array("f", [0.0]), COMPLEMENT, TypeError),
    ],
)
def test_reverse_translate_argument_errors(codes, table, error):
    with pytest.raises(error):
        n.reverse_translate(codes, table)


def model_kmers(codes, k, base):
    return [sum(c * base ** (k - 1 - j) for j, c in enumerate(codes[i : i + k]))
            for i in range(len(codes) - k + 1)]  # fmt: skip


@st.composite
def kmer_cases(draw):
    base = draw(st.sampled_from([0, 1, 2, 3, 4, 5, 20, 21, 256, 2**32 - 1, 2**63 + 1, 2**64]))
    k_max = (
        1
        if base == 2**64
        else 200
        if base <= 1
        else next(k for k in range(1, 70) if base ** (k + 1) > 2**64)
    )
    k = draw(st.integers(1, k_max))
    codes = [] if base == 0 else draw(st.lists(st.integers(0, min(base, 2**64) - 1), max_size=40))
    return codes, k, base


@settings(max_examples=200, deadline=None)
@given(kmer_cases(), st.sampled_from(["list", "Q", "B", "buffer-if-small"]))
def test_kmers_agree_with_the_model(case, kind):
    codes, k, base = case
    if kind in ("B", "buffer-if-small") and any(c > 255 for c in codes):
        kind = "Q"
    given_codes = {
        "list": lambda: codes,
        "Q": lambda: array.array("Q", codes),
        "B": lambda: bytes(codes),
        "buffer-if-small": lambda: bytearray(codes),
    }[kind]
    expected = model_kmers(codes, k, base)
    for path in PATHS:
        n.use_kernel_path(path)
        result = n.kmers(given_codes(), k, base)
        assert type(result) is array.array and result.typecode == "Q"
        assert result.tolist() == expected
    n.use_kernel_path(PATHS[-1])


@pytest.mark.parametrize(
    "codes, k, base, error, position",
    [
        (b"\x00\x01", 0, 4, ValueError, None),
        (b"\x00\x01", 33, 4, ValueError, None),
        (b"\x00\x01", 2, 2**64, ValueError, None),
        (b"\x00\x01", 1, 2**64 + 1, ValueError, None),
        (b"\x00\x01", 1, -1, ValueError, None),
        (b"\x00\x01", 1, 0, ab.AlphabetError, 0),
        (b"\x00\x04\x05", 2, 4, ab.AlphabetError, 1),
        (b"\x00\x01\x04", 5, 4, ab.AlphabetError, 2),  # checked even without a k-mer
        ([0, -1], 1, 4, ab.AlphabetError, 1),
        (array.array("q", [1, -1]), 1, 2**64, ab.AlphabetError, 1),
        ([0, 2**64], 1, 2**64, ab.AlphabetError, 1),
        ([0, "1"], 1, 4, TypeError, None),
        ("AC", 1, 4, TypeError, None),
    ],
)
def test_kmers_errors(codes, k, base, error, position):
    with pytest.raises(error) as info:
        n.kmers(codes, k, base)
    if position is not None:
        assert info.value.position == position
        bad = list(codes)[position]
        assert str(info.value) == f"Code {bad} not in alphabet at position {position}"


def test_kmers_at_the_edge_of_64_bits():
    top = [2**64 - 1, 0, 2**64 - 1]
    assert n.kmers(array.array("Q", top), 1, 2**64).tolist() == top
    ones = bytes([3]) * 40
    assert n.kmers(ones, 32, 4).tolist() == [2**64 - 1] * 9
    assert n.kmers(bytes([1]) * 70, 64, 2).tolist() == [2**64 - 1] * 7
    assert n.kmers(bytes(5), 10**30, 1).tolist() == []


def test_threads_encoding_while_a_third_replaces_dna(standard):
    # Large enough that the kernels run with the interpreter lock released.
    rng = random.Random(5)
    text = "".join(rng.choices("ACGT", k=300_000))
    lower = text.lower()
    expected = bytes("ACGT".index(c) for c in text)
    shared = n.Codec(tuple("ACGT"), ignore_case=True)
    failures = []
    encoders_done = threading.Barrier(3)

    def encode():
        try:
            for _ in range(15):
                assert shared.encode(text) == expected
                assert shared.encode(lower) == expected
                assert shared.decode_str(expected) == text
                dna = ab.dna()
                codes = n.Codec(dna.symbols).encode(text)
                assert list(codes[:50]) == [dna.symbols.index(c) for c in text[:50]]
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)
        finally:
            encoders_done.wait()

    def replace():
        alphabets = [ab.Alphabet("ACGT"), ab.Alphabet("TGCA"), ab.Alphabet("ACGTN")]
        i = 0
        while encoders_done.n_waiting < 2:
            ab.set_dna(alphabets[i % 3])
            i += 1
        encoders_done.wait()

    threads = [threading.Thread(target=encode) for _ in range(2)]
    threads.append(threading.Thread(target=replace))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not failures, failures


@pytest.mark.parametrize("base, k", [(4, 1), (4, 21), (4, 32), (20, 5), (21, 14), (255, 8)])
@pytest.mark.parametrize("typecode", ["B", "H"])
def test_kmers_of_long_inputs_at_every_path(path, base, k, typecode):
    # Long enough for the kernel's lanes; the 'H' codes take the wide loop.
    rng = random.Random(base * k)
    codes = [rng.randrange(base) for _ in range(600)]
    assert n.kmers(array.array(typecode, codes), k, base).tolist() == model_kmers(codes, k, base)
    for position in (0, 300, 598, 599):
        broken = array.array(typecode, codes[:position] + [base] + codes[position + 1 :])
        with pytest.raises(ab.AlphabetError) as info:
            n.kmers(broken, k, base)
        assert info.value.position == position


@pytest.mark.parametrize(
    "codes",
    [
        b"",
        bytes(range(256)),
        bytearray([7, 0, 255]),
        array.array("B", [10, 9, 100]),
        array.array("H", [0, 9, 10, 99, 100, 999, 1000, 9999, 10000, 65535, 256]),
        memoryview(bytes(range(50, 120)))[3:],
    ],
)
def test_format_codes_prints_decimal_numbers(codes):
    assert n.format_codes(codes) == " ".join(map(str, codes)).encode()


def test_format_codes_of_numpy_codes_in_either_byte_order():
    np = pytest.importorskip("numpy")
    for dtype in ["u1", "<u2", ">u2"]:
        codes = np.array([0, 7, 255, 12], dtype=dtype)
        assert n.format_codes(codes) == b"0 7 255 12", dtype


@pytest.mark.parametrize(
    "codes",
    [
        [1, 2],
        "12",
        array.array("I", [1]),
        array.array("b", [1]),
        array.array("h", [1]),
        memoryview(b"\x01\x02\x03")[::2],
    ],
)
def test_format_codes_refuses_what_is_not_a_buffer_of_small_unsigned_codes(codes):
    with pytest.raises(TypeError):
        n.format_codes(codes)


def test_the_reader_translates_at_every_path_and_leaves_refusals_to_encode_all(path):
    rng = random.Random(11)
    lengths = list(range(70)) + [1000]
    texts = ["".join(rng.choices("ACGTacgt", k=length)) for length in lengths]
    fasta = "".join(f">r{i}\n{text}\n" for i, text in enumerate(texts)).encode()
    lenient = ab.Alphabet("ACGT", ignore_case=True)
    records = list(ab.read(io.BytesIO(fasta), alphabet=lenient))
    assert [r.sequence for r in records] == [lenient.encode_all(text) for text in texts]
    for position in (0, 31, 63, 64, 999):
        broken = texts[-1][:position] + "N" + texts[-1][position + 1 :]
        with pytest.raises(ab.AlphabetError) as info:
            list(ab.read(io.BytesIO(f">r\n{broken}\n".encode()), alphabet=lenient))
        assert info.value.position == position


def test_results_large_enough_for_huge_pages_keep_every_code():
    # Results from 8 MiB on ask for huge pages: the advice must leave what is
    # written there intact, to the last byte, whatever the alignment.
    rng = random.Random(13)
    codes = rng.randbytes((9 << 20) + 12345).translate(bytes(i % 4 for i in range(256)))
    text = codes.translate(b"ACGT".ljust(256, b"?")).decode()
    codec = n.Codec(tuple("ACGT"))
    assert codec.encode(text) == codes
    assert codec.decode_str(codes) == text
    complemented = codes.translate(COMPLEMENT.ljust(256, b"\0"))[::-1]
    assert n.reverse_translate(codes, COMPLEMENT) == complemented
    assert n.reverse_translate(bytearray(codes), COMPLEMENT) == complemented
