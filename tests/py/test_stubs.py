"""The type stubs: they name exactly the module's surface, mypy --strict
accepts them and a typed use of every name, refuses the misuses marked in
typing_usage.py, and stubtest finds them true to the module.

The stubs are taken from the source tree, whichever morvo_rs is imported (an
installed one, or a build directory on PYTHONPATH)."""
import ast
import importlib.util
import inspect
import os
import re
import subprocess
import sys
import tokenize
from pathlib import Path

import pytest

import morvo_rs

HERE = Path(__file__).resolve().parent
STUB = HERE.parents[1] / "bindings" / "python" / "stubs" / "morvo_rs-stubs" / "__init__.pyi"
USAGE = HERE / "typing_usage.py"

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed")


def _is_dunder(name):
    return name.startswith("__") and name.endswith("__")


def _defined_names(body):
    """Names bound by the definitions and assignments of a module or class body."""
    names = set()
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return names


def _stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def test_stub_names_exactly_the_module_surface():
    tree = _stub_tree()
    names = _defined_names(tree.body)
    # Names with one leading underscore are the stub's own helpers (aliases,
    # the options TypedDict, a TypeVar); they must not shadow anything real.
    helpers = {n for n in names if n.startswith("_") and not _is_dunder(n)}
    runtime = {n for n in dir(morvo_rs) if not _is_dunder(n)} | {"__version__"}
    assert names - helpers == runtime
    assert not helpers & set(dir(morvo_rs))

    (masker,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Masker"]
    runtime_methods = {n for n in dir(morvo_rs.Masker) if not n.startswith("_")}
    assert {n for n in _defined_names(masker.body) if not n.startswith("_")} == runtime_methods


def test_stub_parameters_match_the_text_signatures():
    # Every parameter can be passed by keyword, so the names are interface.
    tree = _stub_tree()
    stub_functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    (masker,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Masker"]
    methods = {n.name: n for n in masker.body if isinstance(n, ast.FunctionDef)}
    pairs = [(stub_functions[name], getattr(morvo_rs, name)) for name in stub_functions]
    pairs += [(methods["__new__"], morvo_rs.Masker), (methods["maskColumn"], morvo_rs.Masker.maskColumn)]
    for node, runtime in pairs:
        stub_params = [a.arg for a in node.args.posonlyargs + node.args.args
                       if a.arg not in ("self", "cls")]
        runtime_params = [p for p in inspect.signature(runtime).parameters if p != "self"]
        assert stub_params == runtime_params, node.name


def _rejected_lines():
    with tokenize.open(USAGE) as source:
        return {token.start[0] for token in tokenize.generate_tokens(source.readline)
                if token.type == tokenize.COMMENT and token.string.startswith("# rejected")}


@pytest.fixture(scope="module")
def stub_dir(tmp_path_factory):
    """A directory where mypy finds the source tree's stub as morvo_rs, with a
    configuration that puts it first on mypy's search path."""
    root = tmp_path_factory.mktemp("stubs")
    (root / "path").mkdir()
    (root / "path" / "morvo_rs.pyi").write_bytes(STUB.read_bytes())
    (root / "mypy.ini").write_text(f"[mypy]\nmypy_path = {root / 'path'}\n"
                                   f"cache_dir = {root / 'cache'}\n")
    return root


def _run(args, cwd, pythonpath=None):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([pythonpath] + [p for p in [env.get("PYTHONPATH")] if p])
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=600)


@needs_mypy
def test_mypy_strict_accepts_the_usage_and_refuses_the_marked_lines(stub_dir):
    stub = stub_dir / "path" / "morvo_rs.pyi"
    run = _run(["mypy", "--strict", "--no-site-packages", "--config-file", str(stub_dir / "mypy.ini"),
                str(stub), str(USAGE)], cwd=stub_dir)
    report = run.stdout + run.stderr
    errors = re.findall(r"^(.*?):(\d+): error: ", run.stdout, re.MULTILINE)
    assert run.returncode == 1, report  # 1: type errors found; 2: mypy itself failed
    assert not [line for path, line in errors if Path(path).name != USAGE.name], report
    expected = _rejected_lines()
    assert len(expected) >= 10
    assert {int(line) for path, line in errors} == expected, report


@needs_mypy
def test_stubtest_finds_the_stub_true_to_the_module(stub_dir):
    # Against the very module this test imported.
    run = _run(["mypy.stubtest", "morvo_rs", "--mypy-config-file", str(stub_dir / "mypy.ini")],
               cwd=stub_dir, pythonpath=os.path.dirname(morvo_rs.__file__))
    assert run.returncode == 0, run.stdout + run.stderr


def test_the_typed_usage_runs_against_the_module():
    # What the stubs accept, the module does too, with results of the shapes
    # the stubs give.
    spec = importlib.util.spec_from_file_location("typing_usage", USAGE)
    usage = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(usage)
    usage.use()
