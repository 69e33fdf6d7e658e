"""Fixtures of the native module's tests."""

import pytest

from alphabet import _native as n


@pytest.fixture(params=n.kernel_paths())
def path(request):
    """Each kernel path this machine runs, in turn; the one before is put back."""
    previous = n.use_kernel_path(request.param)
    yield request.param
    n.use_kernel_path(previous)
