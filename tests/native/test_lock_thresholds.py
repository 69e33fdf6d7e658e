"""Each native call that lets go of the interpreter lock for a large input,
just below and just above the size from which it does, with results checked
against plain Python.  Under the debug allocator (the devmode stage runs
these tests with PYTHONMALLOC=debug) a Python object made or freed without
the lock aborts the process, so each branch is checked for that too."""

import array
import io
import random
import sys
import threading

import pytest

from alphabet import _native as n

# Inputs of this many items or more are worked on without the lock.
UNLOCKED_FROM = 1 << 16
SIZES = [UNLOCKED_FROM - 1, UNLOCKED_FROM, UNLOCKED_FROM + 17]
DNA = "ACGT"
WIDE = tuple(chr(c) for c in range(0x100, 0x100 + 300))


def text(size, letters=DNA, seed=0):
    return "".join(random.Random(seed).choices(letters, k=size))


@pytest.mark.parametrize("size", SIZES)
def test_encoding_and_decoding(size):
    codec = n.Codec(tuple(DNA))
    dna = text(size)
    codes = bytes(DNA.index(c) for c in dna)
    assert codec.encode(dna) == codes  # a str of one byte per character
    assert codec.encode(dna.encode()) == codes  # a buffer
    assert codec.decode_str(codes) == dna
    assert codec.decode_str(array.array("H", list(codes))) == dna  # wider codes
    wide = n.Codec(WIDE)
    wide_text = text(size, WIDE)
    wide_codes = array.array("H", (c - 0x100 for c in map(ord, wide_text)))
    assert wide.encode(wide_text) == wide_codes  # two bytes per character
    assert wide.decode_str(wide_codes) == wide_text
    far = n.Codec(("\U0001f600", "A"))
    assert far.encode("\U0001f600A" * (size // 2)) == b"\0\1" * (size // 2)  # four bytes


@pytest.mark.parametrize("size", SIZES)
def test_refusals_past_the_threshold_are_raised_with_the_lock(size):
    codec = n.Codec(tuple(DNA))
    with pytest.raises(ValueError, match=f"at position {size - 1}$"):
        codec.encode(text(size - 1) + "X")
    with pytest.raises(ValueError, match=f"Code 4 not in alphabet at position {size - 1}$"):
        codec.decode_str(bytes(size - 1) + b"\4")


@pytest.mark.parametrize("size", SIZES)
def test_bulk_calls_over_codes(size):
    codes = bytes(random.Random(size).choices(range(4), k=size))
    complement = bytes([3, 2, 1, 0])
    expected = bytes(complement[c] for c in reversed(codes))
    assert n.reverse_translate(codes, complement) == expected
    assert n.reverse_translate(array.array("H", list(codes)), complement) == array.array(
        "H", list(expected)
    )
    mers = n.kmers(codes, 3, 4)
    assert len(mers) == size - 2 and mers[-1] == codes[-3] * 16 + codes[-2] * 4 + codes[-1]
    wide = array.array("I", list(codes))
    assert n.kmers(wide, 3, 4) == mers
    assert n.format_codes(codes) == " ".join(map(str, codes)).encode()


@pytest.mark.parametrize("size", SIZES)
def test_calls_for_models(size):
    codes = bytes(random.Random(size).choices(range(4), k=size))
    complement = bytes([3, 2, 1, 0])
    canonical = n.kmers(codes, 3, 4, complement=complement)
    last = codes[-3:]
    reverse = [complement[c] for c in reversed(last)]
    assert canonical[-1] == min(last[0] * 16 + last[1] * 4 + last[2],
                                reverse[0] * 16 + reverse[1] * 4 + reverse[2])  # fmt: skip
    positions, values = n.minimizers(codes, 3, 4, 4, complement=complement)
    assert list(values) == [canonical[p] for p in positions]
    rows = n.one_hot(codes, bytes([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]), 4, "B")
    assert rows.tolist()[-1] == [1 if j == codes[-1] else 0 for j in range(4)]
    tokens = n.Codec(tuple(DNA) + ("<s>",))
    assert tokens.encode(text(size, seed=size) + "<s>")[-1] == 4
    batch, lengths = n.encode_batch(tokens, [codes, codes[:5]], 4, format="H")
    assert batch.tolist()[1] == list(codes[:5]) + [4] * (size - 5)
    protein = n.translate(text(size - size % 3), n.codon_table("X" * 64))
    assert protein == "X" * (size // 3)


@pytest.mark.parametrize("size", SIZES + [1 << 20])
def test_reading_long_records(size):
    # A record's codes are made without the lock from the threshold on, and
    # its text is copied without it from a megabyte on.
    dna = text(size, seed=size)
    data = f">r\n{dna}\n>s\nAC\n".encode()
    codec = n.Codec(tuple(DNA))
    records = list(n.Reader(io.BytesIO(data), codec=codec))
    assert records[0].sequence == codec.encode(dna) and records[1].sequence == b"\0\1"
    assert [r.sequence for r in n.Reader(io.BytesIO(data))] == [dna, "AC"]


# A batch takes this many records or more at a time without the lock.
UNLOCKED_RECORDS = 64


@pytest.mark.parametrize(
    "count", [UNLOCKED_RECORDS - 1, UNLOCKED_RECORDS, 3 * UNLOCKED_RECORDS + 5]
)
@pytest.mark.parametrize("phred", [0, 33])
def test_reading_batches(count, phred):
    # A record beyond ASCII stops a run without the lock: it is coded
    # through its text, with the lock, and the run goes on after it.
    reads = [(f"r{i} d", text(20 + i % 7, seed=i), text(20 + i % 7, "!#I", seed=-i))
             for i in range(count)]  # fmt: skip
    reads[count // 2] = ("wide dé", "ACNT", "IIII")
    data = "".join(f"@{h}\n{s}\n+\n{q}\n" for h, s, q in reads).encode()
    codec = n.Codec(tuple(DNA), unknown=0)
    one_by_one = list(n.Reader(io.BytesIO(data), codec=codec, phred=phred))
    batches = list(n.Reader(io.BytesIO(data), codec=codec, phred=phred, batch_size=count + 9))
    assert [len(batch) for batch in batches] == [count]
    assert [batches[0][i] for i in range(count)] == one_by_one


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("line_width", [0, 60])
def test_writing_long_records(tmp_path, size, line_width):
    # A chunk's bytes are copied in without the lock from the threshold on:
    # a long sequence, its quality, and a FASTA sequence's whole lines; to a
    # file descriptor the chunk is written out without it too.
    dna = text(size, seed=size)
    quality = text(size, "!#I", seed=size + 1)
    width = line_width or size
    lines = "".join(dna[i : i + width] + "\n" for i in range(0, size, width))
    chunks = []
    writer = n.Writer(chunks.append, line_width=line_width, chunk_size=3 * UNLOCKED_FROM)
    writer.write(("r", dna, quality))
    writer.write(("s", "AC", "II"))
    writer.close()
    assert b"".join(chunks).decode() == f"@r\n{dna}\n+\n{quality}\n@s\nAC\n+\nII\n"
    path = tmp_path / "out.fa"
    with open(path, "wb") as out:
        writer = n.Writer(out, fd=out.fileno(), format="fasta", line_width=line_width)
        writer.write(("r", dna))
        writer.close()
    assert path.read_text() == f">r\n{lines}"


def test_decoding_to_a_list_keeps_the_symbols_counts_while_others_use_them():
    # decode_list makes Python objects as it goes: it must keep the lock, or
    # the counts of the symbols, which the other threads change meanwhile,
    # come out wrong.
    symbols = tuple(f"{a}{b}{c}" for a in DNA for b in DNA for c in DNA)
    codec = n.Codec(symbols)
    codes = bytes(random.Random(1).choices(range(len(symbols)), k=4 * UNLOCKED_FROM))
    counts = [sys.getrefcount(symbol) for symbol in symbols]
    done = threading.Event()

    def touch():
        while not done.is_set():
            kept = list(symbols) * 1000  # a reference taken and let go per item, in C
            del kept

    others = [threading.Thread(target=touch) for _ in range(2)]
    for thread in others:
        thread.start()
    try:
        for _ in range(20):
            decoded = codec.decode_list(codes)
            assert decoded[:3] == [symbols[c] for c in codes[:3]]
            del decoded
    finally:
        done.set()
        for thread in others:
            thread.join()
    assert [sys.getrefcount(symbol) for symbol in symbols] == counts
