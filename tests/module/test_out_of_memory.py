"""Texts that cannot be copied out for want of memory: MemoryError, nothing
changed, and the interpreter goes on.

Each case runs in a fresh interpreter whose address space is capped just
above what it has mapped (helpers.CAPPED_PRELUDE), on the plain build only.
"""

import textwrap

import pytest

from helpers import CAPPED_PRELUDE, SANITIZED

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="a sanitizer runtime reserves more address space than any cap allows"
)

PRELUDE = (
    CAPPED_PRELUDE
    + """

def strings(values):
    handle = m.Slice_string_CTor()
    for value in values:
        m.Slice_string_append(handle, value)
    return handle
"""
)

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
