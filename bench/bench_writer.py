"""Writing FASTA and FASTQ, against dnaio's writers and the floors beneath.

Records are made once per run, in each side's own record type, and every
side writes the same bytes into a temporary folder:

* 600,000 FASTQ records of 150 bases: `alphabet.write(path, records)`
  against dnaio's writer (goal: at most 0.5x its time), with a plain write
  of the same bytes as the floor.
* The same records gzip-compressed at level 1: against the compressor alone
  writing the same bytes (python-isal's threaded writer with the same
  threads; goal: within 1.15x) and against dnaio with `open_threads=2`
  (goal: no slower).
* A genome of 4 records of 25 Mb in lines of 60: against dnaio's
  `line_length=60` (goal: at most 0.4x).
* The command line: `decode` of the text codes that `encode` writes,
  against that `encode` of the same records (goal: at most 1.5x).

dnaio and python-isal are benchmark peers (`bench/requirements-peers.txt`);
a figure whose peer is missing is left out.

    PYTHONPATH=build-bench:build-bench/python:python .venv/bin/python bench/bench_writer.py [--quick]
"""

from __future__ import annotations

import contextlib
import importlib.util
import io
import os
import random
import tempfile
from collections.abc import Callable

import alphabet
from alphabet import _cli, _compression
from common import Figure, best_interleaved, clocked, run_part

GZIP_THREADS = 2


def fastq_records(count: int, length: int = 150) -> list[alphabet.Record[str]]:
    rng = random.Random(11)
    table = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    scores = bytes.maketrans(bytes(range(256)), bytes(range(35, 75)) * 6 + bytes(range(35, 51)))
    records = []
    for i in range(count):
        sequence = rng.randbytes(length).translate(table).decode()
        quality = rng.randbytes(length).translate(scores).decode()
        records.append(alphabet.Record(f"read{i}", f"length={length}", sequence, quality))
    return records


def genome(count: int, length: int) -> list[alphabet.Record[str]]:
    rng = random.Random(12)
    table = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    return [
        alphabet.Record(f"chr{i + 1}", "", rng.randbytes(length).translate(table).decode(), None)
        for i in range(count)
    ]


def timed_into(path: str, work: Callable[[str], object]) -> Callable[[], float]:
    """A run for best_interleaved: work(path) on the clock, the file removed after."""

    def run() -> float:
        seconds = clocked(lambda: work(path))
        os.remove(path)
        return seconds

    return run


def writing_bytes(data: bytes) -> Callable[[str], None]:
    """The floor: `data` written to a path with one write()."""

    def same_bytes(target: str) -> None:
        with open(target, "wb") as out:
            out.write(data)

    return same_bytes


def dnaio_writing(records: list[alphabet.Record[str]], **options: object) -> Callable[[str], None]:
    """dnaio's writer of `options`, given the records in its own type."""
    import dnaio

    theirs = dnaio_records(records)

    def dnaio_write(target: str) -> None:
        with dnaio.open(target, mode="w", **options) as writer:
            for record in theirs:
                writer.write(record)

    return dnaio_write


def dnaio_records(records: list[alphabet.Record[str]]) -> list[object]:
    import dnaio

    return [
        dnaio.SequenceRecord(
            f"{r.id} {r.description}" if r.description else r.id, r.sequence, r.quality
        )  # fmt: skip
        for r in records
    ]


def fastq_figures(folder: str, records: list[alphabet.Record[str]], rounds: int) -> list[Figure]:
    path = os.path.join(folder, "out.fq")
    plain = io.BytesIO()
    alphabet.write(plain, records)
    data = plain.getvalue()

    runs = {
        "write(p, records)": timed_into(path, lambda p: alphabet.write(p, records)),
        "the same bytes": timed_into(path, writing_bytes(data)),
    }
    title = f"{len(records):,} FASTQ records of 150 bases"
    if importlib.util.find_spec("dnaio") is None:
        best = dict(zip(runs, best_interleaved(rounds, *runs.values()), strict=True))
        return [Figure(f"{title}: write(p, records)", best["write(p, records)"] * 1e3, "ms",
                       best["the same bytes"] * 1e3, "the same bytes written")]  # fmt: skip
    runs["dnaio"] = timed_into(path, dnaio_writing(records))
    best = dict(zip(runs, best_interleaved(rounds, *runs.values()), strict=True))
    floor = best["the same bytes"]
    return [
        Figure(f"{title}: write(p, records)", best["write(p, records)"] * 1e3, "ms",
               best["dnaio"] * 1e3, "dnaio's writer", limit=0.5,
               note=f"{best['write(p, records)'] / floor:.2f}x writing the same bytes "
                    f"({floor * 1e3:.0f} ms)"),
    ]  # fmt: skip


