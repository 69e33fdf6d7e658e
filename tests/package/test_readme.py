"""The README's examples, run: pycon blocks as doctests, console blocks as commands."""

import doctest
import re
import subprocess
import sys

import pytest

import alphabet as ab
from helpers import ROOT

README = ROOT / "README.md"
TEXT = README.read_text()


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", TEXT, re.MULTILINE | re.DOTALL)


def test_python_examples():
    saved = ab.dna(), ab.rna(), ab.protein()
    test = doctest.DocTestParser().get_doctest(
        "".join(blocks("pycon")), {}, "README", str(README), 0
    )
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    try:
        runner.run(test, out=report.append)
    finally:
        ab.set_dna(saved[0])
        ab.set_rna(saved[1])
        ab.set_protein(saved[2])
    assert test.examples and runner.failures == 0, "".join(report)


COMMANDS = [
    (command, "".join(output))
    for block in blocks("console")
    for command, *output in re.findall(r"^\$ (.*\n)((?:(?!\$ ).*\n)*)", block, re.MULTILINE)
]


@pytest.mark.parametrize("command, expected", COMMANDS)
def test_command_line_examples(command, expected):
    command = re.sub(r"\bpython\b", sys.executable, command)
    proc = subprocess.run(["bash", "-c", command], capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, expected, "")


def test_package_demo_runs_and_releases_every_handle():
    demo = README.parent / "examples" / "package_demo.py"
    proc = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stderr == ""
    assert "after release: 0\n" in proc.stdout
    assert proc.stdout.endswith("read1\t2 0 3 3 0 1 0 2 0 3 3 0 1 0\nread2\t0 1 2 3 3 2 1 0\n")
