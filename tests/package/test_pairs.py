"""read(r1, r2) and read(p, interleaved=True): mates in step, and every way
they fall out of step."""

import gzip
import io

import pytest

import alphabet as ab
from alphabet import FormatError


def fq(*ids, bad=()):
    return b"".join(
        b"@%s\n%s\n+\nIIII\n" % (i.encode(), b"ACXT" if i in bad else b"ACGT") for i in ids
    )


@pytest.fixture
def files(tmp_path):
    def make(first, second, gzipped=False):
        paths = []
        for name, data in (("r1.fq", first), ("r2.fq", second)):
            path = tmp_path / (name + (".gz" if gzipped else ""))
            path.write_bytes(gzip.compress(data) if gzipped else data)
            paths.append(path)
        return paths

    return make


@pytest.mark.parametrize("gzipped", [False, True])
def test_mates_of_two_files_come_in_step(files, gzipped):
    r1, r2 = files(fq("a/1", "b/1", "c"), fq("a/2", "b/2", "c"), gzipped)
    pairs = list(ab.read(r1, r2))
    assert [(x.id, y.id) for x, y in pairs] == [("a/1", "a/2"), ("b/1", "b/2"), ("c", "c")]
    coded = list(ab.read(r1, r2, alphabet=ab.dna(), phred=33))
    assert coded[0][1].sequence == b"\x00\x01\x02\x03" and coded[0][1].quality == b"\x28" * 4


def test_interleaved_mates_of_one_file():
    pairs = list(ab.read(io.BytesIO(fq("a/1", "a/2", "b/1", "b/2")), interleaved=True))
    assert [(x.id, y.id) for x, y in pairs] == [("a/1", "a/2"), ("b/1", "b/2")]


@pytest.mark.parametrize(
    "first, second, pairs, line, words",
    [
        (("a/1", "b/1"), ("a/2", "x/2"), 1, 5, ["'b/1' (line 5 of", "r1.fq", "'x/2' (line 5 of", "r2.fq"]),
        (("a", "b"), ("a",), 1, 5, ["'b' of", "r1.fq", "has no mate", "r2.fq ends before it"]),
        (("a",), ("a", "b", "c"), 1, 5, ["'b' of", "r2.fq", "has no mate", "r1.fq ends before it"]),
        (("a/1",), ("a/1/2",), 0, 1, ["mates out of step"]),
    ],
)  # fmt: skip
def test_mates_out_of_step_name_both_records_files_and_line(
    files, first, second, pairs, line, words
):
    r1, r2 = files(fq(*first), fq(*second))
    reader = ab.read(r1, r2)
    got = []
    with pytest.raises(FormatError) as info:
        for pair in reader:
            got.append(pair)
    assert len(got) == pairs and info.value.line == line
    assert str(info.value).startswith(f"line {line}: ")
    for word in words:
        assert word in str(info.value)
    assert reader.closed and list(reader) == []


def test_an_interleaved_file_with_a_record_left_over():
    with pytest.raises(FormatError, match=r"line 9: record 'c' has no mate"):
        list(ab.read(io.BytesIO(fq("a", "a", "c")), interleaved=True))
    with pytest.raises(FormatError, match=r"'a/1' \(line 1 of .*'b/2' \(line 5 of"):
        list(ab.read(io.BytesIO(fq("a/1", "b/2")), interleaved=True))


@pytest.mark.parametrize("errors", ["strict", "skip"])
def test_a_record_that_does_not_code_keeps_the_pairs_in_step(files, errors):
    r1, r2 = files(fq("a", "b", "c"), fq("a", "b", "c", bad=("b",)))
    reader = ab.read(r1, r2, alphabet=ab.dna(), errors=errors)
    ids = []
    while True:
        try:
            ids += [(x.id, y.id) for x, y in [next(reader)]]
        except StopIteration:
            break
        except ab.AlphabetError as error:
            assert errors == "strict" and error.record == "b"
    assert ids == [("a", "a"), ("c", "c")]
    assert reader.skipped == (1 if errors == "skip" else 0)


def test_options_that_do_not_combine_are_refused(files):
    r1, r2 = files(fq("a"), fq("a"))
    with pytest.raises(ValueError, match="batch_size"):
        ab.read(r1, r2, batch_size=10)
    with pytest.raises(ValueError, match="no mate"):
        ab.read(r1, r2, interleaved=True)


def test_mates_out_of_step_are_found_when_one_does_not_code(files):
    r1, r2 = files(fq("a", "b"), fq("a", "x", bad=("x",)))
    reader = ab.read(r1, r2, alphabet=ab.dna(), errors="skip")
    assert [x.id for x, _ in [next(reader)]] == ["a"]
    with pytest.raises(FormatError, match=r"'b' \(line 5 of .*'x' \(line 6 of"):
        next(reader)
