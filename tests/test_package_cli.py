"""python -m alphabet: output, standard input with FASTA, and errors."""

import io
import subprocess
import sys

import pytest

from alphabet._cli import main


def run(monkeypatch, capsys, *argv, stdin=""):
    monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize(
    "argv, stdin, out",
    [
        (["encode", "dna", "GATTACA"], "", "2 0 3 3 0 1 0\n"),
        (["encode", "RNA", "GAU", "C"], "", "2 0 3\n1\n"),
        (["decode", "dna", "2", "0", "3"], "", "GAT\n"),
        (["decode", "protein", "19"], "", "Y\n"),
        (["symbols", "rna"], "", "A C G U\n"),
        (["encode", "dna"], ">one\nGA TT\nACA\n>two\n\nCG\n>empty\n", "2 0 3 3 0 1 0\n1 2\n\n"),
        (["encode", "dna"], "GAT\nTACA\n", "2 0 3 3 0 1 0\n"),
        (["encode", "dna"], "", ""),
        (["decode", "dna"], "2 0 3\n\n1 1\n", "GAT\n\nCC\n"),
    ],
)
def test_output(monkeypatch, capsys, argv, stdin, out):
    assert run(monkeypatch, capsys, *argv, stdin=stdin) == (0, out, "")


@pytest.mark.parametrize(
    "argv, stdin, message",
    [
        (["encode", "dna", "GAXTACA"], "", "Symbol 'X' not in alphabet at position 2"),
        (
            ["encode", "dna"],
            ">a\nGA\n>b\nGU\n",
            "sequence 2: Symbol 'U' not in alphabet at position 1",
        ),
        (["decode", "dna", "1", "-1"], "", "Code -1 not in alphabet at position 1"),
        (["decode", "dna"], "1\n7\n", "line 2: Code 7 not in alphabet at position 0"),
        (["decode", "dna", "one"], "", "not a code: 'one'"),
        (["encode", "xna", "A"], "", "unknown alphabet 'xna'"),
        (["symbols", "dna", "extra"], "", "unrecognized arguments: extra"),
        (["frobnicate", "dna"], "", "invalid choice"),
        ([], "", "required"),
    ],
)
def test_errors_go_to_standard_error_with_status_1(monkeypatch, capsys, argv, stdin, message):
    status, out, err = run(monkeypatch, capsys, *argv, stdin=stdin)
    assert status == 1 and message in err and err.endswith("\n")
    assert "Traceback" not in err


def test_cleared_standard_alphabet_is_an_error(monkeypatch, capsys):
    import alphabet as ab

    saved = ab.dna()
    ab.set_dna(None)
    try:
        status, _, err = run(monkeypatch, capsys, "symbols", "dna")
    finally:
        ab.set_dna(saved)
    assert status == 1 and "cleared" in err


def test_module_entry_point():
    proc = subprocess.run(
        [sys.executable, "-m", "alphabet", "encode", "protein"],
        input=">p\nMKW\n",
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "10 8 18\n", "")
