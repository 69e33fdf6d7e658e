"""What the package's Alphabet costs where it used to rebuild or scan.

1. A loop over reads calling dna().encode_all(read): dna() is one object
   with its tables, against a new alphabet object per read (new handle,
   symbols and tables: what dna() made on every call before).  Goal: at
   least 10x faster, a ratio of at most 0.1.
2. `symbol in alphabet` for a symbol a 1,000,000-symbol alphabet lacks,
   against the scan of its symbol tuple that answered it before.  Goal: a
   ratio of at most 0.01.
3. with_options() on a 100,000-symbol alphabet against building the same
   alphabet with the same options.  Goal: a ratio of at most 0.05.
4. reverse_complement of 10 MB of DNA codes (bytes) against bytes.translate
   of the same codes then a reversing slice.  Goal: within 1.5x.
5. kmers(codes, 12) of 10 MB of DNA codes against a plain copy of the 8
   bytes per k-mer it writes.  Goal: within 3x.

    PYTHONPATH=build-bench:python .venv/bin/python bench/bench_package_alphabet.py [--quick]
"""

from __future__ import annotations

import functools
import random

import alphabet
from alphabet import _alphabets
from common import Figure, best_interleaved, clocked, per_call, run_part


def reads_figure(reads: int, rounds: int) -> Figure:
    rng = random.Random(11)
    batch = ["".join(rng.choices("ACGT", k=150)) for _ in range(reads)]
    dna = alphabet.dna
    fresh = functools.partial(_alphabets._load_standard, "dna")
    assert dna() == fresh()

    def cached_loop() -> float:
        return clocked(lambda: [dna().encode_all(read) for read in batch])

    def fresh_loop() -> float:
        return clocked(lambda: [fresh().encode_all(read) for read in batch])

    cached, rebuilt = best_interleaved(rounds, cached_loop, fresh_loop)
    return Figure(f"dna().encode_all over {reads:,} reads of 150", cached * 1e3, "ms",
                  rebuilt * 1e3, "a new alphabet object per read", limit=0.1,
                  note=f"{cached / reads * 1e9:.0f} ns per read")  # fmt: skip


def membership_figure(number: int, rounds: int) -> Figure:
    big = alphabet.Alphabet(f"s{i}" for i in range(1_000_000))
    namespace: dict[str, object] = {"big": big, "listed": big.symbols}
    lookup, scan = best_interleaved(
        rounds,
        per_call("'absent' in big", "", namespace, number),
        per_call("'absent' in listed", "", namespace, max(1, number // 1000)),
    )
    return Figure("'absent' in a 1,000,000-symbol alphabet", lookup * 1e9, "ns", scan * 1e9,
                  "a scan of its symbol tuple", limit=0.01)  # fmt: skip


def with_options_figure(rounds: int) -> Figure:
    symbols = [f"s{i}" for i in range(100_000)]
    base = alphabet.Alphabet(symbols)

    def twin() -> float:
        return clocked(lambda: base.with_options(ignore_case=True, unknown="s0"))

    def built() -> float:
        return clocked(lambda: alphabet.Alphabet(symbols, ignore_case=True, unknown="s0"))

    shared, new = best_interleaved(rounds, twin, built)
    return Figure("with_options, 100,000 symbols", shared * 1e6, "us", new * 1e6,
                  "Alphabet(symbols, same options)", limit=0.05)  # fmt: skip


def bulk_figures(size: int, rounds: int) -> list[Figure]:
    dna = alphabet.dna()
    assert dna is not None
    codes = dna.encode_all("".join(random.Random(5).choices("ACGT", k=size)))
    assert isinstance(codes, bytes)
    table = bytes([3, 2, 1, 0]).ljust(256, b"\0")
    output = bytearray(8 * size)
    assert dna.reverse_complement(codes) == codes.translate(table)[::-1]

    reverse, translated = best_interleaved(
        rounds,
        lambda: clocked(lambda: dna.reverse_complement(codes)),
        lambda: clocked(lambda: codes.translate(table)[::-1]),
    )
    kmers, copied = best_interleaved(
        rounds,
        lambda: clocked(lambda: dna.kmers(codes, 12)),
        lambda: clocked(lambda: bytes(output)),
    )
    megabytes = f"{size / 1e6:g} MB"
    return [
        Figure(f"reverse_complement, {megabytes} DNA codes", reverse * 1e3, "ms",
               translated * 1e3, "bytes.translate, reversed", limit=1.5),
        Figure(f"kmers(codes, 12), {megabytes} DNA codes", kmers * 1e3, "ms", copied * 1e3,
               "a copy of the 8-byte output", limit=2.0),
    ]  # fmt: skip


def figures(quick: bool) -> list[Figure]:
    if quick:
        return [
            reads_figure(2_000, 2),
            membership_figure(20_000, 2),
            with_options_figure(2),
            *bulk_figures(1_000_000, 1),
        ]
    return [
        reads_figure(20_000, 3),
        membership_figure(200_000, 3),
        with_options_figure(3),
        *bulk_figures(10_000_000, 2),
    ]


def main() -> None:
    run_part("the package's Alphabet", figures)


if __name__ == "__main__":
    main()
