"""Shared set-up of the Python tests.

The tests import the extension `_dralm`. By default that is the installed package;
setting DRALM_BUILD_DIR to a CMake build directory holding the built `_dralm*.so`
tests that build instead (it is put first on sys.path, and on PYTHONPATH for the
helper scripts some tests start as child processes).
"""

import os
import sys

import pytest

_BUILD_DIR = os.environ.get("DRALM_BUILD_DIR")
if _BUILD_DIR:
    _BUILD_DIR = os.path.abspath(_BUILD_DIR)
    sys.path.insert(0, _BUILD_DIR)
    os.environ["PYTHONPATH"] = os.pathsep.join(
        p for p in (_BUILD_DIR, os.environ.get("PYTHONPATH")) if p
    )

# The package first: it loads the OpenBLAS the engine links from wherever pip put it
# (a virtual environment that sees the system's packages may hold it outside the
# engine's own folder).
import dralm  # noqa: E402, F401
import _dralm  # noqa: E402


@pytest.fixture
def db_path(tmp_path):
    """A path inside the test's temporary directory where no database exists yet."""
    return str(tmp_path / "db")


@pytest.fixture
def make_db(tmp_path):
    """Creates databases in fresh directories: make_db(dim=3, metric="l2", ...)."""
    counter = iter(range(1_000_000))

    def make(dim=3, **kwargs):
        return _dralm.Database(str(tmp_path / f"db{next(counter)}"), dim=dim, **kwargs)

    return make
