"""Genomes by their index (alphabet.Fasta, alphabet.Fastq, `alphabet fetch`),
checked against the tools whose index files they read and write: samtools
(`faidx`, `fqidx`) and bgzip.  Tests that need a tool skip without it."""

import io
import os
import pickle
import random
import shutil
import sys
import threading
import warnings
import zlib
from contextlib import redirect_stderr

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import alphabet as ab
from alphabet import _cli
from helpers import bgzf, run_tool

SAMTOOLS = shutil.which("samtools")
BGZIP = shutil.which("bgzip")
needs_samtools = pytest.mark.skipif(SAMTOOLS is None, reason="samtools is not installed")
needs_bgzip = pytest.mark.skipif(SAMTOOLS is None or BGZIP is None, reason="needs samtools, bgzip")


def samtools(*args, input=None):
    return run_tool(SAMTOOLS, *args, input=input, timeout=60)


def genome_text(rng, layout):
    """A FASTA text of the layout: widths, line end, last line, records."""
    width, line_end, records, last = layout
    out = []
    for number in range(records):
        length = rng.randrange(1, 4 * width + 2)
        if last == "one base":
            length = (length // width) * width + 1
        bases = "".join(rng.choice("ACGTNacgtn") for _ in range(length))
        out.append(f">seq{number} some description{line_end}")
        out.extend(bases[i : i + width] + line_end for i in range(0, length, width))
    return "".join(out).encode()


LAYOUTS = [
    (1, "\n", 3, "any"),
    (59, "\n", 4, "any"),
    (61, "\n", 4, "one base"),
    (60, "\r\n", 3, "any"),
    (70, "\n", 1, "any"),
]


def twins(tmp_path, data, name="genome.fa"):
    """The same file twice, one for samtools and one for us."""
    paths = []
    for side in ("tool", "ours"):
        (tmp_path / side).mkdir(exist_ok=True)
        path = tmp_path / side / name
        path.write_bytes(data)
        paths.append(path)
    return paths


def samtools_fetch(path, region):
    run = samtools("faidx", path, region)
    assert run.returncode == 0, run.stderr
    return b"".join(run.stdout.split(b"\n")[1:]).decode()


@needs_samtools
@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "bgzf"])
@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda layout: f"{layout[0]}cols-{layout[2]}rec")
def test_indexes_and_fetches_match_samtools(tmp_path, layout, compressed):
    if compressed and BGZIP is None:
        pytest.skip("bgzip is not installed")
    rng = random.Random(str(layout))
    data = genome_text(rng, layout)
    if compressed:
        data = run_tool(BGZIP, "-c", input=data, check=True).stdout
    tool, ours = twins(tmp_path, data, "genome.fa.gz" if compressed else "genome.fa")
    assert samtools("faidx", tool).returncode == 0
    genome = ab.Fasta(ours)
    suffixes = [".fai", ".gzi"] if compressed else [".fai"]
    for suffix in suffixes:
        assert (ours.parent / (ours.name + suffix)).read_bytes() == (
            tool.parent / (tool.name + suffix)
        ).read_bytes(), suffix
    assert genome.bgzf == compressed
    if compressed:
        # With the .fai there, the .gzi alone is made again, from the block headers.
        gzi = ours.parent / (ours.name + ".gzi")
        gzi.unlink()
        ab.Fasta(ours).close()
        assert gzi.read_bytes() == (tool.parent / (tool.name + ".gzi")).read_bytes()
    for _ in range(12):
        name = rng.choice(genome.names)
        start = rng.randrange(genome.lengths[name])
        end = rng.randrange(start + 1, genome.lengths[name] + 3)
        region = f"{name}:{start + 1:,}-{end:,}"
        expected = samtools_fetch(tool, region)
        assert genome.fetch(region) == expected
        assert genome.fetch(name, start, end) == expected
        assert genome[name][start:end] == expected


# Inputs the tools' indexer accepts or refuses, made from the lines that
# decide it: headers, lines of differing widths, blank and space lines,
# carriage returns, a last line without its line end.
LINES = st.sampled_from(
    [">a", ">b x", ">a", "ACGT", "ACGT", "AC", "ACGTA", "", " ", "AC GT", "ACG\r", "\r", "A"]
)


