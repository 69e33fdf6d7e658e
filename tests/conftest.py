"""Fixtures for the tests of every room.

This file belongs to no package, so pytest puts its folder on the path:
the tests import helpers.py, what they share beside fixtures, by name.
"""

import gc
import os
import signal
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

from alphabet import _native

# The property tests draw the same examples on every run, so that a run
# passes or fails on the code alone and CI never turns red by the luck of a
# draw.  New examples are the fuzz stages' work, or a run's with
# HYPOTHESIS_PROFILE=explore.
settings.register_profile("fixed", derandomize=True)
settings.register_profile("explore", derandomize=False)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "fixed"))

# Tests raise SIGINT and expect KeyboardInterrupt: a run started with SIGINT
# ignored (in the background, under nohup) would swallow the signal.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def run_fresh(code, **env):
    """Runs `code` in a new interpreter (fresh registry) and returns it finished.

    Keyword arguments set environment variables; a value of None removes one.
    """
    environ = dict(os.environ)
    for key, value in env.items():
        if value is None:
            environ.pop(key, None)
        else:
            environ[key] = value
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=environ,
        capture_output=True,
        text=True,
        timeout=60,
    )


@pytest.fixture
def fresh():
    return run_fresh


@pytest.fixture(autouse=True)
def no_stray_collections():
    """Keeps the cyclic collector from running inside a test.

    Tests count registry entries with NumHandles; a collection that happened
    to run in the middle of a test would release entries that earlier tests
    left in garbage cycles and upset the count.  Tests that need a collection
    call gc.collect() themselves.
    """
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


@pytest.fixture
def standard():
    """The package's standard alphabets, put back after the test."""
    import alphabet

    saved = alphabet.dna(), alphabet.rna(), alphabet.protein()
    yield saved
    alphabet.set_dna(saved[0])
    alphabet.set_rna(saved[1])
    alphabet.set_protein(saved[2])


@pytest.fixture(params=_native.kernel_paths())
def path(request):
    """Each kernel path this machine runs, in turn; the one before is put back."""
    previous = _native.use_kernel_path(request.param)
    yield request.param
    _native.use_kernel_path(previous)
