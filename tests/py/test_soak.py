"""The soak (tests/soak/soak.py): a bounded run passes, and its checks catch
the growth they look for."""

import importlib.util
import os
import pathlib
import subprocess
import sys
import tracemalloc

import pytest

SOAK = pathlib.Path(__file__).resolve().parents[1] / "soak" / "soak.py"
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(scope="module")
def soak():
    spec = importlib.util.spec_from_file_location("soak", SOAK)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    tracemalloc.start()
    yield module
    tracemalloc.stop()


TOLERANCES = {"rss": 64 << 20, "traced": 8192, "objects": 8}


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's quarantine holds freed memory, so resident memory grows")
def test_a_quick_soak_finds_no_growth():
    run = subprocess.run([sys.executable, str(SOAK), "--quick"], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]
    assert run.stdout.splitlines()[-1].endswith(" 0 failed")


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
