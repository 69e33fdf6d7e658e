"""Padded batches (encode_batch, decode_batch) against rows padded in plain
Python and the numpy idiom, on every kernel path; one-hot rows against numpy's."""

import array
import random
import types

import pytest

import alphabet as ab

PROTEIN = "ACDEFGHIKLMNPQRSTVWY"
TOKENS = ab.protein().extend(["<pad>", "<cls>", "<eos>"])


def padded(alphabet, texts, pad, prefix=(), suffix=(), length=None, truncate=False):
    """The rows and lengths encode_batch must give, one list per row."""
    framing = [alphabet.encode(s) for s in prefix], [alphabet.encode(s) for s in suffix]
    bodies = [list(alphabet.encode_all(t)) if isinstance(t, str) else list(t) for t in texts]
    width = length if length is not None else max((sum(map(len, framing)) + len(b) for b in bodies),
                                                  default=0)  # fmt: skip
    keep = width - sum(map(len, framing))
    rows = [framing[0] + (b[:keep] if truncate else b) + framing[1] for b in bodies]
    return [r + [alphabet.encode(pad)] * (width - len(r)) for r in rows], [len(r) for r in rows]


def rows_of(codes):
    return memoryview(codes).tolist()


# Lengths about the vector widths, an empty one, and wide text.
LENGTHS = [0, 1, 15, 16, 17, 31, 33, 63, 64, 65, 130]


@pytest.mark.parametrize(
    "dtype, fmt", [(None, "B"), ("uint16", "H"), ("int32", "i"), ("int64", "q")]
)
@pytest.mark.parametrize(
    "alphabet, pad, prefix, suffix",
    [
        (ab.protein(), "A", (), ()),  # texts straight into the rows
        (ab.protein(), "Y", ["M", "K"], "W"),
        (TOKENS, "<pad>", "<cls>", ["<eos>"]),  # texts cut into tokens first
    ],
)
def test_rows_are_prefix_codes_suffix_and_padding_on_every_path(
    path, dtype, fmt, alphabet, pad, prefix, suffix
):
    rng = random.Random(len(path) + len(fmt))
    texts = ["".join(rng.choices(PROTEIN, k=n)) for n in LENGTHS]
    codes, lengths = alphabet.encode_batch(texts, pad=pad, prefix=prefix, suffix=suffix,
                                           dtype=dtype)  # fmt: skip
    listed = [[s] if isinstance(s, str) else s for s in (prefix, suffix)]
    rows, counts = padded(alphabet, texts, pad, *listed)
    assert memoryview(codes).format == fmt and memoryview(lengths).format == "q"
    assert codes.shape == (len(texts), len(rows[0])) and memoryview(codes).c_contiguous
    assert rows_of(codes) == rows and list(memoryview(lengths)) == counts
    assert alphabet.decode_batch(codes, lengths) == [
        "".join(alphabet.decode_all(r[:c])) for r, c in zip(rows, counts, strict=True)
    ]


def test_every_kind_of_sequence_gives_the_same_rows():
    dna = ab.dna()
    texts = ["GATTACA", "", "ACGT" * 20, "T"]
    codes = [dna.encode_all(t) for t in texts]
    records = [ab.Record("r", "", c) for c in codes]
    text_records = [ab.Record("r", "", t) for t in texts]
    flat = b"".join(codes)
    offsets = array.array("q", [0])
    for c in codes:
        offsets.append(offsets[-1] + len(c))
    as_batch = types.SimpleNamespace(sequences=flat, offsets=offsets, alphabet=dna)
    text_batch = types.SimpleNamespace(sequences="".join(texts).encode(), offsets=offsets,
                                       alphabet=None)  # fmt: skip
    expected = rows_of(dna.encode_batch(texts, pad="A")[0])
    for given in [codes, [list(c) for c in codes], [array.array("H", list(c)) for c in codes],
                  records, text_records, as_batch, text_batch, iter(texts), tuple(texts)]:  # fmt: skip
        result, lengths = dna.encode_batch(given, pad="A")
        assert rows_of(result) == expected, given
        assert list(memoryview(lengths)) == [len(t) for t in texts]


