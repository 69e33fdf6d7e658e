"""alphabet.__version__: the project file's version in a source tree, the
installed distribution's once installed, a marked unknown when neither says."""

import importlib.metadata
import pathlib
import subprocess
import sys
import tomllib

import pytest

import alphabet
from alphabet import _version
from helpers import ROOT

# scripts/wheel-test copies it beside the tests, which then run against the
# installed wheel.
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
IN_TREE = pathlib.Path(alphabet.__file__).resolve().is_relative_to(ROOT)


def test_the_version_is_the_project_files():
    assert PROJECT["name"] == _version.DISTRIBUTION
    assert alphabet.__version__ == PROJECT["version"]


@pytest.mark.skipif(IN_TREE, reason="the package runs from the source tree")
def test_an_installed_package_reports_its_distributions_metadata():
    assert alphabet.__version__ == importlib.metadata.version(_version.DISTRIBUTION)


def test_the_command_line_reports_the_packages_version():
    proc = subprocess.run([sys.executable, "-m", "alphabet", "--version"],
                          capture_output=True, text=True, timeout=60)  # fmt: skip
    in_tree = " (build tree)" if IN_TREE else ""
    assert (proc.returncode, proc.stdout, proc.stderr) == (
        0, f"alphabet {alphabet.__version__}{in_tree}\n", ""
    )  # fmt: skip


def test_the_version_is_looked_up_on_first_use(fresh):
    proc = fresh("""
        import sys
        import alphabet
        assert "alphabet._version" not in sys.modules
        assert "importlib.metadata" not in sys.modules
        first = alphabet.__version__
        assert vars(alphabet)["__version__"] is first is alphabet.__version__
        assert not hasattr(alphabet, "__no_such_attribute__")
    """)
    assert proc.returncode == 0, proc.stderr


OURS = '[project]\nname = "seq-alphabet"\nversion = "9.8.7"\n'
DYNAMIC = '[project]\nname = "seq-alphabet"\ndynamic = ["version"]\n'


@pytest.mark.parametrize(
    "where, text, metadata, expected",
    [
        ("pyproject.toml", OURS, None, "9.8.7"),
        # An installed copy of another version does not describe the tree.
        ("pyproject.toml", OURS, "1.2.3", "9.8.7"),
        ("pyproject.toml", OURS.replace("seq-alphabet", "other"), "1.2.3", "1.2.3"),
        ("pyproject.toml", OURS.replace("seq-alphabet", "other"), None, _version.UNKNOWN),
        ("pyproject.toml", DYNAMIC, "1.2.3", "1.2.3"),
        ("pyproject.toml", "[project\n", "1.2.3", "1.2.3"),
        ("pyproject.toml", "project = 3\n", None, _version.UNKNOWN),
        # One folder up from the package is not the root of a source tree.
        ("python/pyproject.toml", OURS, "1.2.3", "1.2.3"),
        (None, None, "1.2.3", "1.2.3"),
        (None, None, None, _version.UNKNOWN),
    ],
)
def test_where_the_version_comes_from(tmp_path, monkeypatch, where, text, metadata, expected):
    package = tmp_path / "python" / "alphabet"
    package.mkdir(parents=True)
    if where is not None:
        (tmp_path / where).write_text(text)

    def installed(name):
        if name != _version.DISTRIBUTION or metadata is None:
            raise importlib.metadata.PackageNotFoundError(name)
        return metadata

    monkeypatch.setattr(importlib.metadata, "version", installed)
    assert _version.version(package) == expected
