"""Reading and encoding FASTA files, against the peers that do the same.

Two files are generated once per run into a temporary folder: 200 MB of
150-base reads (short records, one sequence line each) and 200 MB of long
records (2 Mb each, in 60-character lines).  For each, reading it and
encoding every sequence with the DNA alphabet:

* `read(path, alphabet=dna)`: codes made in C as the records are parsed;
  against pyhmmer's `SequenceFile(path, digital=True)` (goal: no slower, a
  ratio of at most 1.00), and against a plain read of the file's bytes.
* `for r in read(path): dna.encode_all(r.sequence)`: the text first.
* `read(path)` alone, the records only.
* biotite's FASTA reader with a `NucleotideSequence` per record.

A peer that is not installed is left out (pip install pyhmmer biotite: for
benchmarks only, never a dependency).

    PYTHONPATH=build-bench:build-bench/python:python .venv/bin/python bench/bench_reader.py [--quick]
"""

from __future__ import annotations

import importlib.util
import os
import random
import tempfile
from collections.abc import Callable

import alphabet
from common import Figure, best_interleaved, clocked, run_part

MB = 1_000_000


def write_reads(path: str, size: int, length: int = 150) -> None:
    """Records of `length` random bases, one line each, until `size` bytes."""
    rng = random.Random(5)
    table = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    with open(path, "wb") as out:
        written = number = 0
        while written < size:
            bases = rng.randbytes(length * 1000).translate(table)
            block = b"".join(
                b">read%d length=%d\n%s\n" % (number + i, length, bases[i * length : (i + 1) * length])
                for i in range(1000)
            )  # fmt: skip
            out.write(block)
            written += len(block)
            number += 1000


def write_long(path: str, size: int, length: int = 2 * MB, width: int = 60) -> None:
    """Records of `length` random bases in lines of `width`, until `size` bytes."""
    rng = random.Random(6)
    table = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    with open(path, "wb") as out:
        written = number = 0
        while written < size:
            bases = rng.randbytes(length).translate(table)
            lines = [bases[i : i + width] for i in range(0, length, width)]
            block = b">chr%d\n%s\n" % (number, b"\n".join(lines))
            out.write(block)
            written += len(block)
            number += 1


def contenders(path: str) -> dict[str, Callable[[], object]]:
    dna = alphabet.dna()
    assert dna is not None
    encode_all = dna.encode_all

    def plain_read() -> object:
        with open(path, "rb") as f:
            return len(f.read())

    def ours_coded() -> object:
        count = 0
        for record in alphabet.read(path, alphabet=dna):
            count += len(record.sequence)
        return count

    def ours_text_then_encode() -> object:
        count = 0
        for record in alphabet.read(path):
            count += len(encode_all(record.sequence))
        return count

    def ours_records() -> object:
        count = 0
        for record in alphabet.read(path):
            count += len(record.sequence)
        return count

    runs = {
        "a plain read of the file": plain_read,
        "read(p, alphabet=dna)": ours_coded,
        "read(p) + dna.encode_all": ours_text_then_encode,
        "read(p), records only": ours_records,
    }
    if importlib.util.find_spec("pyhmmer") is not None:
        import pyhmmer

        dna_hmmer = pyhmmer.easel.Alphabet.dna()

        def pyhmmer_digital() -> object:
            count = 0
            with pyhmmer.easel.SequenceFile(path, digital=True, alphabet=dna_hmmer) as f:
                for sequence in f:
                    count += len(sequence.sequence)
            return count

        runs["pyhmmer SequenceFile(digital=True)"] = pyhmmer_digital
    if importlib.util.find_spec("biotite") is not None:
        from biotite.sequence import NucleotideSequence
        from biotite.sequence.io.fasta import FastaFile

        def biotite_nucleotides() -> object:
            count = 0
            for _, text in FastaFile.read(path).items():
                count += len(NucleotideSequence(text))
            return count

        runs["biotite FastaFile + NucleotideSequence"] = biotite_nucleotides
    return runs


def file_figures(title: str, path: str, rounds: int) -> list[Figure]:
    runs = contenders(path)
    # Every contender sees the same bases (the plain read counts line ends
    # too); biotite's first run is its timed one.
    results = [run() for name, run in runs.items() if not name.startswith("biotite")]
    assert len(set(results[1:])) == 1, dict(zip(runs, results, strict=False))
    # A peer several times slower than the rest is clocked once: the noise of
    # a shared machine is small beside its time, and its rounds would take
    # minutes.
    slow = runs.pop("biotite FastaFile + NucleotideSequence", None)
    timed = [lambda run=run: clocked(run) for run in runs.values()]
    best = dict(zip(runs, best_interleaved(rounds, *timed), strict=True))
    if slow is not None:
        best["biotite FastaFile + NucleotideSequence"] = clocked(slow)
    plain = best.pop("a plain read of the file")
    peer = best.get("pyhmmer SequenceFile(digital=True)")
    figures = []
    for name, seconds in best.items():
        note = f"{seconds / plain:.1f}x a plain read ({plain * 1e3:.0f} ms)"
        if peer is None or name.startswith("pyhmmer"):
            figures.append(Figure(f"{title}: {name}", seconds * 1e3, "ms", plain * 1e3,
                                  "a plain read of the file", note=note))  # fmt: skip
        else:
            goal = 1.0 if name == "read(p, alphabet=dna)" else None
            figures.append(Figure(f"{title}: {name}", seconds * 1e3, "ms", peer * 1e3,
                                  "pyhmmer digital", limit=goal, note=note))  # fmt: skip
    return figures


def figures(quick: bool) -> list[Figure]:
    size = 20 * MB if quick else 200 * MB
    rounds = 2 if quick else 3
    with tempfile.TemporaryDirectory(prefix="bench_reader") as folder:
        reads = os.path.join(folder, "reads.fa")
        write_reads(reads, size)
        out = file_figures(f"{size // MB} MB of 150-base reads", reads, rounds)
        os.remove(reads)
        long = os.path.join(folder, "long.fa")
        write_long(long, size)
        out += file_figures(f"{size // MB} MB of 2 Mb records", long, rounds)
    return out


def main() -> None:
    run_part("reading FASTA", figures)


if __name__ == "__main__":
    main()