def test_length_truncate_and_the_errors_that_name_the_sequence():
    dna = ab.dna()
    texts = ["ACGTACGT", "AC", "ACGTA"]
    with pytest.raises(ValueError, match="sequence 0 has 10 codes") as info:
        dna.encode_batch(texts, pad="T", length=6, prefix="G", suffix="G")
    assert not isinstance(info.value, ab.AlphabetError)
    codes, lengths = dna.encode_batch(
        texts, pad="T", length=6, prefix="G", suffix="G", truncate=True
    )
    rows, counts = padded(dna, texts, "T", ["G"], ["G"], length=6, truncate=True)
    assert rows_of(codes) == rows and list(memoryview(lengths)) == counts == [6, 4, 6]
    assert rows_of(dna.encode_batch(texts, pad="T", length=9)[0])[1] == [0, 1] + [3] * 7
    with pytest.raises(ValueError, match="no room"):
        dna.encode_batch(texts, pad="T", length=1, prefix="G", suffix="G", truncate=True)
    # A symbol cut off by truncate is still checked.
    for bad, position in [(["ACG", "ACGTNA"], 4), (["ACG", "AXG"], 1)]:
        with pytest.raises(ab.AlphabetError, match="^sequence 1: Symbol") as info:
            dna.encode_batch(bad, pad="T", length=2, truncate=True)
        assert info.value.position == position
    with pytest.raises(ab.AlphabetError, match="^sequence 1: Code 4 not in alphabet at position 2"):
        dna.encode_batch([b"\x00", b"\x00\x01\x04"], pad="T")
    with pytest.raises(ab.AlphabetError, match="pad 'N' is not a symbol"):
        dna.encode_batch(texts, pad="N")
    with pytest.raises(TypeError, match="integer dtype"):
        dna.encode_batch(texts, pad="A", dtype="float32")
    with pytest.raises(ValueError, match="does not fit"):
        ab.Alphabet([chr(0x100 + i) for i in range(300)]).encode_batch(["\u0100"], pad="\u0100",
                                                                       dtype="int8")  # fmt: skip
    with pytest.raises(TypeError, match=r"sequence 1: .*shape \(2, 2\)"):
        dna.encode_batch([b"", memoryview(b"\x00" * 4).cast("B", (2, 2))], pad="A")


def test_the_numpy_idiom_gives_the_same_array():
    np = pytest.importorskip("numpy")
    rng = random.Random(3)
    protein = ab.protein()
    texts = ["".join(rng.choices(PROTEIN, k=rng.randrange(0, 90))) for _ in range(200)]
    codes, lengths = protein.encode_batch(texts, pad="A", dtype=np.int64)
    joined = np.frombuffer(protein.encode_all("".join(texts)), dtype=np.uint8)
    counts = np.array([len(t) for t in texts])
    idiom = np.zeros((len(texts), counts.max()), dtype=np.int64)
    idiom[np.arange(counts.max()) < counts[:, None]] = joined
    assert np.array_equal(np.asarray(codes), idiom) and np.asarray(codes).dtype == np.int64
    assert np.array_equal(np.asarray(lengths), counts)


def test_wide_alphabets_and_texts_batch_too():
    wide = ab.Alphabet([chr(0x4E00 + i) for i in range(300)], ignore_case=True)
    texts = ["\u4e00\u4e05", "", "\u4e10"]
    codes, _ = wide.encode_batch(texts, pad="\u4e00")
    assert memoryview(codes).format == "H"
    assert rows_of(codes) == [[0, 5], [0, 0], [16, 0]]
    assert wide.decode_batch(codes, [2, 0, 1]) == texts
    with pytest.raises(ValueError, match=r"lengths\[1\] is outside \[0, 2\]"):
        wide.decode_batch(codes, [2, 3, 1])


ONE_HOT_DTYPES = ["uint8", "float32", "float64", "int64", "bool"]


