"""Every benchmark of the project, printed as one table (what `make bench` runs).

Each figure is a ratio against a baseline measured in the same run, with its
goal beside it; a missed goal is marked MISSED.  The suite is a report: it
exits 0 whatever the figures say, and non-zero only when a benchmark could
not run.

    PYTHONPATH=build-bench:python .venv/bin/python bench/suite.py [--quick] [--core-bench PATH]

The C++ figures come from alphabet_core_bench --tsv and kernels_bench --tsv,
looked for in the build directory that _alphabet was imported from unless
--core-bench or --kernels-bench names them.
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import subprocess
import sys
import time
from collections.abc import Callable

import bench_models

import _alphabet
import bench_alphabet
import bench_codec
import bench_fastq
import bench_genome
import bench_package
import bench_package_alphabet
import bench_reader
import bench_sequences
import bench_writer
from common import Figure, format_table, missed, parse_core_tsv, parse_kernels_tsv


def core_figures(executable: str) -> list[Figure]:
    run = subprocess.run([executable, "--tsv"], check=True, capture_output=True, text=True)
    return parse_core_tsv(run.stdout)


def kernels_figures(executable: str) -> list[Figure]:
    run = subprocess.run([executable, "--tsv"], check=True, capture_output=True, text=True)
    return parse_kernels_tsv(run.stdout)


def default_bench(name: str) -> str:
    build = os.path.dirname(os.path.abspath(_alphabet.__file__))
    return os.path.join(build, "bench", name)


def machine() -> str:
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    today = datetime.date.today().isoformat()
    return (f"{os.cpu_count()} CPUs (nproc), {model}; Python {platform.python_version()}; "
            f"{today}")  # fmt: skip


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer rounds")
    parser.add_argument("--core-bench", default=default_bench("alphabet_core_bench"),
                        help="path of alphabet_core_bench")  # fmt: skip
    parser.add_argument("--kernels-bench", default=default_bench("kernels_bench"),
                        help="path of kernels_bench")  # fmt: skip
    args = parser.parse_args()

    parts: list[tuple[str, Callable[[], list[Figure]]]] = [
        ("C++ core (alphabet_core_bench)", lambda: core_figures(args.core_bench)),
        ("bulk kernels, best instruction set (kernels_bench)",
         lambda: kernels_figures(args.kernels_bench)),
        ("typed sequences (bench_sequences.py)", lambda: bench_sequences.figures(args.quick)),
        ("alphabet rows and handles (bench_alphabet.py)",
         lambda: bench_alphabet.figures(args.quick)),
        ("the alphabet package (bench_package.py)", lambda: bench_package.figures(args.quick)),
        ("the package's Alphabet (bench_package_alphabet.py)",
         lambda: bench_package_alphabet.figures(args.quick)),
        ("reading FASTA (bench_reader.py)", lambda: bench_reader.figures(args.quick)),
        ("the native codec (bench_codec.py)", lambda: bench_codec.figures(args.quick)),
        ("codes for models and k-mer work (bench_models.py)",
         lambda: bench_models.figures(args.quick)),
        ("writing FASTA and FASTQ (bench_writer.py)", lambda: bench_writer.figures(args.quick)),
        ("genome random access (bench_genome.py)", lambda: bench_genome.figures(args.quick)),
        ("reading FASTQ, plain and compressed (bench_fastq.py)",
         lambda: bench_fastq.figures(args.quick)),
    ]  # fmt: skip
    start = time.perf_counter()
    results = []
    for title, collect in parts:
        print(f"running {title} ...", file=sys.stderr, flush=True)
        results.append((title, collect()))
    took = time.perf_counter() - start

    print(machine())
    print()
    print(format_table(results))
    figures = [figure for _, part in results for figure in part]
    short = missed(figures)
    print()
    print(f"{len(figures)} figures, {len(figures) - len(short)} without a missed goal, "
          f"{len(short)} MISSED; {took:.0f} s")  # fmt: skip
    for figure in short:
        if figure.ratio is None:
            found = f"{figure.measured:g} {figure.unit}"
        else:
            found = f"ratio {figure.ratio:.2f}"
        print(f"  MISSED: {figure.name} ({found}, goal {figure.goal})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
