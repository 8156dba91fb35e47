"""Every Python code block of the README runs, so the guide cannot drift from the code."""

import ast
import importlib.util
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_has_python_examples():
    assert BLOCKS, "the README lost its Python examples"


def _missing_modules(source):
    """The top-level packages the block imports that are not installed (the optional
    extras: LangChain, LlamaIndex, pyarrow, Ray)."""
    names = set()
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            names.add(node.module.split(".")[0])
    return sorted(name for name in names if importlib.util.find_spec(name) is None)


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(index, capsys):
    pytest.importorskip("numpy")
    pytest.importorskip("dralm")
    missing = _missing_modules(BLOCKS[index])
    if missing:
        pytest.skip(f"the block needs {', '.join(missing)}, which is not installed")
    exec(compile(BLOCKS[index], f"README.md block {index}", "exec"), {"__name__": "readme"})
