"""Strategy behaviour as a caller sees it through maskColumn."""
import decimal
import re
import string

import pytest
from hypothesis import given, settings, strategies as st

import morvo_rs
from conftest import WORDS

D = decimal.Decimal
KEY = bytes(range(32))
TOO_LONG = ("the {} strategy masks identifiers of up to 256 characters or digits, and this value is "
            "longer; use hash, redact or null for long values")


def mask(strategy, values, **options):
    return morvo_rs.Masker(KEY, strategy, options).maskColumn(values)


def digit_count(v):
    return len(str(abs(v)))


integers = st.one_of(
    st.integers(min_value=-10**40, max_value=10**40),
    st.integers(min_value=0, max_value=256).map(lambda d: 10**d - 1),
    st.integers(min_value=1, max_value=256).map(lambda d: -(10**(d - 1))),
    st.sampled_from([0, 10**37, 10**38 - 1, 10**38, -10**38, 2**128, 10**255]),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(integers, min_size=1, max_size=20))
@pytest.mark.parametrize("strategy", ["key", "fpe"])
def test_integers_keep_sign_and_digit_count(strategy, values):
    masked, problems = mask(strategy, values)
    assert problems == {}
    for v, m in zip(values, masked):
        assert type(m) is int
        assert digit_count(m) == digit_count(v)
        assert (m < 0) == (v < 0)


@pytest.mark.parametrize("strategy", ["key", "fpe"])
def test_integer_and_text_limits(strategy):
    masked, problems = mask(strategy, [10**255, 10**256, -10**256, "a" * 256, "a" * 257, "é" * 150])
    assert masked[0] is not None and masked[3] is not None
    message = ("refused", TOO_LONG.format(strategy))
    assert problems == {1: message, 2: message, 4: message, 5: "fallback"}


CLASSES = {
    "alphanumeric": [string.digits, string.ascii_lowercase, string.ascii_uppercase],
    "digits": [string.digits],
    "hex": [string.digits, "abcdef", "ABCDEF"],
}


def shape(text, charset):
    out = []
    for c in text:
        for alphabet in CLASSES[charset]:
            if c in alphabet:
                out.append(alphabet)
                break
        else:
            out.append(c)
    return out


ascii_text = st.text(alphabet=st.characters(min_codepoint=0, max_codepoint=127), max_size=60)


@settings(max_examples=300, deadline=None)
@given(st.lists(ascii_text, min_size=1, max_size=10), st.sampled_from(list(CLASSES)))
def test_key_texts_keep_every_class(values, charset):
    masked, problems = mask("key", values, charset=charset)
    assert problems == {}
    for v, m in zip(values, masked):
        assert len(m) == len(v)
        for c, alphabet in zip(m, shape(v, charset)):
            assert c in alphabet if len(alphabet) > 1 else c == alphabet


@settings(max_examples=200, deadline=None)
@given(st.lists(ascii_text, min_size=1, max_size=10), st.sampled_from(list(CLASSES)))
def test_fpe_texts_keep_separators_and_alphabet_positions(values, charset):
    alphabet = "".join(CLASSES[charset])
    masked, problems = mask("fpe", values, charset=charset)
    assert problems == {}
    for v, m in zip(values, masked):
        assert len(m) == len(v)
        for a, b in zip(v, m):
            assert (a in alphabet) == (b in alphabet)
            if a not in alphabet:
                assert a == b


def test_fpe_strict_and_fallback():
    assert mask("fpe", [12345], strict=True)[1] == {0: (
        "refused", "the fpe strategy is strict, and FF1 needs at least 6 digits in a value; this one has fewer")}
    assert mask("fpe", [12345])[0] == mask("key", [12345])[0]
    assert mask("fpe", ["abc"], strict=True)[1][0][1] == (
        "the fpe strategy is strict, and FF1 needs at least 4 alphanumeric characters in a value; "
        "this one has fewer")
    a, b = mask("fpe", ["12-34-56", "12.34.56"], charset="digits")[0]
    assert a[2] == "-" and b[2] == "."


