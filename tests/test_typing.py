"""The installed type stubs describe the module well enough for mypy --strict."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "typed_usage.py"


def test_typed_example_runs():
    pytest.importorskip("dralm")
    pytest.importorskip("numpy")
    done = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_mypy_strict_accepts_the_typed_example(tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("dralm")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), str(EXAMPLE)],
        capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_rejects_a_wrong_argument_type(tmp_path):
    """The stubs are really used: a str where an int belongs is an error."""
    pytest.importorskip("mypy")
    pytest.importorskip("dralm")
    bad = tmp_path / "bad.py"
    bad.write_text("import dralm\ndralm.Database('p', dim='three')\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(bad)],
        capture_output=True, text=True)
    assert done.returncode == 1 and "arg-type" in done.stdout, done.stdout