@needs_samtools
@settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(lines=st.lists(LINES, min_size=1, max_size=9), end=st.booleans())
# Lines after the first with a base more than it, where its line end takes two
# bytes and theirs one or none: the tools index them, and their bases pass the
# arithmetic's end (and a record's, its next header).
@example(lines=[">a", "ACG\r", "ACGT"], end=False)
@example(lines=[">a", "ACG\r", "ACGT", "ACGT"], end=False)
@example(lines=[">a", "ACG\r", "ACGT", "ACGT", "ACGT", "ACGT"], end=False)
@example(lines=[">a", "ACG\r", "ACGT", ">b", "ACGT"], end=False)
def test_accepts_and_refuses_what_samtools_does(tmp_path_factory, lines, end):
    data = ("\n".join(lines) + ("\n" if end else "")).encode()
    tool, ours = twins(tmp_path_factory.mktemp("fasta"), data)
    run = samtools("faidx", tool)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a name met twice: tested on its own
            genome = ab.Fasta(ours)
    except ab.FormatError as error:
        assert run.returncode != 0, f"samtools accepts what we refuse: {error}"
        said = run.stderr.decode()
        if " at line " in said:
            assert error.line == int(said.split(" at line ")[1].split()[0]), said
        return
    assert run.returncode == 0, f"we accept what samtools refuses: {run.stderr.decode()}"
    assert (ours.parent / "genome.fa.fai").read_bytes() == (
        tool.parent / "genome.fa.fai"
    ).read_bytes()
    # And each sequence reads as the tool reads it, wherever the tool can.
    headers = [line[1:].split()[0] for line in lines if line.startswith(">") and line[1:].split()]
    for name in genome.names:
        if headers.count(name) == 1 and samtools("faidx", tool, name).returncode == 0:
            assert genome.fetch(name) == samtools_fetch(tool, name), name


def test_refusals_name_the_record_and_the_line(tmp_path):
    path = tmp_path / "bad.fa"
    path.write_bytes(b">first\nACGT\nAC\n>second x\nACGT\nAC\nACGT\n")
    with pytest.raises(ab.FormatError, match="'second'") as caught:
        ab.Fasta(path)
    assert caught.value.line == 7
    assert not (tmp_path / "bad.fa.fai").exists()


def test_plain_gzip_is_refused_naming_bgzip(tmp_path):
    path = tmp_path / "genome.fa.gz"
    path.write_bytes(zlib.compress(b">a\nACGT\n", wbits=31))
    with pytest.raises(ValueError, match="bgzip"):
        ab.Fasta(path)
    with pytest.raises(FileNotFoundError):
        ab.Fasta(tmp_path / "missing.fa")


@pytest.mark.parametrize(
    ("level", "strategy"),
    [(1, zlib.Z_DEFAULT_STRATEGY), (6, zlib.Z_FILTERED), (9, zlib.Z_DEFAULT_STRATEGY),
     (6, zlib.Z_HUFFMAN_ONLY), (6, zlib.Z_RLE), (6, zlib.Z_FIXED), (0, zlib.Z_DEFAULT_STRATEGY)],
)  # fmt: skip
def test_bgzf_of_every_deflate_kind_reads_back(tmp_path, level, strategy):
    rng = random.Random(level * 10 + strategy)
    records = {f"r{i}": "".join(rng.choice("ACGT" if i % 2 else "AAAAACGTN") for _ in range(rng.randrange(1, 90000)))
               for i in range(4)}  # fmt: skip
    text = "".join(f">{n}\n" + "".join(s[i : i + 60] + "\n" for i in range(0, len(s), 60))
                   for n, s in records.items())  # fmt: skip
    path = tmp_path / "genome.fa.gz"
    path.write_bytes(bgzf(text.encode(), level=level, strategy=strategy))
    genome = ab.Fasta(path)
    assert genome.bgzf and dict(genome.lengths) == {n: len(s) for n, s in records.items()}
    for _ in range(200):
        name = rng.choice(list(records))
        start = rng.randrange(len(records[name]))
        end = min(len(records[name]), start + rng.randrange(1, 70000))
        assert genome.fetch(name, start, end) == records[name][start:end]


@pytest.mark.parametrize("size", [(1 << 16) - 1, 1 << 16, (1 << 16) + 17])
def test_fetches_either_side_of_the_unlocked_threshold(tmp_path, size):
    # From 64 Ki bases (and for every BGZF read) the bases are read without
    # the interpreter lock, into a text or a buffer no Python code can see
    # yet; make check runs this under the debug allocator too.
    rng = random.Random(size)
    sequence = "".join(rng.choices("ACGTN", k=size + 100))
    data = b">s\n" + b"".join(
        sequence[i : i + 70].encode() + b"\n" for i in range(0, len(sequence), 70)
    )
    (tmp_path / "g.fa").write_bytes(data)
    (tmp_path / "g.fa.gz").write_bytes(bgzf(data))
    iupac = ab.iupac_dna()
    part = sequence[50 : 50 + size]
    for genome in (ab.Fasta(tmp_path / "g.fa"), ab.Fasta(tmp_path / "g.fa.gz")):
        assert genome.fetch("s", 50, 50 + size) == part
        assert genome.fetch("s", 50, 50 + size, alphabet=iupac) == iupac.encode_all(part)
        assert genome.fetch(f"s:51-{50 + size}", alphabet=iupac, reverse_complement=True) == (
            iupac.reverse_complement(iupac.encode_all(part))
        )
        assert genome.fetch(
            "s", 50, 50 + size, reverse_complement=True
        ) == iupac.reverse_complement(part)


