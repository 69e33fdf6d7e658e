"""Random access to a genome by its index, against the peers that do the same.

A genome of 4 sequences of 25 Mb in 60-character lines (100 Mb) is written
once per run into a temporary folder, with a BGZF copy (bgzip when it is
installed, else the same blocks written here).  Then, side by side:

* 10,000 random 1 kb regions fetched as text: `Fasta.fetch(name, start,
  end)` against pysam's `FastaFile.fetch` (goal: at most 0.5 of its time)
  and pyfaidx's `Fasta(as_raw=True)[name][start:end]` (goal: at most 0.33),
  on the plain file and on the BGZF one;
* the same regions as codes, `fetch(..., alphabet=dna())`, against pysam's
  text (goal: at most 0.5);
* building the `.fai` of the plain file with `Fasta(path)` against the
  `samtools faidx` process (goal: at most 1.0);
* the peak memory of a process that builds the index and fetches, for the
  100 Mb genome against a 25 Mb one (goal: at most 1.1: memory does not
  grow with the genome).

A peer that is not installed is left out (pysam, pyfaidx: `pip install -r
bench/requirements-peers.txt`; samtools and bgzip are Debian's).

    PYTHONPATH=build-bench:build-bench/python:python .venv/bin/python bench/bench_genome.py [--quick]
"""

from __future__ import annotations

import importlib.util
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from collections.abc import Callable

import alphabet
from common import Figure, best_interleaved, clocked, run_part

MB = 1_000_000
REGIONS = 10_000
REGION_LENGTH = 1000


def write_genome(path: str, sequences: int, length: int, width: int = 60) -> list[str]:
    """Random bases in lines of `width`; the names."""
    rng = random.Random(8)
    table = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    names = []
    with open(path, "wb") as out:
        for number in range(sequences):
            name = f"chr{number + 1}"
            names.append(name)
            out.write(b">%s\n" % name.encode())
            bases = rng.randbytes(length).translate(table)
            out.write(b"\n".join(bases[i : i + width] for i in range(0, length, width)) + b"\n")
    return names


def write_bgzf(source: str, path: str) -> None:
    """A BGZF copy of `source`: by bgzip when installed, else in its block layout."""
    if shutil.which("bgzip") is not None:
        with open(source, "rb") as data, open(path, "wb") as out:
            subprocess.run(["bgzip", "-c"], stdin=data, stdout=out, check=True)
        return
    with open(source, "rb") as data, open(path, "wb") as out:
        while True:
            chunk = data.read(0xFF00)
            compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
            deflated = compressor.compress(chunk) + compressor.flush()
            header = b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00"
            out.write(header + struct.pack("<H", len(deflated) + 25) + deflated)
            out.write(struct.pack("<II", zlib.crc32(chunk), len(chunk)))
            if not chunk:
                break


def regions(names: list[str], length: int) -> list[tuple[str, int, int]]:
    rng = random.Random(9)
    out = []
    for _ in range(REGIONS):
        start = rng.randrange(length - REGION_LENGTH)
        out.append((rng.choice(names), start, start + REGION_LENGTH))
    return out


def fetchers(path: str, wanted: list[tuple[str, int, int]]) -> dict[str, Callable[[], object]]:
    """Each contender: a run that fetches every region and returns the bases' count."""
    ours = alphabet.Fasta(path)
    dna = alphabet.dna()
    runs: dict[str, Callable[[], object]] = {}

    def our_text() -> object:
        fetch = ours.fetch
        return sum(len(fetch(n, s, e)) for n, s, e in wanted)

    def our_codes() -> object:
        fetch = ours.fetch
        return sum(len(fetch(n, s, e, alphabet=dna)) for n, s, e in wanted)

    runs["Fasta.fetch(name, start, end)"] = our_text
    runs["Fasta.fetch(..., alphabet=dna())"] = our_codes
    if importlib.util.find_spec("pysam") is not None:
        import pysam

        theirs = pysam.FastaFile(path)

        def pysam_text() -> object:
            fetch = theirs.fetch
            return sum(len(fetch(n, s, e)) for n, s, e in wanted)

        runs["pysam FastaFile.fetch"] = pysam_text
    if importlib.util.find_spec("pyfaidx") is not None:
        import pyfaidx

        # BGZF needs Biopython beside it; without, pyfaidx is left out there.
        try:
            raw = pyfaidx.Fasta(path, as_raw=True)
        except Exception as error:
            print(f"pyfaidx cannot open {path}: {error}", file=sys.stderr)
        else:

            def pyfaidx_raw() -> object:
                return sum(len(raw[n][s:e]) for n, s, e in wanted)

            runs["pyfaidx Fasta(as_raw=True)[n][s:e]"] = pyfaidx_raw
    return runs