def gzip_figures(folder: str, records: list[alphabet.Record[str]], rounds: int) -> list[Figure]:
    path = os.path.join(folder, "out.fq.gz")
    plain = io.BytesIO()
    alphabet.write(plain, records)
    data = plain.getvalue()
    title = f"{len(records):,} FASTQ records, gzip level 1"
    threaded = importlib.util.find_spec("isal") is not None

    def ours(target: str) -> None:
        alphabet.write(target, records, compresslevel=1, threads=GZIP_THREADS)

    def compressor_alone(target: str) -> None:
        with open(target, "wb") as raw:
            stream = _compression.gzip_writer(raw.write, raw.flush, 1, GZIP_THREADS)
            for start in range(0, len(data), 1 << 20):
                stream.write(data[start : start + (1 << 20)])
            stream.close()

    runs = {"ours": timed_into(path, ours), "alone": timed_into(path, compressor_alone)}
    if importlib.util.find_spec("dnaio") is not None:
        runs["dnaio"] = timed_into(
            path, dnaio_writing(records, compression_level=1, open_threads=2)
        )
    best = dict(zip(runs, best_interleaved(rounds, *runs.values()), strict=True))
    backend = _compression.compressor_name(1, GZIP_THREADS)
    figures = [
        Figure(f"{title}: write(p.fq.gz, records, threads={GZIP_THREADS})", best["ours"] * 1e3,
               "ms", best["alone"] * 1e3, f"the compressor alone ({backend})",
               limit=1.15 if threaded else None),
    ]  # fmt: skip
    if "dnaio" in best:
        figures.append(
            Figure(
                f"{title}: write(p.fq.gz, records, threads={GZIP_THREADS})",
                best["ours"] * 1e3,
                "ms",
                best["dnaio"] * 1e3,
                "dnaio open_threads=2",
                limit=1.0,
            )  # fmt: skip
        )
    return figures


def fasta_figures(folder: str, records: list[alphabet.Record[str]], rounds: int) -> list[Figure]:
    path = os.path.join(folder, "genome.fa")
    plain = io.BytesIO()
    alphabet.write(plain, records, line_width=60)
    data = plain.getvalue()
    del plain

    runs = {
        "ours": timed_into(path, lambda p: alphabet.write(p, records, line_width=60)),
        "floor": timed_into(path, writing_bytes(data)),
    }
    title = f"{len(records)} x {len(records[0].sequence) // 1_000_000} Mb FASTA in lines of 60"
    if importlib.util.find_spec("dnaio") is None:
        best = dict(zip(runs, best_interleaved(rounds, *runs.values()), strict=True))
        return [Figure(f"{title}: write(p, genome)", best["ours"] * 1e3, "ms",
                       best["floor"] * 1e3, "the same bytes written")]  # fmt: skip
    runs["dnaio"] = timed_into(path, dnaio_writing(records, fileformat="fasta", line_length=60))
    best = dict(zip(runs, best_interleaved(rounds, *runs.values()), strict=True))
    floor = best["floor"]
    return [Figure(f"{title}: write(p, genome)", best["ours"] * 1e3, "ms", best["dnaio"] * 1e3,
                   "dnaio line_length=60", limit=0.4,
                   note=f"{best['ours'] / floor:.2f}x, dnaio {best['dnaio'] / floor:.2f}x, "
                        f"writing the same bytes ({floor * 1e3:.0f} ms)")]  # fmt: skip


def command_line_figures(
    folder: str, records: list[alphabet.Record[str]], rounds: int
) -> list[Figure]:
    source = os.path.join(folder, "reads.fa")
    alphabet.write(source, [(r.id, r.sequence) for r in records], line_width=0)
    codes = os.path.join(folder, "codes.txt")
    out = os.path.join(folder, "decoded.fa")
    with contextlib.redirect_stdout(io.StringIO()):
        assert _cli.main(["encode", "dna", source, "-o", codes]) == 0

    def encode() -> float:
        seconds = clocked(lambda: _cli.main(["encode", "dna", source, "-o", out]))
        os.remove(out)
        return seconds

    def decode() -> float:
        seconds = clocked(lambda: _cli.main(["decode", "dna", codes, "-o", out]))
        os.remove(out)
        return seconds

    encoded, decoded = best_interleaved(rounds, encode, decode)
    return [Figure(f"command line, {len(records):,} records: decode of text codes",
                   decoded * 1e3, "ms", encoded * 1e3, "encode of the same records",
                   limit=1.5)]  # fmt: skip


def figures(quick: bool) -> list[Figure]:
    count = 60_000 if quick else 600_000
    chromosome = 2_500_000 if quick else 25_000_000
    rounds = 2 if quick else 3
    with tempfile.TemporaryDirectory(prefix="bench_writer") as folder:
        records = fastq_records(count)
        out = fastq_figures(folder, records, rounds)
        out += gzip_figures(folder, records, rounds)
        out += command_line_figures(folder, records, rounds)
        del records
        out += fasta_figures(folder, genome(4, chromosome), rounds)
    return out


def main() -> None:
    run_part("writing FASTA and FASTQ", figures)


if __name__ == "__main__":
    main()