def test_digits_keep_counts_and_the_wrap_around_mend():
    masked, problems = mask("digits", ["12-34-56", "1234", 905, 123456, 0], keepLeading=1, keepTrailing=1)
    assert masked[0][0] == "1" and masked[0][-1] == "6" and masked[0][2] == "-" and masked[0][5] == "-"
    assert problems == {4: "fallback"}  # one digit is covered by the two counts
    assert len(str(masked[2])) == 3 and str(masked[2])[0] == "9" and str(masked[2])[-1] == "5"
    assert mask("digits", ["1234"], keepLeading=2, keepTrailing=2)[1] == {0: "fallback"}
    # Counts whose 64-bit sum wraps still cover the run.
    assert mask("digits", ["1234", 98765], keepLeading=2**64 - 1, keepTrailing=1)[1] == {0: "fallback", 1: "fallback"}


def test_email_local_parts_and_domains():
    masked, problems = mask("email", ["  Ann@Example.COM ", "ann@example.com", "a@b@Keep.Me", "no-at", "é@x"],
                            keepDomain=True)
    assert masked[0].split("@")[0] == masked[1].split("@")[0]
    assert re.fullmatch(r"u[0-9a-f]{12}@Example\.COM", masked[0])
    assert masked[2].endswith("@Keep.Me")
    assert masked[3].endswith("@example.invalid")
    assert problems == {4: "fallback"}


def test_number_kinds_and_behaviours():
    masked, problems = mask("number", [7, 0, 3, 3.0, D("3.00"), D("15.25"), 2.5, "7", True, float("nan")],
                            variance="0")
    assert masked[0] in (6, 8)
    assert masked[1] == 0
    assert type(masked[3]) is float and type(masked[4]) is D
    assert masked[4].as_tuple().exponent == -2
    assert problems == {7: "fallback", 8: "fallback", 9: "fallback"}
    bounded, _ = mask("number", [1, 50, 10**20], min="1.5", max="1.7")
    assert bounded == [1, 1, 1]
    bounded, _ = mask("number", [D("15.25"), 7, 12.5], min="10", max="20")
    assert D(10) <= bounded[0] <= D(20) and bounded[0].as_tuple().exponent == -2
    assert 10 <= bounded[1] <= 20


@pytest.mark.parametrize("options, message", [
    ({"min": "1"}, "number needs both min and max, or neither"),
    ({"max": "abc"}, "number needs both min and max, or neither"),
    ({"min": "abc", "max": "1"}, 'number min is not a finite decimal: "abc"'),
    ({"variance": 'x"y'}, 'number variance is not a finite decimal: "x\\"y"'),
])
def test_number_construction_messages(options, message):
    with pytest.raises(ValueError) as raised:
        morvo_rs.Masker(KEY, "number", options)
    assert str(raised.value) == message


def test_fakes():
    words = {**WORDS, "address": "{number} {street} {kind}", "maxLength": 12}
    masked, _ = mask("fakeStreetAddress", ["a", "b", 42, "42"], **words)
    assert masked[2] == masked[3]
    assert all(len(m) <= 12 for m in masked)
    masked, _ = mask("fakeName", ["Kim"] * 3 + ["Lee"], **WORDS)
    first, last = masked[0].split(" ")
    assert first in WORDS["firstNames"] and last in WORDS["lastNames"]
    with pytest.raises(ValueError, match='^unsupported address format "{num}"$'):
        morvo_rs.Masker(KEY, "fakeCity", {**WORDS, "address": "{num}"})
    with pytest.raises(ValueError, match="^cities is empty$"):
        morvo_rs.Masker(KEY, "fakeCity", {**WORDS, "cities": []})
    morvo_rs.Masker(KEY, "fakeCity", {**WORDS, "streets": []})


def test_different_subkeys_give_unrelated_values():
    values = [f"id-{i}" for i in range(50)]
    a, _ = mask("key", values)
    b, _ = morvo_rs.Masker(bytes(32), "key", {}).maskColumn(values)
    assert sum(x == y for x, y in zip(a, b)) < 5


def test_hash_texts_are_the_prefix_and_the_leading_hex_digits():
    # Every length, with prefixes that carry the text across the size a result
    # holds in place.
    values = ["a", "customer-123456", 42]
    full, _ = mask("hash", values, length=64)
    for prefix in ["", "h_", "x" * 22, "p" * 30]:
        for length in [1, 15, 16, 17, 23, 24, 25, 40, 63, 64, 65, 1000]:
            masked, problems = mask("hash", values, length=length, prefix=prefix)
            assert problems == {}
            assert masked == [prefix + f[:length] for f in full], (prefix, length)
