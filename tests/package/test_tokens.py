"""Texts under alphabets of longer symbols: special tokens and codons, cut by
the longest symbol that matches, against a plain-Python cut that asks the
one-symbol path (Alphabet.encode) about each piece (helpers.py)."""

import array
import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import alphabet as ab
from alphabet import _native as n
from helpers import longest_match_codes

PATHS = n.kernel_paths()
TOKENS = ["<cls>", "<pad>", "<eos>", "<unk>", "<mask>"]


def check_against_reference(alphabet, text):
    expected = longest_match_codes(alphabet, text)
    forms = [text]
    if all(ord(c) < 256 for c in text):
        forms += [text.encode("latin-1"), bytearray(text.encode("latin-1"))]
    for path in PATHS:
        n.use_kernel_path(path)
        for form in forms:
            if isinstance(expected, tuple):
                with pytest.raises(ab.AlphabetError) as info:
                    alphabet.encode_all(form)
                assert info.value.position == expected[1], (path, text)
            else:
                assert list(alphabet.encode_all(form)) == expected, (path, text)
    n.use_kernel_path(PATHS[-1])


protein_tokens = ab.protein().extend(TOKENS)
pieces = st.sampled_from(
    list("ACDEFGHIKLMNPQRSTVWY") + TOKENS + ["<", ">", "<pa", "x", "é", "\u4e00"]
)


@settings(max_examples=150, deadline=None)
@given(
    st.lists(pieces, max_size=90),
    st.sampled_from(
        [
            {},
            {"ignore_case": True},
            {"unknown": "<unk>"},
            {"ignore_case": True, "unknown": "X"},
            {"aliases": {"<start>": "<cls>", "*": "<eos>"}},
        ]
    ),
)
def test_special_tokens_cut_as_the_reference_on_every_path(chosen, options):
    alphabet = ab.protein().extend(TOKENS + ["X"]).with_options(**options)
    text = "".join(chosen)
    if options.get("ignore_case"):
        text = "".join(c.lower() if i % 3 else c for i, c in enumerate(text))
    check_against_reference(alphabet, text)


codon_alphabets = st.lists(st.text("ACGTacgt", min_size=1, max_size=4), min_size=1, max_size=12)


@settings(max_examples=150, deadline=None)
@given(codon_alphabets, st.text("ACGTacgtN", max_size=70), st.booleans())
def test_overlapping_symbols_of_any_length_cut_as_the_reference(symbols, text, ignore_case):
    check_against_reference(ab.Alphabet(symbols, ignore_case=ignore_case), text)


def test_a_text_without_tokens_codes_as_under_the_one_character_alphabet():
    text = "MKWVTFISLLFLFSSAYS" * 300 + "Y"
    for path in PATHS:
        n.use_kernel_path(path)
        assert protein_tokens.encode_all(text) == ab.protein().encode_all(text)
    n.use_kernel_path(PATHS[-1])


def test_tokens_take_one_code_and_the_text_decodes_back():
    text = "<cls>MKW<mask>Y<eos><pad><pad>"
    codes = protein_tokens.encode_all(text)
    assert list(codes) == [20, 10, 8, 18, 24, 19, 22, 21, 21]
    assert protein_tokens.decode_str(codes) == text
    assert protein_tokens.decode_str(array.array("H", list(codes))) == text
    with pytest.raises(ab.AlphabetError, match="Symbol '<' not in alphabet at position 3") as info:
        protein_tokens.encode_all("MKW<cl>")
    assert info.value.position == 3


def test_wide_symbols_and_texts_beside_tokens():
    alphabet = ab.Alphabet(["α", "β", "αβγ", "<s>", "A"])
    assert list(alphabet.encode_all("αβγαβ<s>A")) == [2, 0, 1, 3, 4]
    assert alphabet.decode_str([2, 3, 4]) == "αβγ<s>A"
    wide = ab.Alphabet([chr(0x4E00 + i) for i in range(300)] + ["<pad>"])
    codes = wide.encode_all("\u4e00<pad>\u4e01")
    assert type(codes) is array.array and list(codes) == [0, 300, 1]


def test_the_reader_codes_records_with_tokens_as_encode_all_does():
    fasta = b">a\nMK<mask>\nW<eos>\n>b\n\n>c\nMK\xc3\xa9\n"
    reader = ab.read(io.BytesIO(fasta), alphabet=protein_tokens)
    assert next(reader).sequence == protein_tokens.encode_all("MK<mask>W<eos>")
    assert next(reader).sequence == b""
    with pytest.raises(ab.AlphabetError, match="record 'c'"):
        next(reader)
