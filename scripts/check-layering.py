#!/usr/bin/env python3
"""Checks that every C++ file includes only from folders below its own.

    scripts/check-layering.py [FILE...]

Without arguments it checks the C++ files git knows of (*.h, *.cc, *.def).
A file may include from its own folder and from folders of a lower layer;
the interpreter's headers only where the Python boundary is.  Prints one
line per breach and exits 1 if there is any.
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import PurePosixPath

# Folder -> layer; a file may include from its own folder and lower layers.
LAYERS = {
    "alphabet": 0,
    "handles": 0,
    "formats": 0,
    "kernels": 0,
    "sequences": 1,
    "bindings": 2,
    "module": 3,
    "native": 3,
}
# Folders that may include only some of the layers below them: the package's
# native module reaches the library through the flat functions' declarations
# and pure C++ helpers, never the core or the registry directly.  An entry
# with a slash is one file: the keyed hash the native module's tables share
# with the core.
ONLY_FROM = {"native": {"bindings", "sequences", "kernels", "formats", "alphabet/hash.h"}}
# The rooms of the native module, each of one concern, ranked as the layers
# are: a room includes from its own and from lower-ranked rooms; the module
# entry (native/module.cc) from all of them.
NATIVE_ROOMS = {"common": 0, "objects": 1, "codec": 1, "sequences": 2, "io": 2}
# Benchmarks and test harnesses stand outside the library and may use any
# layer.
OUTSIDE = {"bench", "reliability"}
# Folders whose files may include the interpreter's headers.
PYTHON_FOLDERS = {"bindings", "module", "native", "bench"}
PYTHON_HEADERS = re.compile(r"(Python|structmember|frameobject|pythread|marshal)\.h$|^cpython/")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def breaches(path: str, text: str) -> list[str]:
    """The layering breaches of the file at `path` (relative to the root)."""
    folder = PurePosixPath(path).parts[0] if "/" in path else ""
    if folder not in LAYERS and folder not in OUTSIDE:
        return [f"{path}: folder {folder or '.'!r} has no layer; add it to {__file__}"]
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        bracket, header = match.groups()
        where = f"{path}:{number}: includes {header}"
        if PYTHON_HEADERS.search(header):
            if folder not in PYTHON_FOLDERS:
                found.append(
                    f"{where}: the interpreter's headers belong in "
                    f"{', '.join(sorted(PYTHON_FOLDERS))}"
                )
            continue
        target = header.split("/")[0] if "/" in header else None
        if bracket == "<" and target not in LAYERS:
            target = None  # a system or third-party header
        if target is None or folder in OUTSIDE:
            continue
        if target == folder:
            if folder == "native":
                found += room_breaches(path, header, where)
            continue
        if target not in LAYERS:
            found.append(f"{where}: from {target!r}, which is no layer of the library")
        elif LAYERS[target] >= LAYERS[folder]:
            found.append(f"{where}: {target}/ is not below {folder}/")
        elif (
            folder in ONLY_FROM
            and target not in ONLY_FROM[folder]
            and header not in ONLY_FROM[folder]
        ):
            allowed = ", ".join(
                name if "/" in name else f"{name}/" for name in sorted(ONLY_FROM[folder])
            )
            found.append(f"{where}: {folder}/ includes only from {allowed}")
    return found


def room_breaches(path: str, header: str, where: str) -> list[str]:
    """The breaches of one include of the native module from another of its files."""
    parts, target_parts = PurePosixPath(path).parts, PurePosixPath(header).parts
    target = target_parts[1] if len(target_parts) > 2 else None
    if target not in NATIVE_ROOMS:
        return [f"{where}: native/ files live in its rooms ({', '.join(NATIVE_ROOMS)})"]
    if len(parts) == 2:  # the module entry
        return []
    room = parts[1]
    if room not in NATIVE_ROOMS:
        return [f"{path}: native/{room}/ is no room; add it to NATIVE_ROOMS in {__file__}"]
    if room != target and NATIVE_ROOMS[target] >= NATIVE_ROOMS[room]:
        return [f"{where}: native/{target}/ is not below native/{room}/"]
    return []


def main(argv: list[str]) -> int:
    paths = (
        argv
        or subprocess.run(
            ["git", "ls-files", "*.h", "*.cc", "*.def"], capture_output=True, text=True, check=True
        ).stdout.split()
    )
    found = []
    for path in paths:
        with open(path, encoding="utf-8") as f:
            found += breaches(path, f.read())
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
