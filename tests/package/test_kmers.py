"""Canonical k-mers, skipping ambiguity codes, and minimizers, against plain
Python, on every kernel path with lengths below and past the vector widths."""

import random

import pytest

import alphabet as ab

DNA_N = ab.dna().extend("N").with_options(complements="TGCAN")  # base 5: no shifts


def digits(codes, base):
    value = 0
    for code in codes:
        value = value * base + code
    return value


def reference_kmers(codes, k, base, complement=None, bases=None):
    """Each kept window's k-mer (and where it starts)."""
    found = []
    for i in range(len(codes) - k + 1):
        window = codes[i : i + k]
        if bases is not None and any(c >= bases for c in window):
            continue
        kmer = digits(window, base)
        if complement is not None:
            kmer = min(kmer, digits([complement[c] for c in reversed(window)], base))
        found.append((i, kmer))
    return found


def mix(x):
    """The docstring's hash, written from it."""
    mask = 2**64 - 1
    x ^= x >> 31
    x = x * 0x7FB5D329728EA185 & mask
    x ^= x >> 27
    x = x * 0x81DADEF4BC2DD44D & mask
    return x ^ x >> 33


def reference_minimizers(kmers, w):
    chosen = []
    for start in range(len(kmers) - w + 1):
        best = min(range(start, start + w), key=lambda i: (mix(kmers[i]), i))
        if not chosen or chosen[-1][0] != best:
            chosen.append((best, kmers[best]))
    return chosen


LENGTHS = [0, 1, 5, 15, 16, 17, 31, 32, 33, 63, 64, 65, 300]


@pytest.mark.parametrize(
    "alphabet, ks",
    [
        (ab.dna(), [1, 2, 5, 11, 21, 31, 32]),
        (ab.iupac_dna(), [1, 3, 16]),
        (DNA_N, [1, 4, 13, 27]),
        (ab.rna(), [7]),
    ],  # fmt: skip
    ids=["dna", "iupac", "base 5", "rna"],
)
def test_canonical_kmers_agree_with_plain_python_on_every_path(path, alphabet, ks):
    rng = random.Random(len(alphabet))
    complement = alphabet._complements
    for n in LENGTHS:
        codes = [rng.randrange(len(alphabet)) for _ in range(n)]
        for k in ks:
            expected = [kmer for _, kmer in reference_kmers(codes, k, len(alphabet), complement)]
            assert list(alphabet.kmers(bytes(codes), k, canonical=True)) == expected, (n, k)
    text = "GATTACA" if alphabet is not ab.rna() else "GAUUACA"
    # Canonical k-mers are the same for a sequence and its reverse complement.
    assert sorted(alphabet.kmers(text, 3, canonical=True)) == sorted(
        alphabet.kmers(alphabet.reverse_complement(text), 3, canonical=True)
    )


@pytest.mark.parametrize("alphabet", [ab.iupac_dna(), DNA_N], ids=["iupac", "dna+N"])
def test_skipping_ambiguity_codes_counts_in_base_four_over_the_bases(path, alphabet):
    rng = random.Random(9)
    for n in LENGTHS:
        codes = [rng.randrange(4) if rng.random() < 0.9 else rng.randrange(len(alphabet))
                 for _ in range(n)]  # fmt: skip
        for k in (1, 4, 17, 32):
            for canonical in (False, True):
                complement = alphabet._complements if canonical else None
                kept = reference_kmers(codes, k, 4, complement, bases=4)
                given = array_of(codes)
                got = alphabet.kmers(given, k, canonical=canonical, skip_ambiguous=True)
                assert list(got) == [kmer for _, kmer in kept], (n, k, canonical)
                positions = alphabet.kmer_positions(given, k, skip_ambiguous=True)
                assert list(positions) == [i for i, _ in kept]


def array_of(codes):
    import array

    return array.array("H", codes)


@pytest.mark.parametrize("w", [1, 2, 10])
def test_minimizers_agree_with_plain_python_on_every_path(path, w):
    rng = random.Random(w)
    dna = ab.dna()
    for n in LENGTHS + [2000]:
        # A low-entropy text, so that equal k-mers (equal hashes) meet in a window.
        codes = bytes(rng.choice([0, 0, 0, 1]) if n % 2 else rng.randrange(4) for _ in range(n))
        for k, canonical in [(5, True), (15, True), (3, False)]:
            kmers = [kmer for _, kmer in reference_kmers(list(codes), k, 4,
                                                         dna._complements if canonical else None)]  # fmt: skip
            positions, values = dna.minimizers(codes, k, w, canonical=canonical)
            expected = reference_minimizers(kmers, w)
            assert list(zip(positions, values, strict=True)) == expected, (n, k)


def test_what_the_k_mer_calls_refuse():
    with pytest.raises(TypeError, match="complements"):
        ab.protein().kmers("MKW", 2, canonical=True)
    with pytest.raises(ValueError, match="first four symbols"):
        ab.protein().kmers("MKW", 2, skip_ambiguous=True)
    with pytest.raises(ab.AlphabetError, match="Code 16 not in alphabet at position 1"):
        ab.iupac_dna().kmers(bytes([0, 16]), 1, skip_ambiguous=True)
    with pytest.raises(ValueError, match="w must be at least 1"):
        ab.dna().minimizers("ACGT", 2, 0)
    with pytest.raises(ValueError, match="2\\*\\*64"):
        ab.dna().kmers("ACGT", 33, canonical=True)
