"""The module's stubs against its docstrings.

stubtest sees that every function exists, but the module's functions carry
no introspectable signature; their docstrings name the parameters and their
C types, which the stubs must match keyword for keyword.
"""

import ast
import pathlib

import _alphabet as m

STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "_alphabet.pyi"
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