@pytest.mark.parametrize("dtype", ONE_HOT_DTYPES)
def test_one_hot_rows_equal_the_numpy_idiom_on_every_path(path, dtype):
    np = pytest.importorskip("numpy")
    rng = random.Random(dtype)
    for alphabet in [ab.dna(), ab.protein(), TOKENS]:
        for n in LENGTHS:
            codes = bytes(rng.randrange(len(alphabet)) for _ in range(n))
            rows = np.asarray(alphabet.one_hot(codes, dtype=dtype))
            expected = np.take(np.eye(len(alphabet), dtype=dtype), np.frombuffer(codes, np.uint8),
                               axis=0)  # fmt: skip
            assert rows.dtype == np.dtype(dtype) and rows.shape == (n, len(alphabet))
            assert np.array_equal(rows, expected)


def test_iupac_rows_are_over_the_four_bases():
    np = pytest.importorskip("numpy")
    iupac = ab.iupac_dna()
    text = "ACGTRYSWKMBDHVN-" * 5
    zero = np.asarray(iupac.one_hot(text))
    assert zero.shape == (80, 4) and zero[:, :4].sum() == 20
    assert np.array_equal(zero[:4], np.eye(4, dtype=np.uint8)) and not zero[4:16].any()
    spread = np.asarray(iupac.one_hot("NRB-", dtype="float32", ambiguous="spread"))
    third = np.float32(1 / 3)
    assert spread.tolist() == [[0.25] * 4, [0.5, 0, 0.5, 0], [0, third, third, third], [0] * 4]
    assert np.allclose(np.asarray(ab.iupac_rna().one_hot(text.replace("T", "U"), dtype="float64",
                                                         ambiguous="spread")).sum(axis=1),
                       ([1] * 15 + [0]) * 5)  # fmt: skip
    with pytest.raises(ValueError, match="float dtype"):
        iupac.one_hot("N", ambiguous="spread")
    with pytest.raises(ValueError, match="zero"):
        iupac.one_hot("N", ambiguous="half")


def test_one_hot_batch_pads_with_zero_rows():
    np = pytest.importorskip("numpy")
    texts = ["GATTACA", "", "AC" * 40]
    dna = ab.dna()
    batch = np.asarray(dna.one_hot_batch(texts, dtype="float32"))
    assert batch.shape == (3, 80, 4)
    for i, text in enumerate(texts):
        assert np.array_equal(batch[i, : len(text)], np.asarray(dna.one_hot(text, dtype="float32")))
        assert not batch[i, len(text) :].any()
    assert np.asarray(dna.one_hot_batch(texts, length=100)).shape == (3, 100, 4)
    with pytest.raises(ValueError, match="sequence 2"):
        dna.one_hot_batch(texts, length=10)


def test_calls_on_one_sequence_refuse_more_dimensions_naming_the_shape():
    dna = ab.dna()
    square = memoryview(bytes(6)).cast("B", (2, 3))
    for call in [dna.kmers, dna.decode_str, dna.decode_all, dna.reverse_complement, dna.one_hot,
                 dna.encode_all, ab.genetic_code().translate]:  # fmt: skip
        args = (square, 2) if call == dna.kmers else (square,)
        with pytest.raises(TypeError, match=r"shape \(2, 3\)"):
            call(*args)
    with pytest.raises(TypeError, match=r"two dimensions, not shape \(6,\)"):
        dna.decode_batch(bytes(6), [0])


def test_empty_batches_are_arrays_of_no_rows_or_no_columns():
    dna = ab.dna()
    for texts, shape in [([], (0, 0)), (["", ""], (2, 0))]:
        codes, lengths = dna.encode_batch(texts, pad="A")
        assert codes.shape == shape and len(codes) == shape[0]
        assert memoryview(codes).shape == shape and codes.tolist() == [[]] * shape[0]
        assert list(memoryview(lengths)) == [0] * shape[0]
        assert dna.decode_batch(codes, lengths) == texts
    with pytest.raises(TypeError):
        type(codes)()
