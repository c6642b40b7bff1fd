"""Soak: every strategy, maskChunk, columnKinds and every error path called
over and over, with no growth in resident memory, in Python objects or in
the reference counts of the objects handed to the module.

    python tests/soak/soak.py [--count N] [--quick] [--only NAME...]

Each case runs a warm-up first (caches, pools and allocator arenas fill up),
then its measured calls. After them it requires:

- the resident set (/proc/self/statm) within a tolerance of where it stood
  after the warm-up;
- the memory traced by tracemalloc (Python-level allocations) and the number
  of objects the collector tracks back where they were, within a few blocks;
- every argument object (subkeys, options, columns, rows, maskers) with the
  reference count it had. None, True and False are left out: before 3.12
  their counts move with whatever the interpreter does in between. None's
  count is still required not to move in every block, as a reference taken
  or dropped on each call would move it.

It prints one line per case and a summary, and exits non-zero on any growth.
"""

import argparse
import decimal
import gc
import os
import sys
import time
import tracemalloc

import morvo_rs

D = decimal.Decimal
PAGE = os.sysconf("SC_PAGE_SIZE")
KEY = bytes(range(32))
WORDS = {
    "firstNames": ["Ann", "Bob", "Cy"], "lastNames": ["Smith", "Jones"], "cities": ["Oslo", "Lima"],
    "streets": ["Elm", "Oak"], "streetKinds": ["Road", "Lane"], "companySuffixes": ["Ltd", "Inc"],
    "companyWords": ["Acme", "Globex"], "address": "{number} {street} {kind}",
}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Hook(Exception):
    pass


class Failing:
    """An iterable whose iteration fails after one item."""

    def __iter__(self):
        yield "a"
        raise Hook("iteration")


class BadStr(D):
    def __str__(self):
        raise Hook("str")


class Interrupting(int):
    def bit_length(self):
        raise KeyboardInterrupt


# ---- the cases: (name, call, objects whose reference counts must not move) ----

def masking_cases():
    cases = []
    texts = ["AB-1234", "ab-12x", "0x1F", "", "é", "x" * 300, "Ann@Example.com", " a@b ", "+44 20 7946 0958"]
    ints = [0, 7, -42, 123456, -9876543210, 2**100, -(2**70), 10**300]
    mixed = texts + ints + [None, True, 2.5, D("1.5"), object(), b"bytes"]
    numbers = [0, 7, -42, 2**100, 2.5, -1e-5, 0.0, float("nan"), float("inf"), D("12.50"), D("-0.001"), D("0"),
               D("NaN"), D("1E+3"), D("1E-401"), "12", None, True]
    options = [
        ("key", {}), ("key", {"charset": "hex"}), ("fpe", {}), ("fpe", {"charset": "digits", "strict": True}),
        ("hash", {"length": 8, "prefix": "t-"}), ("email", {"keepDomain": True}),
        ("digits", {"keepLeading": 2}), ("digits", {"keepLeading": 20, "keepTrailing": 20}),
        ("number", {}), ("number", {"decimals": 2}), ("number", {"min": "10", "max": "20"}),
        ("number", {"min": "1.5", "max": "1.7", "variance": "0.5"}),
    ] + [(name, {**WORDS, "maxLength": 6}) for name in
         ("fakeFirstName", "fakeLastName", "fakeName", "fakeCity", "fakeCompany", "fakeStreetAddress")]
    for strategy, opts in options:
        masker = morvo_rs.Masker(KEY, strategy, opts)
        column = list(numbers if strategy == "number" else mixed)
        name = f"maskColumn {strategy} {sorted(opts)}"[:60]
        cases.append((name, lambda m=masker, c=column: m.maskColumn(c), [masker, column]))
        # A fresh masker each time: construction and release.
        cases.append((f"Masker {strategy}"[:60], lambda s=strategy, o=opts: morvo_rs.Masker(KEY, s, o), [opts]))
    return cases


def chunk_cases():
    maskers = [morvo_rs.Masker(KEY, "key", {}), morvo_rs.Masker(KEY, "number", {"decimals": 2}),
               morvo_rs.Masker(KEY, "email", {}), None, morvo_rs.Masker(KEY, "fakeName", WORDS),
               morvo_rs.Masker(KEY, "fpe", {"strict": True})]
    rows = [("AB-%d" % i, D(i) / 4 if i % 3 else 0.5 + i, f"u{i}@x.org", object(), i, 10 ** (i % 9))
            for i in range(40)]
    list_rows = [list(r) for r in rows]
    many = [(i, str(i)) for i in range(2000)]
    pair = [morvo_rs.Masker(KEY, "key", {}), morvo_rs.Masker(KEY, "hash", {})]
    kinds_rows = [(1, "a", None, 2.5), (True, "b", D(1), 2**70), (2**63, None, None, 1.0)]
    return [
        ("maskChunk tuples", lambda: morvo_rs.maskChunk(maskers, rows), [maskers, rows] + maskers),
        ("maskChunk lists", lambda: morvo_rs.maskChunk(maskers, list_rows), [maskers, list_rows]),
        ("maskChunk generator", lambda: morvo_rs.maskChunk(maskers, (r for r in rows)), [maskers]),
        ("maskChunk 2000 rows, pool", lambda: morvo_rs.maskChunk(pair, many), [pair, many]),
        ("maskChunk empty", lambda: morvo_rs.maskChunk(maskers, []), [maskers]),
        ("columnKinds", lambda: morvo_rs.columnKinds(kinds_rows), [kinds_rows]),
        ("columnKinds 2000 rows", lambda: morvo_rs.columnKinds(many), [many]),
        ("columnKinds not a list", lambda: morvo_rs.columnKinds(tuple(kinds_rows)), [kinds_rows]),
        ("columnKinds ragged", lambda: morvo_rs.columnKinds([(1,), ()]), []),
        ("threads", lambda: (morvo_rs.threads(), morvo_rs.availableCores()), []),
    ]


