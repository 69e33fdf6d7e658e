"""Lets a bare `pytest` in the repository root test this checkout: without a
PYTHONPATH, the module is imported from build/ and the package from python/
with its native module from build/python/, here and in the interpreters
that tests start.  A PYTHONPATH (the
Makefile's, or a sanitizer stage's naming its own build) is left alone."""

import os
import pathlib
import sys

if not os.environ.get("PYTHONPATH"):
    ROOT = pathlib.Path(__file__).resolve().parent
    PATHS = [str(ROOT / "build"), str(ROOT / "build" / "python"), str(ROOT / "python")]
    sys.path[:0] = PATHS
    os.environ["PYTHONPATH"] = os.pathsep.join(PATHS)
