"""A small static check of the C-API rules that review can miss.

The bindings touch Python objects only with the GIL held; the one place they
let go is a scope that opens with a GilRelease guard. Nothing in such a
scope may call into CPython, and the core and the engine must not know of
Python.
"""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BINDING = sorted(p for folder in ("python", "arrow") for p in (ROOT / "bindings" / folder / "src").iterdir()
                 if p.suffix in (".cc", ".h"))
GUARD = "py_ref.h"  # where the guard itself is defined
# The layers below the bindings know nothing of Python.
CORE = sorted((ROOT / "core" / "src").glob("*")) + sorted((ROOT / "engine" / "src").glob("*"))
CPYTHON_CALL = re.compile(r"\b(?:_?Py[A-Z]\w*|Py_\w+)\s*\(")


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def released_scopes(text):
    """The bodies of the brace scopes that hold a GilRelease guard."""
    for match in re.finditer(r"\bGilRelease\s+\w+\s*;", text):
        depth, start = 0, match.start()
        while start > 0:
            start -= 1
            if text[start] == "}":
                depth += 1
            elif text[start] == "{":
                if depth == 0:
                    break
                depth -= 1
        depth, end = 0, start
        while end < len(text):
            if text[end] == "{":
                depth += 1
            elif text[end] == "}":
                depth -= 1
                if depth == 0:
                    break
            end += 1
        yield text[start:end + 1]


def test_the_sources_are_where_this_check_looks():
    assert BINDING and CORE
    assert any("GilRelease" in path.read_text() for path in BINDING)


@pytest.mark.parametrize("path", BINDING, ids=lambda p: p.name)
def test_no_cpython_call_while_the_gil_is_released(path):
    for scope in released_scopes(strip_comments(path.read_text())):
        assert not CPYTHON_CALL.findall(scope), f"{path.name}: CPython called without the GIL"


@pytest.mark.parametrize("path", [p for p in BINDING if p.name != GUARD], ids=lambda p: p.name)
def test_the_gil_is_released_only_through_the_guard(path):
    text = strip_comments(path.read_text())
    assert "Py_BEGIN_ALLOW_THREADS" not in text
    assert "PyEval_SaveThread" not in text and "PyEval_RestoreThread" not in text


def test_the_checker_sees_a_call_in_a_released_scope():
    bad = "void f() {\n  {\n    GilRelease release;\n    PyList_New(0);\n  }\n}\n"
    good = "void f() {\n  {\n    GilRelease release;\n    work();\n  }\n  PyList_New(0);\n}\n"
    assert any(CPYTHON_CALL.findall(s) for s in released_scopes(bad))
    assert not any(CPYTHON_CALL.findall(s) for s in released_scopes(good))


@pytest.mark.parametrize("path", CORE, ids=lambda p: f"{p.parent.parent.name}/{p.name}")
def test_the_core_and_the_engine_know_nothing_of_python(path):
    text = strip_comments(path.read_text())
    assert "Python.h" not in text and not CPYTHON_CALL.findall(text)
