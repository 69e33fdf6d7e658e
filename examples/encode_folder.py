"""Encodes every FASTQ.gz file of a folder, one output per file, on a Dask
cluster or in this process.

    python examples/encode_folder.py IN OUT                      # here, one file after the other
    python examples/encode_folder.py IN OUT --workers 4          # a local cluster of 4 processes
    python examples/encode_folder.py IN OUT --scheduler tcp://host:8786   # a running cluster

Each IN/NAME.fq.gz (or .fastq.gz) becomes OUT/NAME.codes: per record, its
number of codes as 8 bytes (unsigned, little-endian) and then its codes, one
byte each: the layout of `python -m alphabet encode --format raw`.  A task
is one file, so the outputs are the same byte for byte however many workers
share the folder.  Each worker needs the package (`pip install seq-alphabet
dask[distributed]`) and the same view of IN and OUT (a shared file system).
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

import alphabet

SUFFIXES = (".fq.gz", ".fastq.gz")


def encode_file(source: str, target: str, symbols: str = "ACGTN") -> tuple[int, int]:
    """Writes the codes of every record of `source` to `target`; returns
    (records, codes).  Runs on a worker: it imports nothing it is not given."""
    coder = alphabet.Alphabet(symbols, ignore_case=True)
    records = codes = 0
    partial = target + ".part"
    with open(partial, "wb") as out, alphabet.read(source, alphabet=coder) as reader:
        for record in reader:
            out.write(len(record.sequence).to_bytes(8, "little"))
            out.write(record.sequence)
            records += 1
            codes += len(record.sequence)
    # A file that is there is whole, even when a worker dies half-way.
    os.replace(partial, target)
    return records, codes


def inputs(folder: str) -> list[str]:
    return sorted(
        os.path.join(folder, name) for name in os.listdir(folder) if name.endswith(SUFFIXES)
    )


def output_of(source: str, folder: str) -> str:
    name = os.path.basename(source)
    for suffix in SUFFIXES:
        name = name.removesuffix(suffix)
    return os.path.join(folder, name + ".codes")


def encode_folder(
    source_folder: str, target_folder: str, client: object = None
) -> list[tuple[int, int]]:
    """Encodes every FASTQ.gz of `source_folder`; returns (records, codes) per
    file, in name order.  With a dask.distributed `client`, each file is a
    task on the cluster; without, the files are done here in turn."""
    os.makedirs(target_folder, exist_ok=True)
    sources = inputs(source_folder)
    targets = [output_of(source, target_folder) for source in sources]
    if client is None:
        return [
            encode_file(source, target) for source, target in zip(sources, targets, strict=True)
        ]
    # pure=False: a file is encoded again when asked again, not taken from
    # the cluster's memory of an earlier run.
    futures = client.map(encode_file, sources, targets, pure=False)  # type: ignore[attr-defined]
    return list(client.gather(futures))  # type: ignore[attr-defined]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("source", help="folder of FASTQ.gz files")
    parser.add_argument("target", help="folder for the .codes files")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, help="start a local cluster of N processes")
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    args = parser.parse_args(argv)
    if args.workers is None and args.scheduler is None:
        results = encode_folder(args.source, args.target)
    else:
        from dask.distributed import Client, LocalCluster

        if args.scheduler is not None:
            with Client(args.scheduler) as client:
                results = encode_folder(args.source, args.target, client)
        else:
            with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:  # fmt: skip
                results = encode_folder(args.source, args.target, client)
    records = sum(r for r, _ in results)
    codes = sum(c for _, c in results)
    print(f"{len(results)} files, {records} records, {codes} codes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
