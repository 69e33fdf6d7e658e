"""Every list of the sequence kinds outside the module against the module's."""

import types

import pytest

import _alphabet as m
import alphabet
import helpers

RELIABILITY = helpers.ROOT / "reliability"


def module_kinds():
    names = [name for name in vars(m) if name.startswith("Slice_") and name.endswith("_CTor")]
    return [name.removeprefix("Slice_").removesuffix("_CTor") for name in names]


def reliability_script(name):
    path = RELIABILITY / f"{name}.py"
    if not path.exists():
        pytest.skip("needs the source tree's reliability/")
    script = types.ModuleType(f"reliability_{name}")
    script.__file__ = str(path)
    exec(compile(path.read_text(encoding="utf-8"), path, "exec"), vars(script))
    return script


def test_the_tests_and_the_package_list_the_modules_kinds_in_table_order():
    kinds = module_kinds()
    assert len(kinds) == 17 and len(set(kinds)) == 17
    assert list(helpers.KINDS) == kinds
    assert list(alphabet.KINDS) == kinds


def test_the_leak_script_has_samples_of_every_kind():
    assert list(reliability_script("leaks").KINDS) == module_kinds()
