"""Typed use of everything morvo_rs exports, for test_stubs.py.

mypy --strict must accept all of it except the lines marked "# rejected",
each of which it must refuse; `use` also runs against the module itself, so
what the stubs accept is known to work.
"""
from __future__ import annotations

import decimal
import json
from typing import TYPE_CHECKING, Literal, assert_type

import morvo_rs
from morvo_rs import FALLBACK, REFUSED, Masker

Problem = Literal["fallback"] | tuple[Literal["refused"], str]
Masked = int | float | str | decimal.Decimal | None

KEY = bytes(range(32))


def from_policy(strategy: str, options_text: str) -> Masker:
    # Options read at run time are typed Any, and are taken as they are.
    return Masker(KEY, strategy, json.loads(options_text))


def build() -> list[Masker]:
    return [
        Masker(KEY, "key", {"charset": "hex"}),
        Masker(KEY, "fpe", {"charset": "digits", "strict": True}),
        Masker(KEY, "hash", {"length": 8, "prefix": "h-"}),
        Masker(KEY, "email", {"length": 10, "mailDomain": "example.org", "keepDomain": True}),
        Masker(subkey=KEY, strategy="digits", options={"keepLeading": 1, "keepTrailing": 0}),
        Masker(KEY, "number", {"decimals": 2, "min": "10", "max": "20", "variance": None}),
        Masker(KEY, "number", {"decimals": None, "variance": "0.05"}),
        Masker(KEY, "fakeStreetAddress", {
            "firstNames": ["Ann"], "lastNames": ("Smith",), "cities": ["Oslo"],
            "streets": ["Elm"], "streetKinds": ["Road"], "companySuffixes": ["Ltd"],
            "companyWords": ["Acme"], "address": "{number} {street} {kind}", "maxLength": 40,
        }),
        from_policy("key", '{"charset": "digits", "note": "ignored"}'),
    ]


def use() -> None:
    assert_type(morvo_rs.__version__, str)
    assert_type(FALLBACK, Literal["fallback"])
    assert_type(REFUSED, Literal["refused"])

    morvo_rs.setThreads(morvo_rs.availableCores())
    assert_type(morvo_rs.threads(), int)

    maskers = build()
    masked, problems = maskers[0].maskColumn(("0x1F", 42, None, True, 2.5))
    assert_type(masked, list[Masked])
    assert_type(problems, dict[int, Problem])
    assert all(value is None or isinstance(value, (int, float, str, decimal.Decimal))
               for value in masked)
    assert sorted(problems) == [3, 4]
    for position, marker in sorted(problems.items()):
        if isinstance(marker, str):
            assert_type(marker, Literal["fallback"])
        else:
            kind, message = marker
            assert_type(kind, Literal["refused"])
            assert_type(message, str)
            assert kind == REFUSED and "bool" in message
        assert masked[position] is None

    rows, chunk_problems = morvo_rs.maskChunk(
        [maskers[2], None, maskers[5]],
        [("a", "carried", decimal.Decimal("12.50")), ["b", "x", 15]],
    )
    assert_type(rows, list[tuple[object, ...]])
    assert [len(row) for row in rows] == [3, 3] and all(type(row) is tuple for row in rows)
    assert isinstance(rows[0][2], decimal.Decimal) and rows[1][1] == "x"
    for column, row, marker in chunk_problems:
        assert_type(column, int)
        assert_type(row, int)
        assert_type(marker, Problem)
    lines: list[list[str]] = [["AB-12", "x"], ["CD-34", "y"]]
    texts, _ = morvo_rs.maskChunk(maskers[:1] + [None], lines)
    assert_type(texts, list[tuple[str | Masked, ...]])
    assert texts[1][1] == "y"

    kinds = morvo_rs.columnKinds(rows)
    if kinds is not None:
        types, fits = kinds
        assert_type(types, list[list[type]])
        assert_type(fits, list[bool])
    assert kinds == ([[str], [str], [decimal.Decimal, int]], [True, True, True])
    morvo_rs.setThreads(1)


if TYPE_CHECKING:
    masker = Masker(KEY, "key", {})
    Masker(KEY, "key", {"charset": "base32"})  # rejected: not a charset
    Masker(KEY, "fpe", {"strict": 1})  # rejected: a flag is a bool
    Masker(KEY, "hash", {"length": None})  # rejected: a count, None is no default here
    Masker(KEY, "number", {"min": 10, "max": 20})  # rejected: bounds are decimal texts
    Masker(KEY, "fakeCity", {"cities": "Oslo"})  # rejected: a str is not a word list
    Masker(KEY, "email", {"keepdomain": True})  # rejected: a misspelt key
    Masker("k" * 32, "key", {})  # rejected: the subkey is bytes
    Masker(KEY, "key")  # rejected: options are required
    masker.maskColumn(42)  # rejected: not iterable
    morvo_rs.maskChunk(["key"], [])  # rejected: maskers are Masker or None
    morvo_rs.setThreads("4")  # rejected: a count
    morvo_rs.threads(1)  # rejected: takes nothing
    morvo_rs.FALLBACK = "other"  # rejected: a constant
    first: str = masker.maskColumn(["a"])[0][0]  # rejected: masked values are not all str
    morvo_rs.InternalError  # rejected: not part of the module
