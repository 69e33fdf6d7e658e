"""Every list of the sequence kinds outside the module against the module's."""

import _alphabet as m
import alphabet
import helpers


def module_kinds():
    names = [name for name in vars(m) if name.startswith("Slice_") and name.endswith("_CTor")]
    return [name.removeprefix("Slice_").removesuffix("_CTor") for name in names]


def test_the_tests_and_the_package_list_the_modules_kinds_in_table_order():
    kinds = module_kinds()
    assert len(kinds) == 17 and len(set(kinds)) == 17
    assert list(helpers.KINDS) == kinds
    assert list(alphabet.KINDS) == kinds


def test_the_leak_script_has_samples_of_every_kind():
    assert list(helpers.script("reliability/leaks.py").KINDS) == module_kinds()
