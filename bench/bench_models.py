"""Codes for models and k-mer work against the ways people take today.

1. encode_all of 10M protein letters under the protein alphabet with special
   tokens, none of which occurs, against the plain protein alphabet (goal:
   at most 1.5x).
2. encode_batch of 100,000 proteins of 50 to 1,000 residues into one padded
   array: against the numpy idiom at the same dtype (encode_all of the joined
   text, then a scatter into np.zeros; goal: at most 0.25x), in uint8 and
   int64; against a fill of an array of the output's shape (goal: at most
   3x); its peak memory against the output (goal: at most 1.5x, measured in
   a child process).  tokenizers' encode_batch is measured on 5,000 of them.
3. one_hot of 10M DNA bases, uint8 and float32: against a copy of the output
   (goal: at most 2x) and np.take(np.eye(4), codes, axis=0) (goal: at most
   0.3x).
4. translate of 10M DNA bases, one frame: against pyhmmer's digital translate
   (goal: at most 0.5x) and Biopython (goal: at most 0.02x); six frames
   against encode_all plus a numpy codon lookup of each frame (goal: at
   most 0.3x).
5. k-mers of 10M DNA bases: canonical 21-mers against forward 21-mers (goal:
   at most 1.25x), and against the way today (kmers of the sequence and of its
   reverse complement, np.minimum; no goal); minimizers (k=15, w=10) against
   canonical 15-mers (goal: at most 2x).

The peers are benchmark-only (bench/requirements-peers.txt): a peer that is
not installed is left out, and numpy is needed for most figures.

    PYTHONPATH=build-bench:build-bench/python:python .venv/bin/python bench/bench_models.py [--quick]
"""

from __future__ import annotations

import importlib.util
import json
import os
import random
import subprocess
import sys
from collections.abc import Callable

import alphabet
from common import Figure, best_interleaved, clocked, run_part

PROTEIN = "ACDEFGHIKLMNPQRSTVWY"
TOKENS = ["<cls>", "<pad>", "<eos>", "<unk>", "<mask>"]


def installed(name: str) -> bool:
    return importlib.util.find_spec(name) is not None


def best_of(tries: int, work: Callable[[], object]) -> Callable[[], float]:
    return lambda: min(clocked(work) for _ in range(tries))


def token_figure(size: int, rounds: int) -> Figure:
    protein = alphabet.protein()
    assert protein is not None
    tokens = protein.extend(TOKENS)
    text = "".join(random.Random(1).choices(PROTEIN, k=size))
    assert tokens.encode_all(text) == protein.encode_all(text)
    with_tokens, plain = best_interleaved(rounds, best_of(3, lambda: tokens.encode_all(text)),
                                          best_of(3, lambda: protein.encode_all(text)))  # fmt: skip
    return Figure(f"encode_all with special tokens, {size / 1e6:g}M protein", with_tokens * 1e3,
                  "ms", plain * 1e3, "the one-character alphabet", limit=1.5)  # fmt: skip


def proteins(count: int) -> list[str]:
    rng = random.Random(2)
    return ["".join(rng.choices(PROTEIN, k=rng.randint(50, 1000))) for _ in range(count)]