def raises(kind, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind.__name__}")


def error_cases():
    masker = morvo_rs.Masker(KEY, "key", {})
    number = morvo_rs.Masker(KEY, "number", {})
    bad_words = {**WORDS, "cities": "Oslo"}
    bad_item = {**WORDS, "cities": ["Oslo", 3]}
    missing = {k: v for k, v in WORDS.items() if k != "streets"}
    empty = {**WORDS, "cities": []}
    surrogate_column = ["a", "b\udc80"]
    failing = Failing()
    bad_decimal = [BadStr("1")]
    interrupting = [Interrupting(2**100)]
    wide = [("a", 1)]
    pair = [masker, None, None]
    M = morvo_rs.Masker
    cases = [
        ("subkey length", ValueError, lambda: M(KEY[:31], "key", {})),
        ("subkey type", TypeError, lambda: M(bytearray(KEY), "key", {})),
        ("strategy unknown", ValueError, lambda: M(KEY, "Key", {})),
        ("strategy type", TypeError, lambda: M(KEY, 3, {})),
        ("strategy surrogate", UnicodeEncodeError, lambda: M(KEY, "k\udc80", {})),
        ("options type", TypeError, lambda: M(KEY, "key", [])),
        ("arguments missing", TypeError, lambda: M(KEY, "key")),
        ("argument unknown", TypeError, lambda: M(KEY, "key", {}, extra=1)),
        ("charset unknown", ValueError, lambda: M(KEY, "key", {"charset": "base32"})),
        ("flag type", TypeError, lambda: M(KEY, "fpe", {"strict": 1})),
        ("count negative", OverflowError, lambda: M(KEY, "hash", {"length": -1})),
        ("count too large", OverflowError, lambda: M(KEY, "digits", {"keepLeading": 2**64})),
        ("count type", TypeError, lambda: M(KEY, "hash", {"length": "8"})),
        ("text type", TypeError, lambda: M(KEY, "hash", {"prefix": None})),
        ("decimals too large", OverflowError, lambda: M(KEY, "number", {"decimals": 2**32})),
        ("number one bound", ValueError, lambda: M(KEY, "number", {"min": "1"})),
        ("number bad bound", ValueError, lambda: M(KEY, "number", {"min": "abc", "max": "2"})),
        ("number bad variance", ValueError, lambda: M(KEY, "number", {"variance": "NaN"})),
        ("word list missing", ValueError, lambda: M(KEY, "fakeCity", missing)),
        ("word list str", TypeError, lambda: M(KEY, "fakeCity", bad_words)),
        ("word list item", TypeError, lambda: M(KEY, "fakeCity", bad_item)),
        ("word list empty", ValueError, lambda: M(KEY, "fakeCity", empty)),
        ("address format", ValueError, lambda: M(KEY, "fakeStreetAddress", {**WORDS, "address": "{num}"})),
        ("maskColumn not iterable", TypeError, lambda: masker.maskColumn(3)),
        ("maskColumn surrogate", UnicodeEncodeError, lambda: masker.maskColumn(surrogate_column)),
        ("maskColumn iteration", Hook, lambda: masker.maskColumn(failing)),
        ("maskColumn decimal str", Hook, lambda: number.maskColumn(bad_decimal)),
        ("maskColumn interrupt", KeyboardInterrupt, lambda: masker.maskColumn(interrupting)),
        ("maskChunk maskers str", TypeError, lambda: morvo_rs.maskChunk("key", wide)),
        ("maskChunk masker item", TypeError, lambda: morvo_rs.maskChunk([masker, 3], wide)),
        ("maskChunk row width", ValueError, lambda: morvo_rs.maskChunk(pair, wide)),
        ("maskChunk row type", TypeError, lambda: morvo_rs.maskChunk(pair, [3])),
        ("maskChunk rows type", TypeError, lambda: morvo_rs.maskChunk(pair, 3)),
        ("maskChunk iteration", Hook, lambda: morvo_rs.maskChunk([masker], [failing])),
        ("setThreads type", TypeError, lambda: morvo_rs.setThreads("2")),
        ("setThreads negative", OverflowError, lambda: morvo_rs.setThreads(-1)),
    ]
    held = [masker, number, bad_words, bad_item, missing, empty, surrogate_column, failing, bad_decimal,
            interrupting, wide, pair]
    return [(f"error: {name}", lambda k=kind, c=call: raises(k, c), held) for name, kind, call in cases]


