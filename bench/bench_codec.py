"""The native bulk codec against its peers, a plain copy, and itself.

1. encode_all / decode_str of 10M random DNA and protein symbols, against
   the fastest peer installed (biotite, pyhmmer, a numpy table lookup; goal:
   at most 1/3 of its time) and against bytearray(b) of as many bytes (goal:
   at most 3x).
2. decode_str from a numpy uint8 array against the same codes as bytes
   (goal: within 1.2x).
3. encode_all of 1M codons (a list of 3-letter str) against
   bytes(map(dict.__getitem__, codons)) (goal: at most 0.5x).
4. An alphabet of 1M distinct symbols (_native.new_alphabet, the package's
   constructor) against a dict comprehension over them (goal: at most 0.5x).
5. Two threads encoding 50 MB each against one thread encoding both
   (goal: at most 0.65x the wall time); the note gives the same ratio for
   two controls, a computation and a plain copy, in the same rounds.
6. Lowercase DNA with ignore_case against uppercase without options
   (goal: at most 1.5x).
7. A codec of 20,000 16-character symbols crafted to share one hash under
   fixed constants, built and encoding its symbols once, against the same
   for 20,000 ordinary symbols (goal: at most 2x); and a codec of 1M
   ordinary symbols against a dict comprehension over them (goal: at most
   1x): the keyed hash keeps ordinary builds as fast as they were.

The peers are benchmark-only: a peer that is not installed is left out.

    PYTHONPATH=build-bench:build-bench/python:python .venv/bin/python bench/bench_codec.py [--quick]
"""

from __future__ import annotations

import gc
import hashlib
import importlib.util
import random
import time
from collections.abc import Callable
from functools import partial

import alphabet
from alphabet import _native
from common import Figure, best_interleaved, clocked, on_threads, run_part

DNA = "ACGT"
PROTEIN = "ACDEFGHIKLMNPQRSTVWY"


def installed(name: str) -> bool:
    return importlib.util.find_spec(name) is not None


def best_of(tries: int, work: Callable[[], object]) -> Callable[[], float]:
    """A run for best_interleaved: the least time of `tries` calls of `work`."""
    return lambda: min(clocked(work) for _ in range(tries))


def peer_encoders(letters: str, text: str) -> dict[str, Callable[[], object]]:
    """Each installed peer's encoding of `text`, checked against the codes."""
    expected = bytes(letters.index(c) for c in text[:1000])
    peers: dict[str, Callable[[], object]] = {}
    if installed("numpy"):
        import numpy as np

        table = np.zeros(256, dtype=np.uint8)
        table[np.frombuffer(letters.encode(), dtype=np.uint8)] = np.arange(len(letters))
        peers["numpy table lookup"] = lambda: table[np.frombuffer(text.encode("ascii"), np.uint8)]
    if installed("biotite"):
        import biotite.sequence as bs

        if letters == DNA:
            biotite = bs.NucleotideSequence.alphabet_unambiguous
        else:
            biotite = bs.ProteinSequence().get_alphabet()
        peers["biotite encode_multiple"] = lambda: biotite.encode_multiple(text)
    if installed("pyhmmer"):
        from pyhmmer import easel

        hmmer = easel.Alphabet.dna() if letters == DNA else easel.Alphabet.amino()
        peers["pyhmmer encode"] = lambda: hmmer.encode(text)
    for name, encode in peers.items():
        codes = bytes(memoryview(encode()).cast("B"))  # type: ignore[arg-type]
        assert codes[:1000] == expected, name
    return peers


def peer_decoders(letters: str, codes: bytes) -> dict[str, Callable[[], object]]:
    peers: dict[str, Callable[[], object]] = {}
    if installed("numpy"):
        import numpy as np

        symbols = np.frombuffer(letters.encode(), dtype=np.uint8)
        array = np.frombuffer(codes, dtype=np.uint8)
        peers["numpy table lookup"] = lambda: symbols[array].tobytes().decode("ascii")
    if installed("biotite"):
        import biotite.sequence as bs
        import numpy as np

        if letters == DNA:
            biotite = bs.NucleotideSequence.alphabet_unambiguous
        else:
            biotite = bs.ProteinSequence().get_alphabet()
        biotite_codes = np.frombuffer(codes, dtype=np.uint8)
        # An array of one-letter symbols, not yet a str: the peer's own decoding.
        peers["biotite decode_multiple"] = lambda: biotite.decode_multiple(biotite_codes)
    if installed("pyhmmer"):
        from pyhmmer import easel

        hmmer = easel.Alphabet.dna() if letters == DNA else easel.Alphabet.amino()
        vector = easel.VectorU8(bytearray(codes))
        peers["pyhmmer decode"] = lambda: hmmer.decode(vector)
    return peers


