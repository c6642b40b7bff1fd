"""The number strategy's fixed-width fast path against its exact Dec path: wherever
the fast path answers it must give the exact path's outcome, to the bit, and it
must answer for ordinary values (else the comparisons below test nothing)."""
import math
import os
import sys
from decimal import Decimal

import pytest
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st

if not os.environ.get("MORVO_PROBE_DIR"):
    pytest.skip("MORVO_PROBE_DIR names the directory of the built probes", allow_module_level=True)
sys.path.insert(0, os.environ["MORVO_PROBE_DIR"])

import number_probe  # noqa: E402

KEYS = st.binary(min_size=32, max_size=32)
KEY = bytes(range(32))

# Integers around the widths the fast path switches on.
EDGES = [2**53, 2**63, 2**64, 2**127, 2**128, 10**18, 10**19, 10**38, 10**60]
INTS = st.one_of(
    st.integers(-10**6, 10**6),
    st.integers(-10**40, 10**40),
    st.sampled_from(EDGES).flatmap(lambda e: st.integers(e - 3, e + 3)).flatmap(
        lambda v: st.sampled_from([v, -v])),
)


@st.composite
def decimal_texts(draw, max_digits=45, exponents=st.integers(-40, 40)):
    """str of a Decimal: digits (with trailing zeros now and then) and an exponent."""
    digits = draw(st.integers(1, 10**draw(st.integers(1, max_digits)) - 1))
    if draw(st.booleans()):
        digits *= 10**draw(st.integers(1, 6))
    exponent = draw(st.one_of(exponents, st.integers(-410, 410)))
    return str(Decimal(f"{'-' if draw(st.booleans()) else ''}{digits}E{exponent}"))


VARIANCES = st.one_of(
    st.none(),
    st.sampled_from(["0", "0.1", "1", "0.5", "2", "-0.3", "1E-7", "1E-60", "1E-70", "1E+30", "0.123456789012345678",
                     "9" * 60, "0." + "9" * 60, "1E-150", "1E+150"]),
    decimal_texts(max_digits=62, exponents=st.integers(-70, 10)),
)


@st.composite
def bounds(draw):
    """min and max: ordinary, inverted, wide, finely divided or far out."""
    pick = st.one_of(st.sampled_from(["0", "-1000", "1000000", "0.001", "-5.5", "1E6", "1E+40", "-1E+40",
                                      "1E-30", "123456789012345678901234567890.123"]),
                     decimal_texts(max_digits=62, exponents=st.integers(-70, 40)))
    return draw(pick), draw(pick)


OPTIONS = st.one_of(
    st.tuples(st.none(), st.none(), VARIANCES),
    st.tuples(bounds(), VARIANCES).map(lambda t: (t[0][0], t[0][1], t[1])),
)
DECIMALS = st.one_of(st.none(), st.integers(0, 12), st.sampled_from([18, 30, 59, 60, 61, 400, 2**32 - 1]))


def check(kind, text, options, decimals, key):
    low, high, variance = options
    fast, exact = number_probe.paths(kind, text, low, high, variance, decimals, key)
    if fast == "deferred":
        return False
    if isinstance(exact, float):
        assert isinstance(fast, float) and math.copysign(1, fast) == math.copysign(1, exact)
        assert fast == exact or (math.isnan(fast) and math.isnan(exact))
    else:
        assert fast == exact and type(fast) is type(exact)
    return True


@settings(max_examples=1500)
@given(INTS, OPTIONS, KEYS)
@example(10**38 - 1, (None, None, None), KEY)
@example(-(10**38 - 1), ("-1E+40", "1E+40", None), KEY)
@example(2**64 - 1, (None, None, "1E-70"), KEY)
@example(7, (None, None, "0"), KEY)  # unchanged, then moved by one
def test_integers_agree(value, options, key):
    check("int", str(value), options, None, key)


FLOATS = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.integers(-10**6, 10**6).map(lambda i: i + 0.25),
    st.sampled_from([2.0**53, 2.0**64, 2.0**127, 2.0**128, 1e18, 1e38, 5e-324, 1.7976931348623157e308, 0.1, 1e-7,
                     123456.78]).flatmap(lambda f: st.sampled_from([f, -f, math.nextafter(f, 0)])),
)


@settings(max_examples=1500)
@given(FLOATS, OPTIONS, DECIMALS, KEYS)
@example(0.25, (None, None, "0"), 2, KEY)
@example(1e300, (None, None, None), None, KEY)
@example(5e-324, ("0", "1E-300", None), None, KEY)
def test_floats_agree(value, options, decimals, key):
    check("float", repr(value), options, decimals, key)


