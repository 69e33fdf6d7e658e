"""Reading FASTQ, plain and compressed, record by record and in batches,
against dnaio and against the decompressors alone.

The files are made once per run in a temporary folder: 600,000 records of
150 bases (195 MB), the same as gzip level 6, and as BGZF (`bgzip -l 6`
when Debian's tabix is installed, else blocks written here).  Measured
side by side, best of a few rounds each:

* the gzip decompressors alone, each reading the .gz to its end: Python's
  gzip, python-isal (igzip, and igzip_threaded with one thread), zlib-ng
  (gzip_ng, gzip_ng_threaded), libdeflate's bindings (the whole file in
  memory, as that package needs) and rapidgzip (on every core);
* `read(p)` record by record on the .gz, the BGZF and the plain file,
  against `dnaio.open(p)` and `dnaio.open(p, open_threads=2)`;
* `read(p, batch_size=N)` on the plain file, against dnaio record by record
  and a plain read of the file.

A peer that is not installed is left out (bench/requirements-peers.txt).

    PYTHONPATH=build-bench:build-bench/python:python .venv/bin/python bench/bench_fastq.py [--quick]
"""

from __future__ import annotations

import gzip
import importlib.util
import os
import random
import shutil
import struct
import subprocess
import tempfile
import zlib
from collections.abc import Callable

import alphabet
from alphabet import _compression
from common import Figure, best_interleaved, clocked, run_part

CHUNK = 1 << 20


def write_fastq(path: str, count: int, length: int = 150) -> None:
    rng = random.Random(7)
    table = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    quality = bytes.maketrans(bytes(range(256)), bytes(range(33, 75)) * 6 + bytes(range(33, 37)))
    with open(path, "wb") as out:
        for start in range(0, count, 1000):
            bases = rng.randbytes(length * 1000)
            scores = rng.randbytes(length * 1000).translate(quality)
            seqs = bases.translate(table)
            out.write(b"".join(
                b"@read%d/1 sample=%d\n%s\n+\n%s\n"
                % (start + i, i, seqs[i * length : (i + 1) * length], scores[i * length : (i + 1) * length])
                for i in range(min(1000, count - start))
            ))  # fmt: skip


