"""alphabet.read with an alphabet: every record is coded by the alphabet's own
codec, natively, and must equal encode_all of its text, whatever the
alphabet's size and options, on every kernel path."""

import random

import pytest

import alphabet as ab


def write_fasta(target, sequences, width=7):
    with open(target, "w", encoding="utf-8") as f:
        for i, text in enumerate(sequences):
            f.write(f">r{i} some description\n")
            for start in range(0, len(text), width):
                f.write(text[start : start + width] + "\n")


# 300 one-character symbols, ASCII and beyond: codes are 16-bit, and the
# records that are all ASCII are coded from the parser's bytes while the
# others go through their text.
WIDE = "".join(chr(c) for c in range(0x21, 0x21 + 300) if chr(c) not in ">;")
LENIENT = ab.iupac_dna().with_options(ignore_case=True, aliases={"U": "T"}, unknown="N")


@pytest.mark.parametrize(
    "alphabet, letters",
    [
        (ab.Alphabet(WIDE), WIDE),
        (ab.Alphabet(WIDE), WIDE[:90]),
        (LENIENT, "ACGTacgtUuRYNn?X-é" + "ACGT" * 8),
        (ab.dna(), "ACGT"),
        # Not "<s>": a line of the record could start with its ">".
        (ab.dna().extend(["{s}", "ACG"]), ["A", "C", "G", "T", "{s}"]),
    ],
    ids=["300 symbols", "300 symbols, ASCII records", "options", "dna", "tokens"],
)
def test_each_record_is_its_text_encoded(tmp_path, path, alphabet, letters):
    rng = random.Random(len(letters))
    # Lengths around the vector widths, so that every tail is coded.
    sequences = ["".join(rng.choices(letters, k=k)) for k in (0, 1, 15, 16, 17, 63, 64, 65, 200)]
    fasta = tmp_path / "in.fa"
    write_fasta(fasta, sequences)
    records = list(ab.read(fasta, alphabet=alphabet))
    assert [r.sequence for r in records] == [alphabet.encode_all(s) for s in sequences]
    assert all(type(r.sequence) is type(alphabet.encode_all("")) for r in records)


@pytest.mark.parametrize("length, bad", [(64 + 37, 64 + 30), (16 + 5, 16 + 4), (3, 0), (200, 199)])
def test_a_refused_byte_is_named_where_encode_all_names_it(tmp_path, path, length, bad):
    text = "".join(random.Random(length).choices("ACGT", k=length))
    text = text[:bad] + "Z" + text[bad + 1 :]
    fasta = tmp_path / "in.fa"
    write_fasta(fasta, ["ACGT", text, "GATTACA"], width=1000)
    dna = ab.dna()
    with pytest.raises(ab.AlphabetError) as expected:
        dna.encode_all(text)
    with ab.read(fasta, alphabet=dna) as reader:
        assert next(reader).sequence == b"\x00\x01\x02\x03"
        with pytest.raises(ab.AlphabetError) as raised:
            next(reader)
        # Iteration goes on with the next record.
        assert next(reader).sequence == dna.encode_all("GATTACA")
    assert raised.value.position == expected.value.position == bad
    assert str(raised.value) == f"record 'r1' (line 3): {expected.value}"
