"""The package's version: its source tree's project file, else its distribution's metadata.

The distribution is called `seq-alphabet` (the name `alphabet` belongs to
another project on the package index); the import name is `alphabet`.
"""

from __future__ import annotations

import importlib.metadata
import pathlib
import tomllib

DISTRIBUTION = "seq-alphabet"
# PEP 440 still parses it, and nothing released will ever compare below it.
UNKNOWN = "0+unknown"

_PACKAGE = pathlib.Path(__file__).resolve().parent


def source_tree_version(package: pathlib.Path = _PACKAGE) -> str | None:
    """The version in the project file of the source tree that holds `package`.

    None when `package` is not python/alphabet/ of this project's tree, that
    is when no pyproject.toml two folders up names this distribution.
    """
    try:
        with open(package.parent.parent / "pyproject.toml", "rb") as file:
            project = tomllib.load(file).get("project")
    except (OSError, tomllib.TOMLDecodeError):
        return None
    if not isinstance(project, dict) or project.get("name") != DISTRIBUTION:
        return None
    version = project.get("version")
    return version if isinstance(version, str) else None


def version(package: pathlib.Path = _PACKAGE) -> str:
    """The version of the package in folder `package`.

    The source tree comes first: a package imported from it (a build tree on
    PYTHONPATH) has no metadata of its own, and an installed copy of the
    distribution in the same environment may be another version.  An
    installed package has no project file two folders up, and its metadata
    is the version it was built as.
    """
    found = source_tree_version(package)
    if found is not None:
        return found
    try:
        return importlib.metadata.version(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        return UNKNOWN
