"""Genetic codes: the translation tables that NCBI defines, and translation
of nucleotide sequences by them (natively, see alphabet._native.translate)."""

from __future__ import annotations

import array
import threading
from collections.abc import Buffer, Iterable
from typing import TYPE_CHECKING, overload

from . import _native

if TYPE_CHECKING:
    from ._alphabets import Alphabet

# The NCBI tables, each as NCBI writes it: its id, its name, the amino acid
# of each codon and the codons that may start, over the 64 codons in NCBI's
# order (first base T, C, A, G, then the second, then the third); '*' marks a
# stop, 'M' a start.  A stop in the starts' line that the amino acids' line
# gives a letter stands for a codon read either way (tables 27, 28 and 31):
# translation gives the letter.
_NCBI_ORDER = "TCAG"
_TABLES: dict[int, tuple[str, str, str]] = {
    1: ("Standard",
        "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
        "---M------**--*----M---------------M----------------------------"),
    2: ("Vertebrate Mitochondrial",
        "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSS**VVVVAAAADDEEGGGG",
        "----------**--------------------MMMM----------**---M------------"),
    3: ("Yeast Mitochondrial",
        "FFLLSSSSYY**CCWWTTTTPPPPHHQQRRRRIIMMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
        "----------**----------------------MM---------------M------------"),
    4: ("Mold Mitochondrial; Protozoan Mitochondrial; Coelenterate Mitochondrial; "
        "Mycoplasma; Spiroplasma",
        "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
        "--MM------**-------M------------MMMM---------------M------------"),
    5: ("Invertebrate Mitochondrial",
        "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSSSSVVVVAAAADDEEGGGG",
        "---M------**--------------------MMMM---------------M------------"),
    6: ("Ciliate Nuclear; Dasycladacean Nuclear; Hexamita Nuclear",
        "FFLLSSSSYYQQCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
        "--------------*--------------------M----------------------------"),
    9: ("Echinoderm Mitochondrial; Flatworm Mitochondrial",
        "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNNKSSSSVVVVAAAADDEEGGGG",
        "----------**-----------------------M---------------M------------"),
    10: ("Euplotid Nuclear",
         "FFLLSSSSYY**CCCWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "----------**-----------------------M----------------------------"),
    11: ("Bacterial, Archaeal and Plant Plastid",
         "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "---M------**--*----M------------MMMM---------------M------------"),
    12: ("Alternative Yeast Nuclear",
         "FFLLSSSSYY**CC*WLLLSPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "----------**--*----M---------------M----------------------------"),
    13: ("Ascidian Mitochondrial",
         "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSSGGVVVVAAAADDEEGGGG",
         "---M------**----------------------MM---------------M------------"),
    14: ("Alternative Flatworm Mitochondrial",
         "FFLLSSSSYYY*CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNNKSSSSVVVVAAAADDEEGGGG",
         "-----------*-----------------------M----------------------------"),
    15: ("Blepharisma Macronuclear",
         "FFLLSSSSYY*QCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "----------*---*--------------------M----------------------------"),
    16: ("Chlorophycean Mitochondrial",
         "FFLLSSSSYY*LCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "----------*---*--------------------M----------------------------"),
    21: ("Trematode Mitochondrial",
         "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNNKSSSSVVVVAAAADDEEGGGG",
         "----------**-----------------------M---------------M------------"),
    22: ("Scenedesmus obliquus Mitochondrial",
         "FFLLSS*SYY*LCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "------*---*---*--------------------M----------------------------"),
    23: ("Thraustochytrium Mitochondrial",
         "FF*LSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "--*-------**--*-----------------M--M---------------M------------"),
    24: ("Rhabdopleuridae Mitochondrial",
         "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSSKVVVVAAAADDEEGGGG",
         "---M------**-------M---------------M---------------M------------"),
    25: ("Candidate Division SR1 and Gracilibacteria",
         "FFLLSSSSYY**CCGWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "---M------**-----------------------M---------------M------------"),
    26: ("Pachysolen tannophilus Nuclear",
         "FFLLSSSSYY**CC*WLLLAPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "----------**--*----M---------------M----------------------------"),
    27: ("Karyorelict Nuclear",
         "FFLLSSSSYYQQCCWWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "--------------*--------------------M----------------------------"),
    28: ("Condylostoma Nuclear",
         "FFLLSSSSYYQQCCWWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "----------**--*--------------------M----------------------------"),
    29: ("Mesodinium Nuclear",
         "FFLLSSSSYYYYCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "--------------*--------------------M----------------------------"),
    30: ("Peritrich Nuclear",
         "FFLLSSSSYYEECC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "--------------*--------------------M----------------------------"),
    31: ("Blastocrithidia Nuclear",
         "FFLLSSSSYYEECCWWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "----------**-----------------------M----------------------------"),
    32: ("Balanophoraceae Plastid",
         "FFLLSSSSYY*WCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG",
         "---M------*---*----M------------MMMM---------------M------------"),
    33: ("Cephalodiscidae Mitochondrial",
         "FFLLSSSSYYY*CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSSKVVVVAAAADDEEGGGG",
         "---M-------*-------M---------------M---------------M------------"),
}  # fmt: skip

_NCBI_CODONS = tuple(a + b + c for a in _NCBI_ORDER for b in _NCBI_ORDER for c in _NCBI_ORDER)
_CODONS = tuple(a + b + c for a in "ACGT" for b in "ACGT" for c in "ACGT")

type Nucleotides = str | Buffer | Iterable[int]


class GeneticCode:
    """One of NCBI's genetic codes (translation tables); alphabet.genetic_code(n) gives it.

    `id` and `name` are NCBI's, `starts` and `stops` the codons (in DNA
    letters) that may start a protein and that end one.  translate() and
    six_frames() read DNA or RNA text in either case, with the IUPAC
    ambiguity codes, or codes of dna(), rna(), iupac_dna() or iupac_rna().
    """

    __slots__ = ("_amino_acids", "_table", "id", "name", "starts", "stops")

    id: int
    name: str
    starts: tuple[str, ...]
    stops: tuple[str, ...]

    def __init__(self, table: int) -> None:
        name, amino_acids, starts = _TABLES[table]
        self.id = table
        self.name = name
        by_codon = dict(zip(_NCBI_CODONS, amino_acids, strict=True))
        marks = dict(zip(_NCBI_CODONS, starts, strict=True))
        self.starts = tuple(codon for codon in _CODONS if marks[codon] == "M")
        self.stops = tuple(
            codon for codon in _CODONS if by_codon[codon] == "*" or marks[codon] == "*"
        )
        self._amino_acids = "".join(by_codon[codon] for codon in _CODONS)
        self._table = _native.codon_table(self._amino_acids)

    @overload
    def translate(
        self, sequence: Nucleotides, *, frame: int = 0, to_stop: bool = False,
        alphabet: None = None,
    ) -> str: ...  # fmt: skip
    @overload
    def translate(
        self, sequence: Nucleotides, *, frame: int = 0, to_stop: bool = False,
        alphabet: Alphabet,
    ) -> bytes | array.array[int]: ...  # fmt: skip
    def translate(
        self, sequence: Nucleotides, *, frame: int = 0, to_stop: bool = False,
        alphabet: Alphabet | None = None,
    ) -> str | bytes | array.array[int]:  # fmt: skip
        """The protein of `sequence`: its codons read in order from `frame`
        (0, 1 or 2), the incomplete tail dropped.

        A codon with ambiguity codes gives what all the codons it stands for
        agree on: the one amino acid, '*' when all stop ("TAR"), B (D or N),
        Z (E or Q) or J (I or L) when they are exactly such a pair ("RAT"
        gives B, "MTT" J), else X ("ATN", "TAN"); "---" gives "-".  With
        `to_stop` the protein ends before the first stop.  Text out, or with
        `alphabet` (extended_protein(), say) its codes.  A character that is
        not a nucleotide, or a codon mixing a gap with bases, raises
        AlphabetError naming its position.
        """
        protein = _native.translate(sequence, self._table, frame, to_stop)
        return protein if alphabet is None else alphabet.encode_all(protein)

    def six_frames(self, sequence: Nucleotides) -> tuple[str, str, str, str, str, str]:
        """The translations of the three frames of `sequence`, then of the
        three frames of its reverse complement."""
        frames: tuple[str, str, str, str, str, str] = _native.six_frames(sequence, self._table)
        return frames

    def __repr__(self) -> str:
        return f"genetic_code({self.id})  # {self.name}"

    def __reduce__(self) -> tuple[object, tuple[int]]:
        return genetic_code, (self.id,)


_codes: dict[int, GeneticCode] = {}
_codes_lock = threading.Lock()


def genetic_code(table: int = 1) -> GeneticCode:
    """NCBI's genetic code number `table` (1 the standard code, 2 the
    vertebrate mitochondrial one, 11 bacteria's, ...): every table NCBI
    defines, 1 to 33 but 7, 8 and 17 to 20.  The same object for each id."""
    if isinstance(table, bool) or not isinstance(table, int):
        raise TypeError(
            f"a genetic code is named by its NCBI id, an int, not {type(table).__name__}"
        )
    if table not in _TABLES:
        raise ValueError(f"NCBI defines no genetic code {table}; it has {sorted(_TABLES)}")
    code = _codes.get(table)
    if code is None:
        with _codes_lock:
            code = _codes.setdefault(table, GeneticCode(table))
    return code
