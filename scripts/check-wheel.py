#!/usr/bin/env python3
"""Checks that a wheel holds what the installed package needs.

    scripts/check-wheel.py WHEEL

Every pattern of REQUIRED must match a file of the wheel, and every module
of python/alphabet/ must be there.  Prints what is missing and exits 1.
"""

from __future__ import annotations

import fnmatch
import pathlib
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

REQUIRED = [
    "_alphabet.cpython-313-*.so",  # the extension module
    "_alphabet-stubs/__init__.pyi",  # its stubs, where type checkers look
    "alphabet/py.typed",  # the package's own annotations count
    "alphabet/_native.cpython-313-*.so",  # the package's native module
    "alphabet/_native.pyi",  # and its stub
]


def missing(names: list[str]) -> list[str]:
    package = [f"alphabet/{path.name}" for path in sorted((ROOT / "python/alphabet").glob("*.py"))]
    wanted = REQUIRED + package
    return [pattern for pattern in wanted if not fnmatch.filter(names, pattern)]


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    with zipfile.ZipFile(argv[0]) as wheel:
        absent = missing(wheel.namelist())
    for pattern in absent:
        print(f"check-wheel: {argv[0]} has no {pattern}", file=sys.stderr)
    return 1 if absent else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