def against_peers(name: str, ours: Callable[[], object], peers: dict[str, Callable[[], object]],
                  copy: Callable[[], object], rounds: int) -> list[Figure]:  # fmt: skip
    names = list(peers)
    times = best_interleaved(rounds, best_of(3, ours), best_of(3, copy),
                             *(best_of(1, peers[p]) for p in names))  # fmt: skip
    ours_time, copy_time, peer_times = times[0], times[1], times[2:]
    figures = []
    if names:
        fastest = min(range(len(names)), key=peer_times.__getitem__)
        others = ", ".join(f"{p} {t * 1e3:.1f} ms" for p, t in zip(names, peer_times, strict=True))
        figures.append(Figure(name, ours_time * 1e3, "ms", peer_times[fastest] * 1e3,
                              f"fastest peer: {names[fastest]}", limit=1 / 3,
                              note=others))  # fmt: skip
    figures.append(Figure(name, ours_time * 1e3, "ms", copy_time * 1e3, "bytearray(b), same bytes",
                          limit=3.0))  # fmt: skip
    return figures


def bulk_figures(size: int, rounds: int) -> list[Figure]:
    figures = []
    rng = random.Random(11)
    standard = (("DNA", DNA, alphabet.dna()), ("protein", PROTEIN, alphabet.protein()))
    for label, letters, alpha in standard:
        assert alpha is not None and "".join(alpha.symbols) == letters
        text = "".join(rng.choices(letters, k=size))
        data = text.encode()
        codes = alpha.encode_all(text)
        assert isinstance(codes, bytes) and alpha.decode_str(codes) == text
        figures += against_peers(f"encode_all, {size / 1e6:g}M {label}",
                                 partial(alpha.encode_all, text), peer_encoders(letters, text),
                                 partial(bytearray, data), rounds)  # fmt: skip
        figures += against_peers(f"decode_str, {size / 1e6:g}M {label}",
                                 partial(alpha.decode_str, codes), peer_decoders(letters, codes),
                                 partial(bytearray, codes), rounds)  # fmt: skip
        if label == "DNA" and installed("numpy"):
            import numpy as np

            array = np.frombuffer(codes, dtype=np.uint8).copy()
            from_array, from_bytes = best_interleaved(
                rounds, best_of(3, partial(alpha.decode_str, array)),
                best_of(3, partial(alpha.decode_str, codes)))  # fmt: skip
            figures.append(Figure(f"decode_str from numpy uint8, {size / 1e6:g}M DNA",
                                  from_array * 1e3, "ms", from_bytes * 1e3, "the same from bytes",
                                  limit=1.2))  # fmt: skip
    return figures


def codon_figure(count: int, rounds: int) -> Figure:
    rng = random.Random(3)
    codons = ["".join(rng.choices(DNA, k=3)) for _ in range(count)]
    table = sorted(set(codons))
    alpha = alphabet.Alphabet(table)
    code_of = {codon: code for code, codon in enumerate(table)}
    assert alpha.encode_all(codons) == bytes(map(code_of.__getitem__, codons))
    ours, mapped = best_interleaved(
        rounds, best_of(3, lambda: alpha.encode_all(codons)),
        best_of(3, lambda: bytes(map(code_of.__getitem__, codons))))  # fmt: skip
    return Figure(f"encode_all, {count / 1e6:g}M codons (list of str)", ours * 1e3, "ms",
                  mapped * 1e3, "bytes(map(dict.__getitem__, codons))", limit=0.5)  # fmt: skip


class _Owner(_native.Held):
    __slots__ = ()


def construction_figure(count: int, rounds: int) -> Figure:
    symbols = [f"sym{i}" for i in range(count)]

    def run(make: Callable[[], object]) -> Callable[[], float]:
        def timed() -> float:
            gc.collect()
            start = time.perf_counter()
            made = make()
            took = time.perf_counter() - start
            del made
            return took

        return timed

    built, comprehension = best_interleaved(
        rounds, run(lambda: _native.new_alphabet(_Owner, symbols)),
        run(lambda: {s: i for i, s in enumerate(symbols)}))  # fmt: skip
    return Figure(f"Alphabet of {count / 1e6:g}M distinct symbols (new_alphabet)", built * 1e3,
                  "ms", comprehension * 1e3, "dict comprehension", limit=0.5)  # fmt: skip


def thread_controls(blobs: list[bytes]) -> dict[str, Callable[[int], object]]:
    """Calls that run without the interpreter lock over the same bytes.

    Their two-thread ratios are what the machine lets any two threads reach
    in that moment: hashlib.sha256 for processors (it computes), a numpy
    copy into existing arrays for memory (it only moves bytes).
    """
    controls: dict[str, Callable[[int], object]] = {
        "sha256": lambda i: hashlib.sha256(blobs[i]).digest()
    }
    if installed("numpy"):
        import numpy as np

        sources = [np.frombuffer(blob, np.uint8) for blob in blobs]
        targets = [np.empty_like(source) for source in sources]
        controls["numpy copyto"] = lambda i: np.copyto(targets[i], sources[i])
    return controls