@pytest.fixture
def small(tmp_path):
    path = tmp_path / "small.fa"
    path.write_bytes(b">chr1 first\nACGTACGTAC\nGGGG\n>chr2\nTTTTCCCC\n")
    return path


def test_access(small):
    genome = ab.Fasta(small)
    assert len(genome) == 2 and list(genome) == ["chr1", "chr2"] == list(genome.names)
    assert dict(genome.lengths) == {"chr1": 14, "chr2": 8}
    assert "chr2" in genome and "chr3" not in genome and 3 not in genome
    region = genome["chr1"]
    assert len(region) == 14 and region[-4:] == "GGGG" and region[2] == "G" and region[-1] == "G"
    assert region[::-1] == "GGGGCATGCATGCA" and region[1:9:3] == "CAT" and region[10:2] == ""
    assert str(genome["chr2"]) == "TTTTCCCC"
    assert genome.fetch("chr1", 12, 100) == "GG" and genome.fetch("chr1", 50) == ""
    assert genome.fetch("chr1", -3) == "GGG"
    assert genome.fetch("chr1:11-100") == "GGGG" and genome.fetch("chr2:3") == "TTCCCC"
    with pytest.raises(KeyError, match="chr3"):
        genome.fetch("chr3")
    with pytest.raises(KeyError, match="chr3"):
        genome["chr3"]
    with pytest.raises(KeyError, match="chr9"):
        genome.fetch("chr9:1-5")
    with pytest.raises(ValueError, match="ends before it starts"):
        genome.fetch("chr1:5-3")
    with pytest.raises(IndexError):
        region[14]


def test_a_close_run_by_a_fetch_argument_leaves_that_fetch_its_file(small):
    genome = ab.Fasta(small)

    class Closing:
        def __index__(self):
            genome.close()
            return 2

    assert genome.fetch("chr1", Closing(), 6) == "GTAC"
    assert genome.closed
    with pytest.raises(ValueError, match="closed"):
        genome.fetch("chr1", 0, 2)


def test_codes_and_reverse_complements(small):
    genome, dna = ab.Fasta(small), ab.dna()
    text = genome.fetch("chr1", 0, 14)
    assert genome.fetch("chr1", alphabet=dna) == dna.encode_all(text)
    assert genome.fetch(
        "chr1", 2, 9, alphabet=dna, reverse_complement=True
    ) == dna.reverse_complement(dna.encode_all(text[2:9]))
    assert genome.fetch("chr1", 2, 9, reverse_complement=True) == dna.reverse_complement(text[2:9])
    with pytest.raises(TypeError, match="no complements"):
        genome.fetch("chr1", alphabet=ab.protein(), reverse_complement=True)
    with pytest.raises(ab.AlphabetError, match="position 0"):
        genome.fetch("chr2", alphabet=ab.Alphabet("AC"))


@needs_samtools
def test_text_reverse_complement_is_samtools(tmp_path):
    symbols = "".join(chr(c) for c in range(0x21, 0x7F) if chr(c) != ">")
    tool, ours = twins(tmp_path, f">a\n{symbols}\n".encode())
    run = samtools("faidx", "-i", "-n", "1000", tool, "a")
    assert ab.Fasta(ours).fetch("a", reverse_complement=True) == run.stdout.split(b"\n")[1].decode()


def test_stale_index_is_rebuilt_and_unwritable_kept_in_memory(small, monkeypatch):
    ab.Fasta(small).close()
    index = small.parent / "small.fa.fai"
    before = index.read_bytes()
    # Same length, same time: only the index's fit tells.
    small.write_bytes(b">chr1\nACGT\n")
    os.utime(small, (0, 0))
    genome = ab.Fasta(small)
    assert dict(genome.lengths) == {"chr1": 4} and index.read_bytes() != before
    small.write_bytes(b">new\nAAAA\n")
    os.utime(index, (0, 0))
    assert list(ab.Fasta(small).names) == ["new"]
    index.unlink()
    with pytest.raises(FileNotFoundError, match="build_index"):
        ab.Fasta(small, build_index=False)

    def refuse(*args):
        raise PermissionError(13, "read-only folder")

    monkeypatch.setattr(os, "replace", refuse)
    assert ab.Fasta(small).fetch("new") == "AAAA"
    assert not index.exists() and os.listdir(small.parent) == ["small.fa"]