# ---- running ----

def measure(call, count):
    for _ in range(count):
        call()


def run_case(name, call, held, count, warmup, tolerances, blocks=3):
    # Shared singletons' counts are not ours to keep still.
    held = [o for o in held if o is not None and o is not True and o is not False]
    measure(call, warmup)
    gc.collect()
    refs = [sys.getrefcount(o) for o in held]
    resident = rss()
    started = time.perf_counter()
    # Python-level growth is taken per block, and the smallest counts: a leak
    # grows in every block, while a cache the interpreter fills once (or a
    # collection that happens to fall inside one block) does not.
    # None's count is taken the same way: it wanders (by hundreds, once, in
    # the first calls of some cases), while a reference taken or dropped once
    # per call moves it by the number of calls in every block.
    traced_growth, object_growth, nones_moved = [], [], []
    for _ in range(blocks):
        objects = len(gc.get_objects())
        traced = tracemalloc.get_traced_memory()[0]
        nones = sys.getrefcount(None)
        measure(call, count // blocks)
        gc.collect()
        traced_growth.append(tracemalloc.get_traced_memory()[0] - traced)
        object_growth.append(len(gc.get_objects()) - objects)
        nones_moved.append(sys.getrefcount(None) - nones)
    elapsed = time.perf_counter() - started
    grown_rss = rss() - resident
    grown_traced = min(traced_growth)
    grown_objects = min(object_growth)
    after = [sys.getrefcount(o) for o in held]  # measured exactly as before
    moved = [a - r for a, r in zip(after, refs)]
    least_none_move = min(nones_moved, key=abs)
    problems = []
    if grown_rss > tolerances["rss"]:
        problems.append(f"resident memory grew by {grown_rss // 1024} KiB")
    if grown_traced > tolerances["traced"]:
        problems.append(f"traced Python memory grew by {traced_growth} bytes")
    if grown_objects > tolerances["objects"]:
        problems.append(f"{object_growth} more objects tracked by the collector")
    if any(moved):
        problems.append(f"reference counts of the arguments moved by {moved}")
    if abs(least_none_move) > count // blocks // 2:
        problems.append(f"the reference count of None moved by {nones_moved} in blocks of {count // blocks} calls")
    line = (f"{name:<62} {count // blocks * blocks:>8} calls {elapsed:7.2f} s  rss {grown_rss // 1024:+6d} KiB  "
            f"traced {grown_traced:+7d} B  objects {grown_objects:+4d}")
    return line, problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100_000, help="measured calls per case (default 100000)")
    parser.add_argument("--quick", action="store_true", help="a bounded run for CI: 300 calls per case")
    parser.add_argument("--only", nargs="*", default=[], help="cases whose name contains one of these")
    parser.add_argument("--threads", type=int, default=2, help="masking threads (default 2)")
    args = parser.parse_args(argv)
    count = 300 if args.quick else args.count
    count = -(-count // 3) * 3  # whole blocks, at least the count asked for
    warmup = max(200, count // 10)
    # A leak of one small object per call would show as count blocks; a few
    # blocks of slack cover caches the interpreter fills on its own.
    tolerances = {"rss": (8 if args.quick else 4) << 20, "traced": 8192, "objects": 8}

    tracemalloc.start()
    morvo_rs.setThreads(args.threads)
    cases = masking_cases() + chunk_cases() + error_cases()
    if args.only:
        cases = [c for c in cases if any(o in c[0] for o in args.only)]
    failed = []
    calls = 0
    started = time.perf_counter()
    start_rss = rss()
    for name, call, held in cases:
        line, problems = run_case(name, call, held, count, warmup, tolerances)
        calls += count + warmup
        if problems:
            # A leak grows again on a second run; a one-off (a collection,
            # another process taking the machine) does not.
            first = "; ".join(problems)
            line, problems = run_case(name, call, held, count, warmup, tolerances)
            calls += count + warmup
            line += f"  (second run; the first: {first})"
        line += "" if not problems else "  FAILED: " + "; ".join(problems)
        print(line, flush=True)
        if problems:
            failed.append(line)
    # The failures again, where the end of a long log shows them.
    for line in failed:
        print(line)
    morvo_rs.setThreads(1)
    print(f"soak: {len(cases)} cases, {calls} calls in {time.perf_counter() - started:.1f} s, "
          f"{count} measured calls each; resident memory {start_rss >> 20} -> {rss() >> 20} MiB; "
          f"{len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
