"""read(..., batch_size=N): batches hold exactly the records that reading
one at a time gives, in buffers that numpy and pyarrow read in place."""

import importlib.util
import inspect
import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import alphabet as ab
from alphabet import FormatError, RecordBatch

WIDE = ab.Alphabet([chr(0x21 + i) for i in range(300) if chr(0x21 + i) not in ">@+"])

records = st.lists(
    st.tuples(
        st.text("abcé", min_size=1, max_size=5),
        st.text("xy é\t", max_size=6).map(str.strip),
        st.text("ACGT", max_size=30),
    ),
    max_size=12,
)


def as_file(items, fastq, width=7):
    lines = []
    for rid, description, sequence in items:
        lines.append(("@" if fastq else ">") + rid + (" " + description if description else ""))
        lines += [sequence[i : i + width] for i in range(0, len(sequence), width)]
        if fastq:
            lines += ["+", "".join(chr(40 + ord(c) % 30) for c in sequence)]
    return ("\n".join(lines) + "\n").encode()


def unbatched(batches):
    return [record for batch in batches for record in batch]


@settings(max_examples=60, deadline=None)
@given(
    items=records,
    fastq=st.booleans(),
    size=st.integers(1, 5),
    option=st.sampled_from(["text", "dna", "wide", "phred"]),
)
def test_batches_hold_the_records_read_one_at_a_time(items, fastq, size, option):
    data = as_file(items, fastq)
    options = {
        "text": {},
        "dna": {"alphabet": ab.dna()},
        "wide": {"alphabet": WIDE},
        "phred": {"phred": 33},
    }[option]
    if option == "phred" and not fastq:
        options = {}
    one_by_one = list(ab.read(io.BytesIO(data), **options))
    batches = list(ab.read(io.BytesIO(data), batch_size=size, **options))
    assert all(isinstance(b, RecordBatch) and 1 <= len(b) <= size for b in batches)
    assert unbatched(batches) == one_by_one
    for batch in batches:
        offsets = memoryview(batch.offsets).tolist()
        assert offsets[0] == 0 and offsets[-1] == len(batch.sequences)
        assert batch.ids == [r.id for r in batch] and batch.descriptions == [
            r.description for r in batch
        ]
        assert (batch.qualities is None) == (not fastq)
        for i, record in enumerate(batch):
            codes = memoryview(batch.sequences)[offsets[i] : offsets[i + 1]]
            if batch.coded:
                assert codes.tolist() == list(record.sequence)
            else:
                assert codes.tobytes().decode() == record.sequence


def test_buffers_are_typed_and_read_in_place():
    np = pytest.importorskip("numpy")
    data = as_file([("a", "", "ACGT" * 10), ("b", "", "GG")], fastq=True)
    (batch,) = ab.read(io.BytesIO(data), alphabet=WIDE, batch_size=10, phred=33)
    codes = np.asarray(batch.sequences)
    assert codes.dtype == np.uint16 and len(codes) == 42
    assert not codes.flags.owndata and not codes.flags.writeable
    assert list(codes[:4]) == list(WIDE.encode_all("ACGT"))
    assert np.asarray(batch.offsets).dtype == np.int64
    assert np.asarray(batch.offsets).tolist() == [0, 40, 42]
    assert np.asarray(batch.qualities).tolist()[40:] == [40 + ord("G") % 30 - 33] * 2
    with pytest.raises(TypeError, match="read-only"):
        memoryview(batch.sequences).cast("B")[0:1] = b"x"
    with pytest.raises(BufferError, match="read-only"):
        batch.sequences.__buffer__(inspect.BufferFlags.WRITABLE)


@pytest.mark.skipif(importlib.util.find_spec("pyarrow") is None, reason="pyarrow is not installed")
@pytest.mark.parametrize("options", [{}, {"alphabet": ab.dna(), "phred": 33}])
def test_to_arrow_shares_the_sequences(options):
    import pyarrow as pa

    data = as_file([("a", "one", "ACGT"), ("b", "", ""), ("c", "", "TTG")], fastq=True)
    (batch,) = ab.read(io.BytesIO(data), batch_size=10, **options)
    table = batch.to_arrow()
    assert table.schema.names == ["id", "description", "sequence", "quality"]
    assert table.column("id").to_pylist() == ["a", "b", "c"]
    sequences = table.column("sequence")
    if options:
        assert sequences.to_pylist() == [list(r.sequence) for r in batch]
        values = sequences.values.buffers()[1]
    else:
        assert sequences.to_pylist() == [r.sequence for r in batch]
        values = sequences.buffers()[2]
    assert values.address == pa.py_buffer(batch.sequences).address


@pytest.mark.parametrize("errors", ["strict", "skip"])
def test_a_record_that_does_not_code_ends_its_batch_early_or_is_skipped(errors):
    data = as_file([(f"r{i}", "", "ACXT" if i == 3 else "ACGT") for i in range(7)], fastq=True)
    reader = ab.read(io.BytesIO(data), alphabet=ab.dna(), batch_size=5, errors=errors)
    sizes = []
    while True:
        try:
            sizes.append([r.id for r in next(reader)])
        except StopIteration:
            break
        except ab.AlphabetError as error:
            sizes.append(f"error {error.record} line {error.line}")
    if errors == "strict":
        assert sizes == [["r0", "r1", "r2"], "error r3 line 14", ["r4", "r5", "r6"]]
    else:
        assert sizes == [["r0", "r1", "r2", "r4", "r5"], ["r6"]] and reader.skipped == 1


def test_a_malformed_input_comes_after_the_batch_before_it():
    reader = ab.read(io.BytesIO(b"@a\nAC\n+\nII\n@b\nAC\n+\nI\n"), batch_size=10)
    assert [r.id for r in next(reader)] == ["a"]
    with pytest.raises(FormatError, match="line 8"):
        next(reader)
    assert reader.closed and list(reader) == []


def test_an_alphabet_of_longer_symbols_codes_batches_as_records():
    tokens = ab.protein().extend(["<cls>", "<eos>"])
    data = b">a\n<cls>MKW<eos>\n>b\nMK\n"
    one_by_one = list(ab.read(io.BytesIO(data), alphabet=tokens))
    (batch,) = ab.read(io.BytesIO(data), alphabet=tokens, batch_size=10)
    assert list(batch) == one_by_one
    assert memoryview(batch.offsets).tolist() == [0, 5, 7]
    # FASTQ qualities cannot follow such codes item for item.
    fastq = b"@a\n<cls>M\n+\nIIIIII\n@b\nMK\n+\nII\n"
    reader = ab.read(io.BytesIO(fastq), alphabet=tokens, batch_size=10, errors="skip")
    assert [r.id for batch in reader for r in batch] == ["b"] and reader.skipped == 1