def test_pickles_by_path_and_threads_share_it(tmp_path):
    rng = random.Random(4)
    sequence = "".join(rng.choice("ACGT") for _ in range(300_000))
    data = b">s\n" + b"".join(
        sequence[i : i + 60].encode() + b"\n" for i in range(0, len(sequence), 60)
    )
    path = tmp_path / "g.fa.gz"
    path.write_bytes(bgzf(data))
    genome = pickle.loads(pickle.dumps(ab.Fasta(path)))
    assert isinstance(genome, ab.Fasta) and genome.path == str(path)
    failures = []

    def fetch(seed):
        local = random.Random(seed)
        for _ in range(150):
            start = local.randrange(len(sequence))
            end = min(len(sequence), start + local.randrange(1, 100_000))
            if genome.fetch("s", start, end) != sequence[start:end]:
                failures.append((start, end))

    threads = [threading.Thread(target=fetch, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    genome.close()
    with pytest.raises(ValueError, match="closed"):
        genome.fetch("s")


@needs_samtools
def test_duplicate_names_keep_the_first_as_samtools(tmp_path):
    tool, ours = twins(tmp_path, b">a\nACGT\n>a two\nAA\n>b\nC\n")
    samtools("faidx", tool)
    with pytest.warns(UserWarning, match="'a'"):
        genome = ab.Fasta(ours)
    assert genome.fetch("a") == "ACGT"
    assert (ours.parent / "genome.fa.fai").read_bytes() == (
        tool.parent / "genome.fa.fai"
    ).read_bytes()


@needs_samtools
def test_fastq_by_id_matches_fqidx_and_the_reader(tmp_path):
    data = b"@r1 desc one\nACGT\n+\nIIII\n@r2\nAC\nGT\n+r2\nI#\nII\n@r3\tx\r\nA\r\n+\r\n#\r\n"
    tool, ours = twins(tmp_path, data, "reads.fq")
    assert samtools("fqidx", tool).returncode == 0
    reads = ab.Fastq(ours)
    assert (ours.parent / "reads.fq.fai").read_bytes() == (
        tool.parent / "reads.fq.fai"
    ).read_bytes()
    for record in ab.read(io.BytesIO(data)):
        assert reads[record.id] == record
    assert reads.fastq and list(reads) == ["r1", "r2", "r3"]
    (tmp_path / "plain.fa").write_bytes(b">a\nAC\n")
    with pytest.raises(ab.FormatError, match="FASTA"):
        ab.Fastq(tmp_path / "plain.fa")


REGIONS = ["chr1", "chr1:3", "chr1:3-5", "chr1:1,2-1,4", "chr1:0", "chr1:0-2", "chr1:-3",
           "chr1:15", "chr1:3-100", "chr1:3-", "chr:2:2-3", "{chr:2}:2-3", "chr:1", "d:1-3",
           "{d:1-2}", "chr1:1-2k"]  # fmt: skip
NAMES = b">chr1\nACGTACGTAC\nGGGG\n>chr:2\nACGT\n>chr\nTTTT\n>d:1-2\nGG\n>d\nAAAAAAAAAAAAA\n"


def run_cli(*argv):
    out = io.BytesIO()
    wrapper = io.TextIOWrapper(out)
    saved = sys.stdout
    sys.stdout = wrapper
    try:
        with redirect_stderr(io.StringIO()) as err:
            status = _cli.main([str(a) for a in argv])
        wrapper.flush()
    finally:
        sys.stdout = saved
    return status, out.getvalue(), err.getvalue()


@needs_samtools
def test_fetch_command_prints_what_samtools_prints(tmp_path):
    long = b">long\n" + b"ACGTTGCAAC" * 25 + b"\n"
    tool, ours = twins(tmp_path, NAMES + long)
    for regions in (REGIONS, ["long", "long:7-200"], ["chr1:2-4", "nope", "chr1"], ["chr:2"]):
        run = samtools("faidx", tool, *regions)
        status, printed, _ = run_cli("fetch", ours, *regions)
        assert printed == run.stdout, regions
        assert (status == 0) == (run.returncode == 0), regions
    run = samtools("faidx", "-i", "-n", "7", tool, "long:3-40")
    assert run_cli("fetch", "-i", "-n", "7", ours, "long:3-40")[1] == run.stdout


def test_fetch_command_codes_as_encode_prints_them(small):
    status, printed, _ = run_cli("fetch", "--codes", "dna", small, "chr1:1-4", "chr2:7")
    assert status == 0
    assert printed == b"chr1:1-4\t0 1 2 3\nchr2:7\t1 1\n"
