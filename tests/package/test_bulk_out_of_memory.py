"""The package's bulk results that cannot be made for want of memory:
MemoryError, inputs and the registry as they were, and the interpreter goes on.

Each case runs in a fresh interpreter whose address space is capped just
above what it has mapped (helpers.CAPPED_PRELUDE), on the plain build only.
"""

import pytest

from helpers import CAPPED_PRELUDE, SANITIZED

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="a sanitizer runtime reserves more address space than any cap allows"
)

# The package's bulk calls: each result (or what a call gathers on the way)
# is far larger than the room left, and must fail as MemoryError with its
# inputs and the registry as they were.  Each case runs in an interpreter of
# its own: memory that an earlier case freed would stay mapped, room for the
# next one.
PACKAGE_PRELUDE = """
import array
import itertools

import alphabet as ab
from alphabet import _native as n

dna = ab.dna()
wide = ab.Alphabet([chr(0x100 + i) for i in range(300)])
MANY = 30_000_000  # items of an iterable: gathered into native memory first
"""

TEXT = "TEXT = 'GATTACA' * (6 << 20)\n"
CODES = TEXT + "CODES = dna.encode_all(TEXT)\n"
INTS = "INTS = ab.sequence('int64', range(8 << 20))\n"

# name: (what is made first, the call, what must still hold after it)
PACKAGE_CASES = {
    "encode_all text": (TEXT, "dna.encode_all(TEXT)", "True"),
    "encode_all wide": ("WIDE = '\\u0100' * (16 << 20)", "wide.encode_all(WIDE)", "True"),
    "encode_all buffer": (
        "RAW = b'GATTACA' * (6 << 20)",
        "dna.encode_all(memoryview(RAW))",
        "True",
    ),
    "encode_all iterable": ("", "dna.encode_all(itertools.repeat('A', MANY))", "True"),
    "decode_str": (CODES, "dna.decode_str(CODES)", "True"),
    "decode_str wide": (CODES, "wide.decode_str(CODES)", "True"),
    "decode_all": (CODES, "dna.decode_all(CODES)", "True"),
    "kmers": (CODES, "dna.kmers(CODES, 5)", "True"),
    "kmers iterable": ("", "n.kmers(itertools.repeat(1, MANY), 3, 4)", "True"),
    "reverse_complement bytes": (CODES, "dna.reverse_complement(CODES)", "True"),
    "reverse_complement bytearray": (
        CODES + "ARRAY = bytearray(CODES)",
        "dna.reverse_complement(ARRAY)",
        "ARRAY == CODES",
    ),
    "reverse_complement array": (
        CODES + "ARRAY = array.array('B', CODES)",
        "dna.reverse_complement(ARRAY)",
        "ARRAY.tobytes() == CODES",
    ),
    "reverse_complement text": (TEXT, "dna.reverse_complement(TEXT)", "True"),
    "format_codes": (CODES, "n.format_codes(CODES)", "True"),
    "sequence fill": ("", "ab.sequence('int64', itertools.repeat(1, MANY))", "True"),
    "sequence from bytes": (CODES, "ab.sequence('byte', CODES)", "True"),
    "extend": (INTS, "INTS.extend(itertools.repeat(1, MANY))", "len(INTS) == 8 << 20"),
    "list(seq)": (INTS, "list(INTS)", "INTS[-1] == (8 << 20) - 1"),
    "typed buffer": (INTS, "memoryview(INTS)", "True"),
    "bytes of a sequence": (
        "BYTES = ab.sequence('byte', b'GATTACA' * (6 << 20))",
        "BYTES.to_bytes()",
        "len(BYTES) == 42 << 20",
    ),
    "read a huge record": ("", "list(ab.read(HUGE))", "True"),
    "read a huge record with an alphabet": ("", "list(ab.read(HUGE, alphabet=dna))", "True"),
}


@pytest.fixture(scope="module")
def huge_record(tmp_path_factory):
    huge = tmp_path_factory.mktemp("huge") / "huge.fa"
    with open(huge, "wb") as f:
        f.write(b">big\n" + b"ACGT" * (24 << 20) + b"\n")
    return huge


@pytest.mark.parametrize("name", PACKAGE_CASES)
def test_a_bulk_call_without_memory_raises_memory_error(fresh, huge_record, name):
    made, call, holds = PACKAGE_CASES[name]
    code = CAPPED_PRELUDE + PACKAGE_PRELUDE + f"HUGE = {str(huge_record)!r}\n" + made + "\n"
    code += "before = m.NumHandles()\n"
    code += f"print(capped(lambda: {call}))\n"
    code += f"print({holds}, dna.encode_all('GATTACA') == bytes([2, 0, 3, 3, 0, 1, 0]), "
    code += "m.NumHandles() == before)\nprint(other_threads_still_run())\n"
    proc = fresh(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["MemoryError", "True True True", "True"], proc.stdout
    assert proc.stderr == ""
