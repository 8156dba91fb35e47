"""The installed type stubs describe the module well enough for mypy --strict."""

import ast
import inspect
import pathlib
import subprocess
import sys
import types

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "typed_usage.py"
STUB = ROOT / "python" / "_dralm.pyi"


def _stub_methods():
    """(name, [(parameter, default source or None)]) of each method the stub gives
    Database, self left out; properties are not methods."""
    tree = ast.parse(STUB.read_text())
    database = next(node for node in tree.body
                    if isinstance(node, ast.ClassDef) and node.name == "Database")
    methods = []
    for node in database.body:
        if not isinstance(node, ast.FunctionDef) or node.decorator_list:
            continue
        arguments = node.args.args[1:]
        defaults = [None] * (len(arguments) - len(node.args.defaults)) + [
            ast.unparse(default) for default in node.args.defaults]
        keyword_only = [(a.arg, None if d is None else ast.unparse(d))
                        for a, d in zip(node.args.kwonlyargs, node.args.kw_defaults)]
        methods.append((node.name,
                        [(a.arg, d) for a, d in zip(arguments, defaults)] + keyword_only))
    return methods


@pytest.mark.parametrize("name, stub_parameters", _stub_methods(),
                         ids=[name for name, _ in _stub_methods()])
def test_stub_matches_the_runtime_signature(name, stub_parameters):
    """The stub names each method's parameters, in order and with the same defaults, as
    the extension's own text signature; the slots Python fills in (len, in) have no
    text signature of ours and only have to exist."""
    dralm = pytest.importorskip("dralm")
    runtime = dralm.Database if name == "__init__" else getattr(dralm.Database, name, None)
    assert runtime is not None, f"the stub declares Database.{name}, the module has none"
    if isinstance(runtime, types.WrapperDescriptorType):
        return
    parameters = list(inspect.signature(runtime).parameters.values())
    if name != "__init__":
        parameters = parameters[1:]  # self
    assert [(p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
            for p in parameters] == stub_parameters


def test_stub_declares_exactly_the_private_names_of_the_module():
    """The private argument checks and constants the module holds are the ones the stub
    documents, no more and no fewer."""
    _dralm = pytest.importorskip("_dralm")
    tree = ast.parse(STUB.read_text())
    declared = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    declared |= {node.target.id for node in tree.body
                 if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}
    private = {name for name in vars(_dralm) if name.startswith("_") and
               not name.startswith("__")}
    assert private == {name for name in declared if name.startswith("_")}


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


def test_mypy_strict_accepts_the_optional_modules(tmp_path):
    """The framework stores and the Arrow helper type-check against the frameworks'
    own annotations (each checked when its framework is installed)."""
    pytest.importorskip("mypy")
    pytest.importorskip("dralm")
    import importlib.util

    modules = ["dralm._filters", "dralm._arrow"]
    if importlib.util.find_spec("langchain_core") is not None:
        modules.append("dralm.langchain")
    if importlib.util.find_spec("llama_index") is not None:
        modules.append("dralm.llama_index")
    packages = [arg for module in modules for arg in ("-p", module)]
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), *packages],
        capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
