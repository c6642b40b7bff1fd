"""The C++ repr of floats against repr() itself. The Python binding reads an exact
float's text with it, and the number strategy hashes and parses that text, so a
single differing digit or layout would change a masked value."""
import math
import os
import random
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

if not os.environ.get("MORVO_PROBE_DIR"):
    pytest.skip("MORVO_PROBE_DIR names the directory of the built probes", allow_module_level=True)
sys.path.insert(0, os.environ["MORVO_PROBE_DIR"])

import repr_probe  # noqa: E402


def test_every_layout():
    values = [0.0, -0.0, 0.1, 1 / 3, 1e16, 1e15, 9999999999999998.0, 123456789012345.6, 1e-4, 9.999e-5, 1e-5,
              0.0001, 5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308, 1e22, 1e23,
              9007199254740993.0, 2.0**63, 1.5e300, -2.5, 100.0, 1e100, float("inf"), float("-inf"), float("nan")]
    assert repr_probe.reprs(values) == [repr(v) for v in values]


def test_random_bit_patterns():
    # Every exponent and mantissa pattern, subnormals included: 300,000 doubles.
    rng = random.Random(20261209)
    values = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(300_000)]
    values = [v for v in values if not math.isnan(v)]
    ours = repr_probe.reprs(values)
    assert [v for v, text in zip(values, ours) if text != repr(v)] == []


def test_short_decimals_and_their_neighbours():
    # Values typed as short decimals, where the shortest digits are most often
    # ambiguous, and the doubles on either side of them.
    rng = random.Random(7)
    values = []
    for _ in range(50_000):
        v = float(f"{rng.randrange(1, 10**rng.randrange(1, 17))}e{rng.randrange(-330, 300)}")
        values += [v, math.nextafter(v, 0), math.nextafter(v, math.inf)]
    values = [v for v in values if math.isfinite(v)]
    assert [v for v, text in zip(values, repr_probe.reprs(values)) if text != repr(v)] == []


@settings(max_examples=2000)
@given(st.lists(st.floats(allow_nan=False), min_size=1, max_size=20))
def test_generated_floats(values):
    assert repr_probe.reprs(values) == [repr(v) for v in values]


def test_doubles_whose_exact_value_is_short():
    # Whole numbers, halves, quarters and finer binary fractions, whose exact
    # value has few digits, around 15 and 16 digits and 2**53, with their
    # neighbours, which do not.
    rng = random.Random(11)
    values = [2.0**53, 2.0**53 - 1, 10.0**15, 10.0**15 - 1, 10.0**15 + 2, 999999999999999.9, 2.0**-22, 2.0**-23,
              1.5 * 2.0**-22, 3 * 2.0**49, 2.0**50, 0.5, 0.25, 0.125, 1e-7, 2.0**-1074, 123.0, 1000.0]
    for _ in range(20_000):
        places = rng.randrange(0, 26)
        whole = rng.randrange(0, 10**rng.randrange(1, 17))
        v = (whole + rng.randrange(0, 2**places) / 2**places) * rng.choice([1, -1, 2**rng.randrange(0, 20)])
        values += [v, math.nextafter(v, 0), math.nextafter(v, math.inf)]
    values = [v for v in values if math.isfinite(v)]
    assert [v for v, text in zip(values, repr_probe.reprs(values)) if text != repr(v)] == []
