"""Every Python code block of the README runs, so the guide cannot drift from the code."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_has_python_examples():
    assert BLOCKS, "the README lost its Python examples"


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(index, capsys):
    pytest.importorskip("numpy")
    pytest.importorskip("dralm")
    exec(compile(BLOCKS[index], f"README.md block {index}", "exec"), {"__name__": "readme"})
