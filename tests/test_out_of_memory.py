"""Texts that cannot be copied out, and bulk results that cannot be made, for
want of memory: MemoryError, nothing changed, and the interpreter goes on.

Each case runs in a fresh interpreter whose address space is capped just
above what it has mapped, so that a 64 MiB text cannot be copied while
everything small still can.  Sanitizer runtimes reserve terabytes of
address space up front, so the cases run on the plain build only.
"""

import os
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    any(runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("asan", "tsan")),
    reason="a sanitizer runtime reserves more address space than any cap allows",
)

PRELUDE = """
import resource
import threading

import _alphabet as m

BIG = "x" * (64 << 20)


def mapped_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def capped(call):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + (16 << 20), hard))
    try:
        return call()
    except MemoryError:
        return "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def strings(values):
    handle = m.Slice_string_CTor()
    for value in values:
        m.Slice_string_append(handle, value)
    return handle


def other_threads_still_run():
    done = []
    thread = threading.Thread(target=lambda: done.append(sum(range(100))))
    thread.start()
    thread.join(timeout=30)
    return done == [4950]
"""

CASES = {
    "Slice_string_elem": """
        h = strings([BIG])
        before = m.NumHandles()
        print(capped(lambda: m.Slice_string_elem(h, 0)))
        print(m.Slice_string_elem(h, 0) == BIG, m.Slice_string_len(h), m.NumHandles() == before)
    """,
    "Slice_error_elem": """
        h = m.Slice_error_CTor()
        m.Slice_error_append(h, BIG)
        before = m.NumHandles()
        print(capped(lambda: m.Slice_error_elem(h, 0)))
        print(m.Slice_error_elem(h, 0) == BIG, m.Slice_error_len(h), m.NumHandles() == before)
    """,
    "alphabet_Alphabet_Decode": """
        alphabet = m.alphabet_NewAlphabet(strings(["A", BIG]))
        before = m.NumHandles()
        print(capped(lambda: m.alphabet_Alphabet_Decode(alphabet, "1")))
        print(m.alphabet_Alphabet_Decode(alphabet, "1") == BIG,
              m.alphabet_Alphabet_Encode(alphabet, BIG), m.NumHandles() == before)
    """,
}


@pytest.mark.parametrize("name", CASES)
def test_a_text_result_without_memory_raises_memory_error(fresh, name):
    proc = fresh(PRELUDE + textwrap.dedent(CASES[name]) + "print(other_threads_still_run())\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["MemoryError", "True 1 True", "True"], proc.stdout


# The package's bulk calls: each result (or what a call gathers on the way)
# is far larger than the room left, and must fail as MemoryError with its
# inputs and the registry as they were.
PACKAGE_PRELUDE = """
import array
import itertools
import os
import tempfile

import alphabet as ab
from alphabet import _native as n

dna = ab.dna()
wide = ab.Alphabet([chr(0x100 + i) for i in range(300)])
TEXT = "GATTACA" * (6 << 20)
TEXT_BYTES = TEXT.encode()
WIDE_TEXT = "\u0100" * (16 << 20)
CODES = dna.encode_all(TEXT)
CODE_ARRAY = bytearray(CODES)
INTS = ab.sequence("int64", range(8 << 20))
BYTES = ab.sequence("byte", CODES)
MANY = 30_000_000  # items of an iterable: gathered into native memory first


def unchanged():
    return (
        len(INTS) == 8 << 20 and INTS[-1] == (8 << 20) - 1 and len(BYTES) == len(CODES)
        and dna.encode_all("GATTACA") == b"\\x02\\x00\\x03\\x03\\x00\\x01\\x00"
    )
"""

PACKAGE_CASES = {
    "encode_all text": "dna.encode_all(TEXT)",
    "encode_all wide": "wide.encode_all(WIDE_TEXT)",
    "encode_all buffer": "dna.encode_all(memoryview(TEXT_BYTES))",
    "encode_all iterable": "dna.encode_all(itertools.repeat('A', MANY))",
    "decode_str": "dna.decode_str(CODES)",
    "decode_str wide": "wide.decode_str(CODES)",
    "decode_all": "dna.decode_all(CODES)",
    "kmers": "dna.kmers(CODES, 5)",
    "kmers iterable": "n.kmers(itertools.repeat(1, MANY), 3, 4)",
    "reverse_complement bytes": "dna.reverse_complement(CODES)",
    "reverse_complement bytearray": "dna.reverse_complement(CODE_ARRAY)",
    "reverse_complement array": "dna.reverse_complement(array.array('B', CODES))",
    "reverse_complement text": "dna.reverse_complement(TEXT)",
    "format_codes": "n.format_codes(CODES)",
    "sequence fill": "ab.sequence('int64', itertools.repeat(1, MANY))",
    "sequence from bytes": "ab.sequence('byte', CODES)",
    "extend": "INTS.extend(itertools.repeat(1, MANY))",
    "list(seq)": "list(INTS)",
    "typed buffer": "memoryview(INTS)",
    "bytes of a sequence": "BYTES.to_bytes()",
    "read a huge record": "list(ab.read(HUGE))",
    "read a huge record with an alphabet": "list(ab.read(HUGE, alphabet=dna))",
}


@pytest.mark.parametrize("name", PACKAGE_CASES)
def test_a_bulk_call_without_memory_raises_memory_error(fresh, tmp_path, name):
    huge = tmp_path / "huge.fa"
    if "huge" in name:
        with open(huge, "wb") as f:
            f.write(b">big\n" + b"ACGT" * (24 << 20) + b"\n")
    code = PRELUDE + PACKAGE_PRELUDE + f"HUGE = {str(huge)!r}\n"
    code += "before = m.NumHandles()\n"
    code += f"print(capped(lambda: {PACKAGE_CASES[name]}))\n"
    code += "print(unchanged(), m.NumHandles() == before)\nprint(other_threads_still_run())\n"
    proc = fresh(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["MemoryError", "True True", "True"], proc.stdout
    assert proc.stderr == ""
