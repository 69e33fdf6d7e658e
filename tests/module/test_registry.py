"""The registry rows: numbering, counts, tracing, docstrings and argument parsing."""

import textwrap

import pytest

import _alphabet as m


def test_numbering_and_counts_in_a_fresh_process(fresh):
    proc = fresh(
        """
        import _alphabet as m
        assert m.NumHandles() == 0
        a, b = m.Slice_int_CTor(), m.Slice_int_CTor()
        assert (a, b) == (1, 2), (a, b)
        assert m.NumHandles() == 2          # entries at count 0 count too
        m.IncRef(a); m.IncRef(a); m.DecRef(a)
        assert m.NumHandles() == 2          # count 1 left: still live
        m.DecRef(a)
        assert m.NumHandles() == 1
        m.IncRef(a); m.DecRef(a)            # a removed handle stays dead
        assert m.NumHandles() == 1
        assert m.Slice_int_CTor() == 3      # never reused
        print("ok")
        """,
        TOVA_HANDLE_TRACE=None,
    )
    assert proc.stdout == "ok\n", proc.stderr
    assert proc.stderr == ""


@pytest.mark.parametrize("handle", [0, -1, -(2**63), 2**63 - 1, 12345])
def test_nil_and_unknown_handles_are_ignored(handle):
    before = m.NumHandles()
    assert m.IncRef(handle) is None
    assert m.DecRef(handle) is None
    assert m.NumHandles() == before


def test_unpaired_decref_reports_and_keeps_the_entry(fresh):
    proc = fresh(
        """
        import _alphabet as m
        h = m.Slice_string_CTor()
        m.DecRef(h)
        assert m.NumHandles() == 1
        m.IncRef(h); m.DecRef(h)
        assert m.NumHandles() == 0
        print("ok")
        """
    )
    assert proc.stdout == "ok\n"
    lines = proc.stderr.splitlines()
    assert len(lines) == 1
    assert lines[0].startswith("tova DecRef ref count -1 for handle: 1, ifc ")


HUGE_OBJECTS = {
    "string sequence": """
        h = m.Slice_string_CTor()
        for _ in range(8):
            m.Slice_string_append(h, huge)
    """,
    "error sequence": """
        h = m.Slice_error_CTor()
        for _ in range(8):
            m.Slice_error_append(h, huge)
    """,
    "alphabet": """
        symbols = m.Slice_string_CTor()
        for i in range(8):
            m.Slice_string_append(symbols, huge + str(i))
        h = m.alphabet_NewAlphabet(symbols)
    """,
}


@pytest.mark.parametrize("make", HUGE_OBJECTS.values(), ids=HUGE_OBJECTS.keys())
def test_unpaired_decref_of_huge_texts_writes_one_bounded_line(fresh, make):
    # Texts of a megabyte each, with line breaks: the line must stay one
    # short line, cut with "...".
    proc = fresh(
        "import _alphabet as m\n"
        'huge = "x\\n" * (1 << 19)\n' + textwrap.dedent(make) + "m.DecRef(h)\nprint(h)\n"
    )
    assert proc.returncode == 0, proc.stderr[:2000]
    handle = int(proc.stdout)
    assert proc.stderr.startswith(f"tova DecRef ref count -1 for handle: {handle}, ifc ")
    assert proc.stderr.count("\n") == 1
    assert proc.stderr.endswith("...\n")
    assert "x\\nx\\n" in proc.stderr
    assert len(proc.stderr) <= 600


TRACE_SCRIPT = """
    import _alphabet as m
    h = m.Slice_string_CTor()
    m.IncRef(h); m.IncRef(h); m.DecRef(h); m.DecRef(h)
    m.IncRef(h)
"""


@pytest.mark.parametrize("value", ["1", "0", "false", " "])
def test_any_non_empty_switch_traces_every_change(fresh, value):
    proc = fresh(TRACE_SCRIPT, TOVA_HANDLE_TRACE=value)
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("tova Registered: []string ")
    assert lines[0].endswith(" 1")
    assert lines[1:] == [
        "tova IncRef: 1: 1",
        "tova IncRef: 1: 2",
        "tova DecRef: 1: 1",
        "tova DecRef: 1",
    ]


@pytest.mark.parametrize("value", [None, ""])
def test_unset_or_empty_switch_traces_nothing(fresh, value):
    proc = fresh(TRACE_SCRIPT, TOVA_HANDLE_TRACE=value)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""


def test_switch_is_read_once_at_load(fresh):
    proc = fresh(
        """
        import os, _alphabet as m
        os.environ["TOVA_HANDLE_TRACE"] = "1"
        m.IncRef(m.Slice_int_CTor())
        """,
        TOVA_HANDLE_TRACE=None,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""


@pytest.mark.parametrize(
    "name, doc",
    [
        ("TovaInit", "TovaInit()\n\n"),
        ("NumHandles", "NumHandles()\n\n"),
        ("IncRef", "IncRef(handle)\n\ntype: handle: int64_t"),
        ("DecRef", "DecRef(handle)\n\ntype: handle: int64_t"),
    ],
)
def test_registry_docstrings(name, doc):
    assert getattr(m, name).__doc__ == doc


def test_module_has_no_docstring():
    assert m.__doc__ is None


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: m.IncRef(), TypeError),
        (lambda: m.IncRef(1, 2), TypeError),
        (lambda: m.IncRef("1"), TypeError),
        (lambda: m.IncRef(1.0), TypeError),
        (lambda: m.IncRef(hdl=1), TypeError),
        (lambda: m.DecRef(2**63), OverflowError),
        (lambda: m.NumHandles(1), TypeError),
        (lambda: m.TovaInit(1), TypeError),
    ],
)
def test_parser_refuses_bad_arguments(call, exc):
    with pytest.raises(exc):
        call()


def test_keyword_and_positional_calls_agree():
    h = m.Slice_int_CTor()
    assert m.IncRef(handle=h) is None
    assert m.IncRef(h) is None
    m.DecRef(handle=h)
    m.DecRef(h)
    assert m.Slice_int_len(h) == 0
    assert m.TovaInit() is None
