"""The reader's grammar as the package ships it: the parser's cases, read
through alphabet.read, so that the installed-wheel run checks the parser in
the wheel and not only the C++ tests beside it."""

import io

import pytest

import alphabet as ab


def fasta(id, description, sequence):
    return (id, description, sequence, None)


GOOD = {
    "empty": (b"", []),
    "only blank lines": (b"\n \r\n\t\n", []),
    "only a byte-order mark": (b"\xef\xbb\xbf", []),
    "multi-line FASTA": (
        b">r1 first read\nACGT\nGG\nT\n>r2\nCC\n",
        [fasta("r1", "first read", "ACGTGGT"), fasta("r2", "", "CC")],
    ),
    "CRLF and no final line end": (
        b">r1 d\r\nAC\r\nGT\r\n>r2\r\nTT\r",
        [fasta("r1", "d", "ACGT"), fasta("r2", "", "TT")],
    ),
    "a byte-order mark, then FASTA": (b"\xef\xbb\xbf>r\nAC\n", [fasta("r", "", "AC")]),
    "blank lines anywhere": (
        b"\n\n>a\n\nAC\n  \nGT\n\n>b\n\n",
        [fasta("a", "", "ACGT"), fasta("b", "", "")],
    ),
    "empty records": (
        b">a\n>b\nA\n>c\n>d",
        [fasta("a", "", ""), fasta("b", "", "A"), fasta("c", "", ""), fasta("d", "", "")],
    ),
    "header words, a tab among them": (
        b">\n>id\tdesc  with  spaces  \n>  lead\n>id \n",
        [
            fasta("", "", ""),
            fasta("id", "desc  with  spaces  ", ""),
            fasta("", "lead", ""),
            fasta("id", "", ""),
        ],
    ),
    "FASTA keeps other characters of sequence lines": (
        b">r\n@AC GT+\n;x\n",
        [fasta("r", "", "@AC GT+;x")],
    ),
    "four-line FASTQ": (
        b"@r1 d\nACGT\n+\nIIII\n@r2\nGG\n+r2\n#@\n",
        [("r1", "d", "ACGT", "IIII"), ("r2", "", "GG", "#@")],
    ),
    "multi-line FASTQ with markers in its quality": (
        b"@r\nAC\nGT\n+\n@I\n+I\n\n@s\nA\n+\n@",
        [("r", "", "ACGT", "@I+I"), ("s", "", "A", "@")],
    ),
    "FASTQ with empty sequences": (
        b"@a\n\n+\n\n@b\n+\n@c\nA\n+\nI\r\n",
        [("a", "", "", ""), ("b", "", "", ""), ("c", "", "A", "I")],
    ),
    "UTF-8 counts characters": (
        "@ré €\nAé\n+\nII\n".encode(),
        [("ré", "€", "Aé", "II")],
    ),
}

BAD = {
    "no header": (
        b"\nACGT\n>ok\n",
        0,
        "line 2: expected a header line starting with '>' (FASTA) or '@' (FASTQ), found 'ACGT'",
    ),
    "a FASTQ record without '@'": (
        b"@ok\nA\n+\nI\n\nA\n+\nI\n",
        1,
        "line 6: expected a FASTQ header line starting with '@', found 'A'",
    ),
    "a FASTA header in FASTQ": (
        b"@ok\nA\n+\nI\n>r\nA\n",
        1,
        "line 5: expected a FASTQ header line starting with '@', found '>r'",
    ),
    "a missing '+'": (
        b"@ok\nA\n+\nI\n@r\nAC\nII\n@s\nA\n+\nI\n",
        1,
        "line 8: expected the '+' line of FASTQ record 'r', found '@s'",
    ),
    "cut after a header": (
        b"@ok\nA\n+\nI\n@r two\n",
        1,
        "line 5: FASTQ record 'r' is cut short: the input ends before its '+' line",
    ),
    "cut after the '+'": (
        b"@ok\nA\n+\nI\n@r\nAC\n+\n\n",
        1,
        "line 5: FASTQ record 'r' is cut short: the input ends before its quality",
    ),
    "a quality too long": (
        b"@ok\nA\n+\nI\n@r\nAC\n+\nIII\n@s\n",
        1,
        "line 8: the quality of FASTQ record 'r' has 3 characters, its sequence 2",
    ),
    "a quality too short at the end": (
        b"@r\nACG\n+\nII",
        0,
        "line 4: the quality of FASTQ record 'r' has 2 characters, its sequence 3",
    ),
    "a byte that is never UTF-8": (
        b">ok\nA\n>r\xff\nA\n",
        1,
        "line 3: not UTF-8: byte 0xff at column 3",
    ),
    "UTF-8 cut at the end": (b">ok\nA\nC\xc3", 0, "line 3: not UTF-8: byte 0xc3 at column 2"),
    "UTF-8 cut by a line end": (
        b">ok\nA\xe2\x82\nC\n",
        0,
        "line 2: not UTF-8: byte 0xe2 at column 2",
    ),
    "an overlong '/'": (b">ok\nA\n>r\xc0\xaf\n", 1, "line 3: not UTF-8: byte 0xc0 at column 3"),
    "an overlong form after E0": (
        b">ok\nA\n>r\xe0\x80\xaf\n",
        1,
        "line 3: not UTF-8: byte 0xe0 at column 3",
    ),
    "an overlong form after F0": (
        b">r\nA\xf0\x80\x80\xaf\n",
        0,
        "line 2: not UTF-8: byte 0xf0 at column 2",
    ),
    "a surrogate in a quality": (
        b"@r\nA\n+\n\xed\xa0\x80\n",
        0,
        "line 4: not UTF-8: byte 0xed at column 1",
    ),
    "beyond U+10FFFF": (b">r\xf4\x90\x80\x80\n", 0, "line 1: not UTF-8: byte 0xf4 at column 3"),
}


def sources(data, tmp_path):
    """The input as a file object read whole, one read at a time, and a path."""
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    return {"a file object": io.BytesIO(data), "a path": path}


def fields(records):
    return [(r.id, r.description, r.sequence, r.quality) for r in records]


@pytest.mark.parametrize("name", list(GOOD))
def test_what_the_parser_accepts(tmp_path, name):
    data, expected = GOOD[name]
    for how, source in sources(data, tmp_path).items():
        with ab.read(source) as reader:
            assert fields(reader) == expected, how


@pytest.mark.parametrize("name", list(BAD))
def test_what_the_parser_refuses_after_the_records_before_it(tmp_path, name):
    data, whole, message = BAD[name]
    for how, source in sources(data, tmp_path).items():
        with ab.read(source) as reader:
            read = [next(reader) for _ in range(whole)]
            with pytest.raises(ab.FormatError) as info:
                next(reader)
            assert str(info.value) == message, how
            assert info.value.line == int(message.split(":")[0].split()[1])
            assert len(read) == whole and reader.closed
