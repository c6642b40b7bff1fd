"""The outcome of every input kind under every strategy."""
import datetime
import decimal

import pytest

import morvo_rs
from conftest import WORDS

D = decimal.Decimal
F, R = morvo_rs.FALLBACK, morvo_rs.REFUSED

STRATEGIES = {
    "key": {},
    "fpe": {},
    "hash": {},
    "email": {},
    "digits": {},
    "fakeName": WORDS,
    "number": {},
}


def outcome(strategy, value):
    masker = morvo_rs.Masker(bytes(range(32)), strategy, STRATEGIES[strategy])
    masked, problems = masker.maskColumn([value])
    if 0 in problems:
        assert masked == [None]
        return problems[0] if problems[0] == F else problems[0][0]
    return type(masked[0]).__name__


# Rows: an input kind; columns: key, fpe, hash, email, digits, fake, number.
GRID = [
    (None, ["NoneType"] * 7),
    (123456, ["int", "int", "str", F, "int", "str", "int"]),
    ("AB-1234", ["str", "str", "str", "str", "str", "str", F]),
    (b"bytes", [F] * 7),
    (datetime.date(2020, 1, 1), [F] * 7),
    (True, [R, R, F, F, R, F, F]),
    (2.5, [F, F, F, F, F, F, "float"]),
    (D("2.50"), [F, F, F, F, F, F, "Decimal"]),
]


@pytest.mark.parametrize("value, expected", GRID)
@pytest.mark.parametrize("column", range(7))
def test_dispatch_grid(value, expected, column):
    strategy = list(STRATEGIES)[column]
    assert outcome(strategy, value) == expected[column]


@pytest.mark.parametrize("strategy, message", [
    ("key", "the key strategy cannot mask a bool"),
    ("fpe", "the fpe strategy cannot mask a bool"),
    ("digits", "the digits strategy needs text or an integer, got bool"),
])
def test_bool_refusal_messages(strategy, message):
    masker = morvo_rs.Masker(bytes(range(32)), strategy, {})
    assert masker.maskColumn([False])[1] == {0: (R, message)}


@pytest.mark.parametrize("strategy", ["hash", "fakeName", "fakeCity"])
def test_integers_mask_like_their_decimal_text(strategy):
    masker = morvo_rs.Masker(bytes(range(32)), strategy, WORDS)
    masked, _ = masker.maskColumn([42, "42", 0, "0", -5, "-5", 10**40, str(10**40)])
    assert masked[0::2] == masked[1::2]
