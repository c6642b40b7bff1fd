"""Reading Python values into the engine and building them back."""
import decimal
import enum
import os

import pytest

if not os.environ.get("MORVO_PROBE_DIR"):
    pytest.skip("the values probe is built by the C++ test build", allow_module_level=True)

import values_probe  # noqa: E402

D = decimal.Decimal


class Small(int):
    pass


class Colour(enum.IntEnum):
    RED = 7


class Name(str):
    pass


@pytest.mark.parametrize("value", [
    0, 1, -1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**64 - 1, 2**64, -2**64, 2**64 + 1,
    2**127, -2**128, 10**1000, -10**1000, 255, -256, 2**71 - 1, -2**71,
])
def test_integers_round_trip(value):
    kind, sign, limbs, back = values_probe.read(value)
    assert kind == "int"
    assert back == value and type(back) is int
    assert sign == (value > 0) - (value < 0)
    magnitude = sum(limb << (64 * i) for i, limb in enumerate(limbs))
    assert magnitude == abs(value)
    assert not limbs or limbs[-1] != 0


def test_zero_has_no_limbs_and_minus_one_is_an_integer():
    assert values_probe.read(0)[1:3] == (0, [])
    assert values_probe.read(-1)[:3] == ("int", -1, [1])
    assert values_probe.read(-2**63)[:3] == ("int", -1, [2**63])


def test_int_subclasses_are_integers_but_bool_is_not():
    assert values_probe.read(Small(5))[3] == 5
    assert values_probe.read(Colour.RED)[3] == 7
    assert values_probe.read(True) == ("bool",)
    assert values_probe.read(False, D) == ("bool",)


class BadBits(int):
    def bit_length(self):
        raise RuntimeError("no")


class BadBytes(int):
    def to_bytes(self, *args, **kwargs):
        return "not bytes"


class ShortBits(int):
    def bit_length(self):
        return 3


def test_large_ints_whose_methods_misbehave_are_unread():
    assert values_probe.read(BadBits(2**70)) == ("other",)
    assert values_probe.read(BadBytes(2**70)) == ("other",)
    assert values_probe.read(ShortBits(2**70)) == ("other",)
    # The fast path never calls those methods.
    assert values_probe.read(BadBits(5))[3] == 5


def test_texts_are_utf8_and_lone_surrogates_fail():
    assert values_probe.read("héllo") == ("text", "héllo".encode())
    assert values_probe.read(Name("x")) == ("text", b"x")
    with pytest.raises(UnicodeEncodeError):
        values_probe.read("a\udc80b")


def test_floats_and_decimals_only_in_number_columns():
    for value in (2.5, D("1.5"), b"bytes", object(), [1]):
        assert values_probe.read(value) == ("other",)
    assert values_probe.read(0.1, D) == ("float", 0.1, "0.1")
    assert values_probe.read(1e16, D) == ("float", 1e16, "1e+16")
    kind, value, text = values_probe.read(float("nan"), D)
    assert (kind, text) == ("float", "nan") and value != value
    assert values_probe.read(D("1.50"), D) == ("decimal", "1.50")
    assert values_probe.read(D("-0"), D) == ("decimal", "-0")
    assert values_probe.read(D("1E+3"), D) == ("decimal", "1E+3")
    assert values_probe.read(b"x", D) == ("other",)


class BadRepr(float):
    def __repr__(self):
        raise ValueError("no repr")


class BadStr(D):
    def __str__(self):
        raise ValueError("no str")


class NotAType:
    pass


def test_reading_failures_of_number_values_raise():
    with pytest.raises(ValueError, match="no repr"):
        values_probe.read(BadRepr(1.0), D)
    with pytest.raises(ValueError, match="no str"):
        values_probe.read(BadStr("1"), D)


def test_a_failing_isinstance_makes_the_value_unread():
    # isinstance against something that is not a class raises TypeError.
    assert values_probe.read(object(), 42) == ("other",)


def test_building_outputs():
    assert values_probe.build("fallback", None) is None
    assert values_probe.build("refused", "why") is None
    assert values_probe.build("none", None) is None
    assert values_probe.build("text", "é") == "é"
    assert values_probe.build("float", 2.5) == 2.5
    assert values_probe.build("copy", "kept") == "kept"
    built = values_probe.build("decimal", "1234E-2", D)
    assert type(built) is D and built == D("12.34")


def test_decimals_built_one_after_another_each_get_their_own_text():
    texts = [f"{i}.{i:02d}" for i in range(50)]
    assert values_probe.build("decimals", texts, D) == [D(t) for t in texts]
    # A maker that keeps the very argument tuples it was called with: what it
    # kept must not change as the next values are built.
    assert values_probe.build("decimals", texts, values_probe.keep) == texts
    assert values_probe.kept() == [(t,) for t in texts]
    with pytest.raises(ValueError):
        values_probe.build("decimals", ["1", "2"], lambda text: int("x"))


def test_text_outputs_kept_in_place_and_on_the_heap():
    # Around the 39 bytes a result text holds in place, ASCII and not, built
    # and deep-copied.
    for n in (0, 1, 15, 16, 38, 39, 40, 41, 300):
        text = "".join(chr(97 + i % 26) for i in range(n))
        assert values_probe.build("text", text) == text
        assert values_probe.build("copy", text) == text
    for text in ("é" * 19 + "x", "é" * 20, "€" * 13, "€" * 14):  # 39, 40, 39, 42 bytes
        assert values_probe.build("text", text) == text
        assert values_probe.build("copy", text) == text


def test_a_decimal_outside_a_number_column_is_an_internal_error():
    with pytest.raises(BaseException) as error:
        values_probe.build("decimal", "1", None)
    assert not isinstance(error.value, Exception)
    assert str(error.value) == "internal error: entered unreachable code: only a number column returns a Decimal"


def test_a_bad_decimal_text_raises_the_constructors_error():
    with pytest.raises(decimal.InvalidOperation):
        values_probe.build("decimal", "abc", D)
