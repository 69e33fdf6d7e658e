"""The module's stubs against its docstrings.

stubtest sees that every function exists, but the module's functions carry
no introspectable signature; their docstrings name the parameters and their
C types, which the stubs must match keyword for keyword.
"""

import ast
import pathlib
import re
import sys

import pytest

import _alphabet as m
from helpers import ROOT


def find_stub():
    """The stubs of the source tree, else those installed beside the module."""
    in_tree = ROOT / "python" / "_alphabet.pyi"
    installed = [pathlib.Path(p) / "_alphabet-stubs" / "__init__.pyi" for p in sys.path if p]
    found = [path for path in [in_tree, *installed] if path.is_file()]
    if not found:
        pytest.skip("the module's stubs are neither in the tree nor installed")
    return found[0]


STUB = find_stub()
ANNOTATION = {
    "bool": "object", "char *": "str", "PyObject *": "Buffer", "float": "float", "double": "float",
}  # fmt: skip  # every other C type word is an integer type


def stub_functions():
    tree = ast.parse(STUB.read_text())
    return {
        node.name: [(arg.arg, ast.unparse(arg.annotation)) for arg in node.args.args]
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }


def documented(function):
    head, _, types = function.__doc__.partition("\n\n")
    words = dict(line.removeprefix("type: ").split(": ", 1) for line in types.splitlines())
    names = [name for name in head[head.index("(") + 1 : -1].split(", ") if name]
    return [(name, ANNOTATION.get(words[name], "int")) for name in names]


def test_the_stubs_cover_exactly_the_module():
    runtime = {name for name in vars(m) if not name.startswith("__")}
    assert set(stub_functions()) == runtime and len(runtime) == 122


def test_parameters_match_the_docstrings():
    stubs = stub_functions()
    assert stubs == {name: documented(getattr(m, name)) for name in stubs}


def test_the_stubs_have_the_modules_kinds_in_table_order():
    def kinds(names):
        return [match[1] for name in names if (match := re.fullmatch(r"Slice_(\w+)_CTor", name))]

    assert kinds(stub_functions()) == kinds(vars(m)) and len(kinds(vars(m))) == 17