@settings(max_examples=1500)
@given(decimal_texts(), OPTIONS, DECIMALS, KEYS)
@example("1.50", (None, None, "0"), None, KEY)
@example("1.500", (None, None, "0"), 1, KEY)
@example("0.01", (None, None, "0"), None, KEY)  # may move to zero
@example("1.2E+5", ("0", "1E6", None), None, KEY)
def test_decimals_agree(text, options, decimals, key):
    check("decimal", text, options, decimals, key)


def test_the_fast_path_answers_for_ordinary_values():
    options = [(None, None, None), (None, None, "0.25"), (None, None, "0"), ("-1000", "1000000", None),
               ("0", "1000", None)]
    values = [("int", str(v)) for v in [1, -7, 123456789, 10**18 - 1, -(2**64 - 1)]]
    values += [("float", repr(v)) for v in [0.25, -123456.78, 1.25e-300, 2.0**70, 1e-7]]
    values += [("decimal", t) for t in ["0.01", "-123.45", "1.2E+5", "1E-7", "12345678901234567890.12"]]
    for low, high, variance in options:
        for decimals in [None, 2]:
            for kind, text in values:
                if kind == "int" and decimals is not None:
                    continue
                assert check(kind, text, (low, high, variance), decimals, KEY), (kind, text, low, high, variance)


@settings(max_examples=800)
@given(decimal_texts(max_digits=60))
@example("1E-400")
@example("-12345678901234567890123456789.5")  # 29 significant digits: no hash text
@example("100E+2")
@example("1.000")
def test_hash_texts_agree(text):
    parts = Decimal(text).as_tuple()
    assume(len(parts.digits) <= 38 and -400 <= parts.exponent <= 400)
    fast, exact = number_probe.hashTexts(text)
    assert fast == exact


@settings(max_examples=2000)
@given(decimal_texts(max_digits=40, exponents=st.integers(-60, 60)), OPTIONS, st.text(max_size=12), KEYS)
@example("123456789012345678", (None, None, "1E-7"), "a", KEY)  # the factor has 61 digits: cut
@example("-99999999999999999999999999999999999999", (None, None, "0.999999"), "b", KEY)
@example("1", ("-1E-40", "1E+40", None), "c", KEY)
def test_targets_agree(x, options, message, key):
    """The keyed target before any quantize: the 60-digit cut of each step shows here, where
    the quantize to a coarse grid or the conversion to a double would hide a difference."""
    fast, exact = number_probe.targets(x, *options, message, key)
    if fast != "deferred":
        assert Decimal(fast) == Decimal(exact)


def texts(max_digits=75, exponents=st.integers(-200, 200)):
    return st.builds(lambda sign, digits, exponent: f"{sign}{digits}E{exponent}", st.sampled_from(["", "-"]),
                     st.integers(0, 10**max_digits - 1), exponents)


def agree(op, a, b):
    fast, exact = number_probe.wide(op, a, b)
    if fast == "deferred":
        return False
    if op == "add" and (Decimal(a) == 0 or Decimal(b) == 0):
        assert Decimal(fast) == Decimal(exact), (a, b)  # an added zero may leave another exponent
    else:
        assert fast == exact, (a, b)
    return True


@settings(max_examples=1500)
@given(texts(), texts(exponents=st.one_of(st.integers(-200, 200), st.integers(-2**40, 2**40))))
@example("1" + "0" * 58 + "25", "1E0")     # a tie below an even digit
@example("1" + "0" * 58 + "35", "1E0")     # a tie below an odd digit
@example("9" * 61, "1E0")                  # rounds up to 10^61
@example("5" * 40, "2" * 30)
@example("1", "-1E-70")
@example("1" + "0" * 59, "-5E-1")
@example("-1" + "0" * 59, "5E-1")
def test_multiply_and_add_agree_with_dec(a, b):
    agree("multiply", a, b)
    agree("add", a, b)
    agree("add", a, "-" + b if not b.startswith("-") else b[1:])


@settings(max_examples=1500)
@given(texts(), st.one_of(st.integers(-250, 250), st.integers(-2**41, 2**41)),
       st.sampled_from(["halfEven", "ceiling", "floor"]))
@example("25E-1", 0, "halfEven")
@example("35E-1", 0, "halfEven")
@example("-25E-1", 0, "ceiling")
@example("5E-1", 0, "halfEven")
@example("5E-1", 1, "halfEven")
@example("999999999999999999999999999999999999999999999999999999999999" + "5", 1, "halfEven")
@example("1", -60, "halfEven")
@example("1", -59, "halfEven")
def test_quantize_agrees_with_dec(a, target, rounding):
    agree(rounding, a, target)


def test_wide_operations_answer_within_their_width():
    assert agree("multiply", "9" * 60, "9" * 60)
    assert agree("add", "1E-93", "1")
    assert agree("halfEven", "1" * 100 + "E0", 0)
    assert not agree("multiply", "9" * 100, "9" * 100)