def write_bgzf(source: str, target: str) -> str:
    """BGZF at level 6: bgzip's where installed, else blocks made here."""
    if shutil.which("bgzip") is not None:
        with open(source, "rb") as data, open(target, "wb") as out:
            subprocess.run(
                ["bgzip", "-l", "6", "-@", "2", "-c"], stdin=data, stdout=out, check=True
            )
        return "bgzip -l 6"
    with open(source, "rb") as data, open(target, "wb") as out:
        while piece := data.read(0xFF00):
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            body = packer.compress(piece) + packer.flush()
            out.write(b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00")
            out.write(struct.pack("<H", 25 + len(body)) + body)
            out.write(struct.pack("<II", zlib.crc32(piece), len(piece)))
        out.write(bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000"))
    return "blocks written by the benchmark"


def drain(stream: object) -> int:
    total = 0
    read = getattr(stream, "read1", None) or stream.read  # type: ignore[attr-defined]
    while piece := read(CHUNK):
        total += len(piece)
    return total


def decompressors(path: str) -> dict[str, Callable[[], object]]:
    """Each decompressor, reading the .gz to its end."""
    runs: dict[str, Callable[[], object]] = {}

    def with_file(opener: Callable[[str], object]) -> Callable[[], object]:
        def run() -> object:
            with opener(path) as stream:  # type: ignore[attr-defined]
                return drain(stream)

        return run

    runs["Python's gzip"] = with_file(lambda p: gzip.open(p, "rb"))
    if importlib.util.find_spec("isal") is not None:
        from isal import igzip, igzip_threaded

        runs["python-isal igzip"] = with_file(lambda p: igzip.open(p, "rb"))
        runs["python-isal igzip_threaded, 1 thread"] = with_file(
            lambda p: igzip_threaded.open(p, "rb", threads=1)
        )
    if importlib.util.find_spec("zlib_ng") is not None:
        from zlib_ng import gzip_ng, gzip_ng_threaded

        runs["zlib-ng gzip_ng"] = with_file(lambda p: gzip_ng.open(p, "rb"))
        runs["zlib-ng gzip_ng_threaded, 1 thread"] = with_file(
            lambda p: gzip_ng_threaded.open(p, "rb", threads=1)
        )
    if importlib.util.find_spec("deflate") is not None:
        import deflate

        def libdeflate() -> object:
            with open(path, "rb") as f:
                return len(deflate.gzip_decompress(f.read()))

        runs["libdeflate (deflate), whole file"] = libdeflate
    if importlib.util.find_spec("rapidgzip") is not None:
        import rapidgzip

        cores = _compression.default_threads()
        runs[f"rapidgzip, {cores} threads"] = with_file(
            lambda p: rapidgzip.open(p, parallelization=cores)
        )
    return runs


def ours_records(path: str) -> Callable[[], object]:
    def run() -> object:
        count = 0
        for record in alphabet.read(path):
            count += len(record.sequence)
        return count

    return run


def ours_batches(path: str, size: int = 16384) -> Callable[[], object]:
    def run() -> object:
        count = 0
        for batch in alphabet.read(path, batch_size=size):
            count += len(batch.sequences)
        return count

    return run


def dnaio_records(path: str, threads: int) -> Callable[[], object] | None:
    if importlib.util.find_spec("dnaio") is None:
        return None
    import dnaio

    def run() -> object:
        count = 0
        with dnaio.open(path, open_threads=threads) as records:
            for record in records:
                count += len(record.sequence)
        return count

    return run


def plain_read(path: str) -> Callable[[], object]:
    def run() -> object:
        with open(path, "rb") as f:
            return len(f.read())

    return run


def timed(runs: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    clocks = [lambda run=run: clocked(run) for run in runs.values()]
    return dict(zip(runs, best_interleaved(rounds, *clocks), strict=True))


def figures(quick: bool) -> list[Figure]:
    count = 60_000 if quick else 600_000
    rounds = 2 if quick else 3
    out: list[Figure] = []
    with tempfile.TemporaryDirectory(prefix="bench_fastq") as folder:
        plain = os.path.join(folder, "reads.fq")
        write_fastq(plain, count)
        packed = plain + ".gz"
        with open(plain, "rb") as f, open(packed, "wb") as g:
            g.write(gzip.compress(f.read(), compresslevel=6, mtime=0))
        blocked = os.path.join(folder, "reads.bgzf.fq.gz")
        made_by = write_bgzf(plain, blocked)
        size = os.path.getsize(plain) / 1e6
        title = f"{count:,} FASTQ records of 150 ({size:.0f} MB)"

        # The decompressors side by side.
        alone_runs = decompressors(packed)
        alone = timed(alone_runs, rounds)
        fastest = min(alone, key=alone.__getitem__)
        for name, seconds in alone.items():
            out.append(Figure(f"decompress .gz alone: {name}", seconds * 1e3, "ms",
                              alone["Python's gzip"] * 1e3, "Python's gzip"))  # fmt: skip
        chosen = "python-isal igzip" if _compression.GZIP_BACKEND == "isal" else "Python's gzip"

        runs: dict[str, Callable[[], object]] = {
            "gz: read(p)": ours_records(packed),
            "gz: decompressor alone": alone_runs[chosen],
            "bgzf: read(p)": ours_records(blocked),
            "plain: read(p)": ours_records(plain),
            "plain: read(p, batch_size=16384)": ours_batches(plain),
            "plain: a plain read of the file": plain_read(plain),
        }
        for label, path in (("gz", packed), ("bgzf", blocked), ("plain", plain)):
            for threads in (0, 2):
                run = dnaio_records(path, threads)
                if run is not None:
                    runs[f"{label}: dnaio.open(p, open_threads={threads})"] = run
        best = timed(runs, rounds)

        def figure(name: str, baseline: str, limit: float | None, note: str = "") -> None:
            if name in best and baseline in best:
                out.append(Figure(f"{title}, {name}", best[name] * 1e3, "ms", best[baseline] * 1e3,
                                  baseline, limit=limit, note=note))  # fmt: skip

        figure("gz: read(p)", "gz: decompressor alone", 1.15, f"decompressor: {chosen}")
        figure("gz: read(p)", "gz: dnaio.open(p, open_threads=0)", 0.7)
        figure("gz: read(p)", "gz: dnaio.open(p, open_threads=2)", 1.0)
        figure("bgzf: read(p)", "bgzf: dnaio.open(p, open_threads=2)", 0.85, made_by)
        figure("plain: read(p)", "plain: dnaio.open(p, open_threads=0)", 0.85)
        figure("plain: read(p, batch_size=16384)", "plain: dnaio.open(p, open_threads=0)", 0.33)
        figure("plain: read(p, batch_size=16384)", "plain: a plain read of the file", 3.0)
        out.append(Figure(f"fastest gzip decompressor here: {fastest}", alone[fastest] * 1e3, "ms",
                          alone["Python's gzip"] * 1e3, "Python's gzip"))  # fmt: skip
    return out


def main() -> None:
    run_part("reading FASTQ, plain and compressed", figures)


if __name__ == "__main__":
    main()
