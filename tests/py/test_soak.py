"""The checks of the soak (tests/soak/soak.py, which the test command runs with
--quick) catch the growth they look for, and pass a call that keeps nothing."""

import importlib.util
import pathlib
import tracemalloc

import pytest

SOAK = pathlib.Path(__file__).resolve().parents[1] / "soak" / "soak.py"


@pytest.fixture(scope="module")
def soak():
    spec = importlib.util.spec_from_file_location("soak", SOAK)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    tracemalloc.start()
    yield module
    tracemalloc.stop()


TOLERANCES = {"rss": 64 << 20, "traced": 8192, "objects": 8}


def test_a_leak_of_one_object_per_call_is_caught(soak):
    kept = []
    _, problems = soak.run_case("leak", lambda: kept.append([]), [], 3000, 100, TOLERANCES)
    assert any("traced Python memory" in p for p in problems)
    assert any("objects tracked" in p for p in problems)


def test_a_reference_kept_to_an_argument_is_caught(soak):
    argument, kept = object(), []
    _, problems = soak.run_case("refs", lambda: kept.append(argument), [argument], 300, 10, TOLERANCES)
    assert any("reference counts" in p for p in problems)


def test_a_call_that_keeps_nothing_passes(soak):
    import morvo_rs
    masker = morvo_rs.Masker(bytes(32), "key", {})
    column = ["AB-1234", 42, None, "é"]
    _, problems = soak.run_case("clean", lambda: masker.maskColumn(column), [masker, column], 3000, 300, TOLERANCES)
    assert problems == []
