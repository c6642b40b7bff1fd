"""Column masking: deduplication, the masker cache and the pool change no result."""
import threading

import pytest
from decimal import Decimal as D

import morvo_rs
from conftest import WORDS


def fresh(strategy="key", options=None):
    return morvo_rs.Masker(bytes(range(32)), strategy, options or {})


def one_by_one(strategy, values, options=None):
    # A fresh masker per value: no cache, no batch, no pool.
    return [fresh(strategy, options).maskColumn([v]) for v in values]


MIXED = [None, True, b"x", "abc", 12, "abc", 12, "é" * 3, "x" * 65, "x" * 64, -7, 10**50, "12", 0, "é" * 3, 10**50,
         b"x", "x" * 65, " Ann.Lee@Example.COM ", "bob@site.org", "no-at-sign", "a@b@c.io", "x" * 60 + "@d.io"]


@pytest.mark.parametrize("strategy, options", [
    ("key", {}), ("fpe", {}), ("hash", {}), ("hash", {"length": 64, "prefix": "h_"}), ("email", {}),
    ("email", {"length": 20, "mailDomain": "example.org", "keepDomain": True}), ("digits", {}), ("fakeStreetAddress",
     {**WORDS, "address": "{number} {street} {kind}"}), ("number", {})])
def test_outputs_equal_masking_each_value_alone(strategy, options):
    masker = fresh(strategy, options)
    cold = masker.maskColumn(MIXED)
    warm = masker.maskColumn(MIXED)
    assert cold == warm
    masked, problems = cold
    for position, (alone_masked, alone_problems) in enumerate(one_by_one(strategy, MIXED, options)):
        assert masked[position] == alone_masked[0]
        assert problems.get(position) == alone_problems.get(0)


NUMBERS = [1.5, D("12.34"), 7, -3, 0, 0.0, D("0"), 1e300, 2.0**130, 2.0**60, D("1E+500"), D("1E-390"),
           D("1.000000000000000000000000000000001"), float("nan"), D("NaN"), -2.5, 10**40, 10**37, D("-0.01"),
           3.0, D("120"), 0.1, D("5E+3"), "7", None, True]


@pytest.mark.parametrize("options", [{}, {"decimals": 2, "variance": "0.5"}, {"min": "-5", "max": "5"},
                                     {"variance": "1E-60"}, {"min": "1E-80", "max": "1E+80"}])
def test_number_outputs_equal_masking_each_value_alone(options):
    # Chunks of draws that mix the kinds and the values masked alone.
    values = NUMBERS + [x for i in range(40) for x in (D(i) / 8, i * 0.37, i * 11)] + NUMBERS
    masked, problems = fresh("number", options).maskColumn(values)
    for position, (alone_masked, alone_problems) in enumerate(one_by_one("number", values, options)):
        assert (masked[position], type(masked[position])) == (alone_masked[0], type(alone_masked[0]))
        assert problems.get(position) == alone_problems.get(0)


def test_repeated_values_give_independent_equal_outputs():
    masked, problems = fresh().maskColumn(["ab-12"] * 100000)
    assert problems == {} and len(set(masked)) == 1 and len(masked) == 100000


@pytest.mark.parametrize("strategy", ["key", "hash", "number"])
def test_repeats_share_the_first_occurrences_object(strategy):
    values = ["ab-1", 7, "cd-2", 2.5, "ab-1", 7, 2.5]
    masker = fresh(strategy)
    for _ in range(2):  # cold, then answered from the cache
        masked, problems = masker.maskColumn(values)
        pairs = [(0, 4), (1, 5), (3, 6)]
        assert all(problems.get(repeat) == problems.get(first) for first, repeat in pairs)
        shared = [masked[repeat] is masked[first] for first, repeat in pairs if first not in problems]
        assert shared and all(shared)
    rows, _ = morvo_rs.maskChunk([masker, None], [(v, v) for v in values])
    assert [row[0] for row in rows] == masked and rows[4][0] is rows[0][0]


def test_strs_read_without_a_copy_outlive_their_iterable():
    # Each str is alive only while the generator yields it, and only the call
    # holds it afterwards; non-ASCII strs keep their UTF-8 in the str itself.
    # Short texts are copied, longer ones borrowed.
    def fresh_strs():
        for i in range(3000):
            yield (f"id-{i:05d}", f"long-identifier-{i:05d}", f"ïdentifier-{i:05d}-ø")[i % 3]

    expected = fresh("key").maskColumn(list(fresh_strs()))
    for strategy in ("key", "hash"):
        assert fresh(strategy).maskColumn(fresh_strs()) == fresh(strategy).maskColumn(list(fresh_strs()))
    assert fresh("key").maskColumn(fresh_strs()) == expected
    rows = ([v, v] for v in fresh_strs())  # lists: each row becomes a tuple the call holds
    masked, _ = morvo_rs.maskChunk([fresh("key"), None], rows)
    assert [row[0] for row in masked] == expected[0]


def test_borrowed_strs_are_released():
    import sys
    values = [f"v{i}" for i in range(100)] + ["ø" * 3]
    before = [sys.getrefcount(v) for v in values]
    fresh("hash").maskColumn(values)
    morvo_rs.maskChunk([fresh("hash")], [(v,) for v in values])
    assert [sys.getrefcount(v) for v in values] == before


def test_the_integer_five_and_the_text_five_are_different_values():
    masked, _ = fresh("hash").maskColumn([5, "5"])
    assert masked[0] == masked[1]  # hash masks an integer by its text...
    masked, _ = fresh("key").maskColumn([5, "5"])
    assert isinstance(masked[0], int) and isinstance(masked[1], str)  # ...key keeps the kind


def test_zero_and_negative_zero_are_masked_separately():
    masked, problems = fresh("number").maskColumn([0.0, -0.0, 2.5, 2.5])
    assert problems == {0: "fallback", 1: "fallback"}
    assert masked[2] == masked[3]


@pytest.mark.parametrize("count", [255, 256, 257, 5000])
@pytest.mark.parametrize("threads", [1, 2, 4])
def test_pool_and_batch_size_change_nothing(count, threads):
    values = [f"id-{i:05d}" for i in range(count)] + list(range(count))
    expected = {s: fresh(s).maskColumn(values) for s in ("key", "digits")}
    morvo_rs.setThreads(threads)
    assert {s: fresh(s).maskColumn(values) for s in ("key", "digits")} == expected


def test_the_cache_fills_to_its_bound_and_keeps_answering():
    masker = fresh()
    first = masker.maskColumn(list(range(70000)))
    again = masker.maskColumn(list(range(70000)))
    assert first == again
    assert fresh().maskColumn([69999]) == ([first[0][69999]], {})


def test_concurrent_calls_on_one_masker_while_the_pool_changes():
    masker = fresh("fakeName", WORDS)
    values = [f"person {i}" for i in range(3000)]
    expected = fresh("fakeName", WORDS).maskColumn(values)
    failures = []
    stop = threading.Event()

    def mask():
        for _ in range(5):
            if masker.maskColumn(values) != expected:
                failures.append("mismatch")

    def churn():
        n = 0
        while not stop.is_set():
            morvo_rs.setThreads(1 + n % 3)
            n += 1

    churner = threading.Thread(target=churn)
    churner.start()
    workers = [threading.Thread(target=mask) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    stop.set()
    churner.join()
    assert failures == []