def fetch_figures(
    title: str, path: str, wanted: list[tuple[str, int, int]], rounds: int
) -> list[Figure]:
    runs = fetchers(path, wanted)
    counts = {name: run() for name, run in runs.items()}  # warms every cache alike
    assert len(set(counts.values())) == 1, counts
    timed = [lambda run=run: clocked(run) for run in runs.values()]
    best = dict(zip(runs, best_interleaved(rounds, *timed), strict=True))
    text = best["Fasta.fetch(name, start, end)"]
    codes = best["Fasta.fetch(..., alphabet=dna())"]
    pysam_time = best.get("pysam FastaFile.fetch")
    pyfaidx_time = best.get("pyfaidx Fasta(as_raw=True)[n][s:e]")
    figures = []
    per = f"{text / REGIONS * 1e6:.2f} us per fetch"
    if pysam_time is not None:
        figures.append(Figure(f"{title}: fetch as text", text * 1e3, "ms", pysam_time * 1e3,
                              "pysam fetch", limit=0.5, note=per))  # fmt: skip
        figures.append(Figure(f"{title}: fetch as codes (dna)", codes * 1e3, "ms",
                              pysam_time * 1e3, "pysam fetch (text)", limit=0.5))  # fmt: skip
    if pyfaidx_time is not None:
        figures.append(Figure(f"{title}: fetch as text", text * 1e3, "ms", pyfaidx_time * 1e3,
                              "pyfaidx as_raw", limit=0.33, note=per))  # fmt: skip
    if not figures:
        figures.append(Figure(f"{title}: fetch as text", text * 1e3, "ms", note=per))
    return figures


def build_figures(path: str, rounds: int) -> list[Figure]:
    samtools = shutil.which("samtools")

    def ours() -> float:
        os.remove(path + ".fai")
        start = time.perf_counter()
        alphabet.Fasta(path).close()
        return time.perf_counter() - start

    def theirs() -> float:
        assert samtools is not None
        os.remove(path + ".fai")
        start = time.perf_counter()
        subprocess.run([samtools, "faidx", path], check=True)
        return time.perf_counter() - start

    if samtools is None:
        return [Figure("building the .fai of 100 Mb: Fasta(path)", ours() * 1e3, "ms")]
    mine, tool = best_interleaved(rounds, ours, theirs)
    with open(path + ".fai", "rb") as built:
        made = built.read()
    theirs()
    with open(path + ".fai", "rb") as tools:
        assert made == tools.read(), "the .fai differs from samtools'"
    return [Figure("building the .fai of 100 Mb (60 columns): Fasta(path)", mine * 1e3, "ms",
                   tool * 1e3, "samtools faidx process", limit=1.0)]  # fmt: skip


# The peak is the process's own high-water mark (VmHWM): ru_maxrss would
# start at the benchmark's own size, which Linux carries over an exec.
_MEMORY_PROBE = """
import resource, sys
import alphabet
genome = alphabet.Fasta(sys.argv[1])
name = genome.names[0]
for start in range(0, len(genome[name]) - 1000, 997):
    genome.fetch(name, start, start + 1000)
try:
    with open("/proc/self/status") as status:
        print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
except OSError:
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def peak_memory(path: str) -> int:
    """Peak resident KiB of a process that builds the index of `path` and fetches along it."""
    for index in (path + ".fai", path + ".gzi"):
        if os.path.exists(index):
            os.remove(index)
    run = subprocess.run([sys.executable, "-c", _MEMORY_PROBE, path], check=True,
                         capture_output=True, text=True, env=os.environ.copy())  # fmt: skip
    return int(run.stdout.strip())


def memory_figures(large: str, folder: str) -> list[Figure]:
    small = os.path.join(folder, "small.fa")
    write_genome(small, 1, 25 * MB)
    big_kib, small_kib = peak_memory(large), peak_memory(small)
    return [Figure("peak memory, index built and fetched: 100 Mb genome", big_kib / 1024, "MiB",
                   small_kib / 1024, "the same for 25 Mb", limit=1.1)]  # fmt: skip


def figures(quick: bool) -> list[Figure]:
    rounds = 2 if quick else 3
    length = 5 * MB if quick else 25 * MB
    with tempfile.TemporaryDirectory(prefix="bench_genome") as folder:
        plain = os.path.join(folder, "genome.fa")
        names = write_genome(plain, 4, length)
        packed = os.path.join(folder, "genome.fa.gz")
        write_bgzf(plain, packed)
        samtools = shutil.which("samtools")
        for path in (plain, packed):
            # Every contender reads the same indexes; samtools' when it is there.
            if samtools is not None:
                subprocess.run([samtools, "faidx", path], check=True)
            else:
                alphabet.Fasta(path).close()
        wanted = regions(names, length)
        out = fetch_figures("plain FASTA", plain, wanted, rounds)
        out += fetch_figures("BGZF", packed, wanted, rounds)
        if not quick:
            out += build_figures(plain, rounds)
            out += memory_figures(plain, folder)
    return out


def main() -> None:
    run_part("genome random access", figures)


if __name__ == "__main__":
    main()
