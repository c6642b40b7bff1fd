"""Dec arithmetic against Python's decimal module at 60 digits, half even. The sign
of a zero and a result's exponent are the module's own, so values are compared."""
import os
import sys
from decimal import MAX_EMAX, MIN_EMIN, ROUND_CEILING, ROUND_FLOOR, ROUND_HALF_EVEN, Context, Decimal, InvalidOperation

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

if not os.environ.get("MORVO_PROBE_DIR"):
    pytest.skip("MORVO_PROBE_DIR names the directory of the built probes", allow_module_level=True)
sys.path.insert(0, os.environ["MORVO_PROBE_DIR"])

import dec_probe  # noqa: E402

CTX = Context(prec=60, rounding=ROUND_HALF_EVEN, Emax=MAX_EMAX, Emin=MIN_EMIN, traps=[InvalidOperation])
ROUNDINGS = {"halfEven": ROUND_HALF_EVEN, "ceiling": ROUND_CEILING, "floor": ROUND_FLOOR}
# Far-apart exponents, still inside what decimal can represent.
WIDE = st.one_of(st.integers(-250, 250), st.integers(-10**17, 10**17))


@st.composite
def texts(draw, max_digits=80, exponents=st.integers(-250, 250)):
    """Sign, digits with leading and trailing zeros, an optional point, an exponent."""
    digits = draw(st.text("0123456789", min_size=1, max_size=max_digits)) + "0" * draw(st.integers(0, 8))
    point = draw(st.integers(0, len(digits)))
    mantissa = digits[:point] + "." + digits[point:] if draw(st.booleans()) else digits
    return f"{draw(st.sampled_from(['', '-', '+']))}{mantissa}{draw(st.sampled_from('Ee'))}{draw(exponents):+d}"


def value(text):
    assert text is not None
    return Decimal(text)


@settings(max_examples=600)
@given(texts(), texts(exponents=WIDE))
@example("1", "-1E-70")
@example("1E+100000000000000000", "1E-100000000000000000")
@example("5", "-5")
def test_add_and_subtract_are_the_exact_results_rounded_to_60_digits(a, b):
    assert value(dec_probe.add(a, b)) == CTX.add(Decimal(a), Decimal(b))
    assert value(dec_probe.subtract(a, b)) == CTX.subtract(Decimal(a), Decimal(b))


@settings(max_examples=400)
@given(texts(), texts())
@example("9" * 40, "9" * 40)
def test_multiply_is_the_exact_product_rounded_to_60_digits(a, b):
    assert value(dec_probe.multiply(a, b)) == CTX.multiply(Decimal(a), Decimal(b))


@settings(max_examples=400)
@given(texts(max_digits=130))
@example("1" + "0" * 58 + "25")
@example("1" + "0" * 58 + "35")
@example("9" * 61)
def test_rounded_cuts_to_60_digits_half_even(a):
    ours = value(dec_probe.rounded(a))
    assert ours == CTX.plus(Decimal(a))
    assert len(ours.as_tuple().digits) <= 60


@settings(max_examples=600)
@given(texts(max_digits=70), st.integers(-300, 300), st.sampled_from(sorted(ROUNDINGS)))
@example("2.5", 0, "halfEven")
@example("-2.1", 0, "floor")
@example("1E60", 0, "halfEven")
@example("9" * 60 + ".5", 0, "halfEven")
def test_quantize_matches_decimal_and_refuses_past_60_digits(a, target, rounding):
    try:
        theirs = Decimal(a).quantize(Decimal(1).scaleb(target), rounding=ROUNDINGS[rounding], context=CTX)
    except InvalidOperation:
        theirs = None
    ours = dec_probe.quantize(a, target, rounding)
    assert (ours is None) == (theirs is None)
    if theirs is not None:
        assert Decimal(ours) == theirs and Decimal(ours).as_tuple().exponent == target


@settings(max_examples=300)
@given(texts(exponents=WIDE), texts(exponents=WIDE))
def test_parse_keeps_the_exact_value_and_compare_orders_it(a, b):
    assert Decimal(dec_probe.toText(a)) == Decimal(a)
    assert dec_probe.compare(a, b) == (Decimal(a) > Decimal(b)) - (Decimal(a) < Decimal(b))


def test_texts_are_coefficient_letter_exponent_and_none_when_they_do_not_parse():
    assert [dec_probe.toText("-12.34"), dec_probe.add("1.5", "2E-3"), dec_probe.quantize("2.5", 0, "halfEven")] == [
        "-1234E-2", "1502E-3", "2E0"]
    for text in ["", "1 ", "NaN", "Infinity", "\u0661", "1.5e-9223372036854775808"]:
        assert dec_probe.toText(text) is None and dec_probe.add(text, "1") is None, text
        assert dec_probe.compare("1", text) is None and dec_probe.quantize(text, 0, "floor") is None, text