def thread_figure(size: int, rounds: int) -> Figure:
    rng = random.Random(5)
    texts = ["".join(rng.choices(DNA, k=size)) for _ in range(2)]
    codec = _native.Codec(tuple(DNA))
    works: dict[str, Callable[[int], object]] = {"encode": lambda i: codec.encode(texts[i])}
    works.update(thread_controls([text.encode("ascii") for text in texts]))
    cpus: dict[str, float] = {}

    def two_threads(name: str) -> float:
        took, cpu = on_threads(2, works[name])
        if took < cpus.get(name + " wall", float("inf")):
            cpus[name + " wall"] = took
            cpus[name] = cpu / took
        return took

    def one_thread(name: str) -> float:
        return clocked(lambda: [works[name](i) for i in range(2)])

    runs = [
        run for name in works for run in (partial(two_threads, name), partial(one_thread, name))
    ]
    best = best_interleaved(rounds, *runs)
    ratios = {name: best[2 * i] / best[2 * i + 1] for i, name in enumerate(works)}
    # Processor time over wall time in the best two-thread round: near 2 when
    # the threads overlapped, near 1 when the machine had one core to spare.
    note = f"{cpus['encode']:.2f} CPUs busy; controls: " + ", ".join(
        f"{name} {ratios[name]:.2f} ({cpus[name]:.2f} CPUs)" for name in works if name != "encode"
    )
    return Figure(f"2 threads encoding {size / 1e6:g} MB each", best[0] * 1e3, "ms",
                  best[1] * 1e3, "1 thread encoding both", limit=0.65, note=note)  # fmt: skip


def ignore_case_figure(size: int, rounds: int) -> Figure:
    text = "".join(random.Random(9).choices(DNA, k=size))
    lower = text.lower()
    plain = _native.Codec(tuple(DNA))
    folding = _native.Codec(tuple(DNA), ignore_case=True)
    assert folding.encode(lower) == plain.encode(text)
    folded, exact = best_interleaved(rounds, best_of(3, lambda: folding.encode(lower)),
                                     best_of(3, lambda: plain.encode(text)))  # fmt: skip
    return Figure(f"ignore_case on lowercase, {size / 1e6:g}M DNA", folded * 1e3, "ms",
                  exact * 1e3, "uppercase without options", limit=1.5)  # fmt: skip


def crafted_symbols(count: int) -> list[str]:
    """16-character symbols that a hash of fixed, published constants sends to
    one slot: the second half of each undoes what the first did to the
    state.  What a hostile caller can make once the constants are known."""
    mask = (1 << 64) - 1

    def fold(a: int, b: int) -> int:
        product = a * b
        return (product & mask) ^ (product >> 64)

    start = 0xA0761D6478BD642F ^ ((16 << 2) ^ 1)
    step = 0xE7037ED1A0B428DB
    symbols: list[str] = []
    n = 0
    while len(symbols) < count:
        first = 0x4141414141414141 + n
        second = fold(start ^ first, step) ^ 0x5A5A5A5A5A5A5A5A
        n += 1
        raw = first.to_bytes(8, "little") + second.to_bytes(8, "little")
        if 0 not in raw:
            symbols.append(raw.decode("latin-1"))
    return symbols


def collision_figures(count: int, rounds: int) -> list[Figure]:
    crafted = crafted_symbols(count)
    rng = random.Random(12)
    ordinary = ["".join(rng.choices("ACDEFGHIKLMNPQRSTVWY", k=16)) for _ in range(count)]

    def build_and_encode(symbols: list[str]) -> Callable[[], object]:
        return lambda: _native.Codec(tuple(symbols)).encode(symbols)

    hostile, plain = best_interleaved(rounds, best_of(1, build_and_encode(crafted)),
                                      best_of(1, build_and_encode(ordinary)))  # fmt: skip
    many = [f"sym{i}" for i in range(50 * count)]
    built, comprehension = best_interleaved(
        rounds, best_of(1, lambda: _native.Codec(tuple(many))),
        best_of(1, lambda: {s: i for i, s in enumerate(many)}))  # fmt: skip
    return [
        Figure(f"Codec of {count:,} crafted colliding symbols, built and used", hostile * 1e3, "ms",
               plain * 1e3, f"{count:,} ordinary symbols", limit=2.0),
        Figure(f"Codec of {len(many) / 1e6:g}M ordinary symbols", built * 1e3, "ms",
               comprehension * 1e3, "dict comprehension", limit=1.0),
    ]  # fmt: skip


def figures(quick: bool) -> list[Figure]:
    scale = 10 if quick else 1
    rounds = 2 if quick else 5
    return [
        *bulk_figures(10_000_000 // scale, rounds),
        codon_figure(1_000_000 // scale, rounds),
        construction_figure(1_000_000 // scale, 3 if quick else 5),
        # The least noisy of more rounds: two threads depend on the other
        # processor being free at that moment.
        thread_figure(50_000_000 // scale, 3 * rounds),
        ignore_case_figure(10_000_000 // scale, rounds),
        *collision_figures(20_000 // scale, rounds),
    ]


def main() -> None:
    run_part("the native codec", figures)


if __name__ == "__main__":
    main()