def batch_figures(count: int, rounds: int) -> list[Figure]:
    import numpy as np

    protein = alphabet.protein()
    assert protein is not None
    texts = proteins(count)
    counts = np.array([len(t) for t in texts])
    width = int(counts.max())
    figures = []
    for dtype in (np.uint8, np.int64):

        def idiom(dtype: type = dtype) -> object:
            joined = np.frombuffer(protein.encode_all("".join(texts)), dtype=np.uint8)
            out = np.zeros((len(texts), width), dtype=dtype)
            out[np.arange(width) < counts[:, None]] = joined
            return out

        def ours(dtype: type = dtype) -> object:
            return protein.encode_batch(texts, pad="A", dtype=dtype)

        def fill(dtype: type = dtype) -> object:
            return np.full((len(texts), width), 1, dtype=dtype)

        assert np.array_equal(np.asarray(ours()[0]), idiom())
        name = np.dtype(dtype).name
        mine, numpy_way, filled = best_interleaved(
            rounds, best_of(1, ours), best_of(1, idiom), best_of(1, fill))  # fmt: skip
        label = f"encode_batch, {count:,} proteins, {name}"
        figures.append(Figure(label, mine * 1e3, "ms", numpy_way * 1e3,
                              "encode_all + numpy scatter", limit=0.25))  # fmt: skip
        figures.append(Figure(label, mine * 1e3, "ms", filled * 1e3, "np.full of the output",
                              limit=3.0))  # fmt: skip
    peak, output = batch_memory(count)
    figures.append(Figure(f"encode_batch peak memory, {count:,} proteins, uint8", peak / 2**20,
                          "MiB", output / 2**20, "the output's size", limit=1.5))  # fmt: skip
    if installed("tokenizers"):
        figures.append(tokenizers_figure(texts[: max(count // 20, 1)]))
    return figures


def tokenizers_figure(texts: list[str]) -> Figure:
    from tokenizers import Tokenizer, models

    vocabulary = {letter: code for code, letter in enumerate(PROTEIN)}
    tokenizer = Tokenizer(models.WordLevel(vocabulary, unk_token="A"))
    tokenizer.enable_padding(pad_id=0, pad_token="A")
    # One token per letter: the letters as the tokenizer's own words.
    spaced = [" ".join(t) for t in texts]
    from tokenizers import pre_tokenizers

    tokenizer.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    protein = alphabet.protein()
    assert protein is not None
    peer = clocked(lambda: tokenizer.encode_batch(spaced))
    mine = min(clocked(lambda: protein.encode_batch(texts, pad="A")) for _ in range(3))
    return Figure(f"encode_batch, {len(texts):,} proteins", mine * 1e3, "ms", peer * 1e3,
                  "tokenizers encode_batch (letters as words)")  # fmt: skip


_MEMORY_CHILD = """
import json, random, sys
import alphabet
count = int(sys.argv[1])
rng = random.Random(2)
texts = ["".join(rng.choices("ACDEFGHIKLMNPQRSTVWY", k=rng.randint(50, 1000))) for _ in range(count)]
protein = alphabet.protein()
protein.encode_batch(texts[:10], pad="A")

def peak_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")  # the peak starts again from what the process holds now
before = peak_kib()
codes, lengths = protein.encode_batch(texts, pad="A")
print(json.dumps({"peak": (peak_kib() - before) * 1024, "output": codes.nbytes}))
"""


def batch_memory(count: int) -> tuple[float, float]:
    """The peak memory encode_batch adds, and its output's size, measured in
    a fresh process whose peak is reset just before the call."""
    run = subprocess.run([sys.executable, "-c", _MEMORY_CHILD, str(count)], check=True,
                         capture_output=True, text=True, env=dict(os.environ))  # fmt: skip
    found = json.loads(run.stdout)
    return float(found["peak"]), float(found["output"])


def one_hot_figures(size: int, rounds: int) -> list[Figure]:
    import numpy as np

    dna = alphabet.dna()
    assert dna is not None
    codes = dna.encode_all("".join(random.Random(4).choices("ACGT", k=size)))
    array = np.frombuffer(codes, dtype=np.uint8)
    figures = []
    for dtype in ("uint8", "float32"):
        eye = np.eye(4, dtype=dtype)
        result = np.asarray(dna.one_hot(codes, dtype=dtype))
        assert np.array_equal(result, np.take(eye, array, axis=0))
        mine, copied, taken = best_interleaved(
            rounds, best_of(3, lambda dtype=dtype: dna.one_hot(codes, dtype=dtype)),
            best_of(3, result.copy), best_of(1, lambda eye=eye: np.take(eye, array, axis=0)))  # fmt: skip
        label = f"one_hot, {size / 1e6:g}M DNA, {dtype}"
        figures.append(Figure(label, mine * 1e3, "ms", copied * 1e3, "a copy of the output",
                              limit=2.0))  # fmt: skip
        figures.append(Figure(label, mine * 1e3, "ms", taken * 1e3, "np.take(np.eye(4), codes)",
                              limit=0.3))  # fmt: skip
    return figures


def codon_lookup(table: int) -> Callable[[bytes], list[object]]:
    """Today's fastest way to six frames: codes, a numpy codon index, a lookup."""
    import numpy as np

    code = alphabet.genetic_code(table)
    letters = np.frombuffer(code.translate("".join(a + b + c for a in "ACGT" for b in "ACGT"
                                                   for c in "ACGT")).encode(), np.uint8)  # fmt: skip
    dna = alphabet.dna()
    assert dna is not None

    def frames(codes: bytes) -> list[object]:
        out = []
        for strand in (codes, dna.reverse_complement(codes)):
            array = np.frombuffer(strand, dtype=np.uint8)
            for frame in range(3):
                usable = array[frame : frame + (len(array) - frame) // 3 * 3].reshape(-1, 3)
                index = usable[:, 0] * 16 + usable[:, 1] * 4 + usable[:, 2]
                out.append(letters[index].tobytes().decode("ascii"))
        return out

    return frames


def translation_figures(size: int, rounds: int) -> list[Figure]:
    # Whole codons: pyhmmer translates nothing else.
    text = "".join(random.Random(5).choices("ACGT", k=size - size % 3))
    code = alphabet.genetic_code(1)
    figures = []
    peers: dict[str, Callable[[], object]] = {}
    if installed("pyhmmer"):
        from pyhmmer import easel

        digital = easel.TextSequence(sequence=text).digitize(easel.Alphabet.dna())
        genetic = easel.GeneticCode(1)
        translated = digital.translate(genetic).textize().sequence
        assert translated[:1000] == code.translate(text)[:1000]
        peers["pyhmmer digital translate"] = lambda: digital.translate(genetic)
    names = list(peers)
    times = best_interleaved(rounds, best_of(3, lambda: code.translate(text)),
                             *(best_of(1, peers[p]) for p in names))  # fmt: skip
    label = f"translate, {size / 1e6:g}M DNA, one frame"
    for name, took in zip(names, times[1:], strict=True):
        figures.append(Figure(label, times[0] * 1e3, "ms", took * 1e3, name, limit=0.5))
    if installed("Bio"):
        from Bio.Seq import Seq

        sequence = Seq(text)
        assert str(sequence.translate()) == code.translate(text)
        biopython = clocked(lambda: sequence.translate())
        figures.append(Figure(label, times[0] * 1e3, "ms", biopython * 1e3, "Biopython translate",
                              limit=0.02))  # fmt: skip
    if installed("numpy"):
        dna = alphabet.dna()
        assert dna is not None
        frames = codon_lookup(1)
        assert frames(dna.encode_all(text)) == list(code.six_frames(text))
        six, lookup = best_interleaved(
            rounds, best_of(2, lambda: code.six_frames(text)),
            best_of(1, lambda: frames(dna.encode_all(text))))  # fmt: skip
        figures.append(Figure(f"six_frames, {size / 1e6:g}M DNA", six * 1e3, "ms", lookup * 1e3,
                              "encode_all + numpy codon lookup", limit=0.3))  # fmt: skip
    return figures


def kmer_figures(size: int, rounds: int) -> list[Figure]:
    dna = alphabet.dna()
    assert dna is not None
    codes = dna.encode_all("".join(random.Random(6).choices("ACGT", k=size)))
    canonical, forward, minimizers, canonical_15 = best_interleaved(
        rounds, best_of(2, lambda: dna.kmers(codes, 21, canonical=True)),
        best_of(2, lambda: dna.kmers(codes, 21)),
        best_of(2, lambda: dna.minimizers(codes, 15, 10)),
        best_of(2, lambda: dna.kmers(codes, 15, canonical=True)))  # fmt: skip
    label = f"{size / 1e6:g}M DNA"
    figures = [
        Figure(f"canonical 21-mers, {label}", canonical * 1e3, "ms", forward * 1e3,
               "forward 21-mers", limit=1.25),
        Figure(f"minimizers k=15 w=10, {label}", minimizers * 1e3, "ms", canonical_15 * 1e3,
               "canonical 15-mers", limit=2.0),
    ]  # fmt: skip
    if installed("numpy"):
        import numpy as np

        def today() -> object:
            ahead = np.frombuffer(dna.kmers(codes, 21), dtype=np.uint64)
            back = np.frombuffer(dna.kmers(dna.reverse_complement(codes), 21), dtype=np.uint64)
            return np.minimum(ahead, back[::-1])

        assert np.array_equal(today(), np.frombuffer(dna.kmers(codes, 21, canonical=True),
                                                     dtype=np.uint64))  # fmt: skip
        mine, theirs = best_interleaved(
            rounds, best_of(2, lambda: dna.kmers(codes, 21, canonical=True)), best_of(1, today)
        )
        figures.append(Figure(f"canonical 21-mers, {label}", mine * 1e3, "ms", theirs * 1e3,
                              "kmers twice, reverse_complement, np.minimum"))  # fmt: skip
    return figures


def figures(quick: bool) -> list[Figure]:
    scale = 10 if quick else 1
    rounds = 2 if quick else 5
    found = [token_figure(10_000_000 // scale, rounds)]
    if installed("numpy"):
        found += batch_figures(100_000 // scale, rounds)
        found += one_hot_figures(10_000_000 // scale, rounds)
    found += translation_figures(10_000_000 // scale, rounds)
    found += kmer_figures(10_000_000 // scale, rounds)
    return found


def main() -> None:
    run_part("codes for models and k-mer work", figures)


if __name__ == "__main__":
    main()
