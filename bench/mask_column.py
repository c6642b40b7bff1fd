"""End-to-end benchmark of Masker.maskColumn, one strategy column at a time.

    python bench/mask_column.py [--count N] [--repeat R] [name ...]

Each measurement builds a fresh masker (an empty cache) and masks N distinct
values with 1 thread and with setThreads(2); the figures are the best of R
runs, in seconds and nanoseconds per value. "hash" also times a plain Python
loop computing the same hash with hmac, and checks that both agree.
"""
import argparse
import decimal
import hashlib
import hmac
import random
import string
import time

import morvo_rs

KEY = bytes(range(32))
D = decimal.Decimal


def words(n, seed):
    rng = random.Random(seed)
    return ["".join(rng.choice(string.ascii_letters) for _ in range(rng.randrange(4, 10))) for _ in range(n)]


def fake_lists():
    return {"firstNames": words(5000, 1), "lastNames": words(5000, 2), "cities": words(5000, 3),
            "streets": words(5000, 4), "streetKinds": words(5000, 5), "companySuffixes": words(5000, 6),
            "companyWords": words(5000, 7), "address": "{number} {street} {kind}"}


def columns(count):
    rng = random.Random(11)
    alnum = string.ascii_letters + string.digits
    return {
        "hash": ("hash", {}, [f"customer-{i}" for i in range(count)]),
        "email": ("email", {}, [f"user.{i}@Example.com" for i in range(count)]),
        "digits": ("digits", {}, [f"+44 20 {i:08d}" for i in range(count)]),
        "key-int9": ("key", {}, rng.sample(range(10**8, 10**9), count)),
        "key-code10": ("key", {}, list({"".join(rng.choice(alnum) for _ in range(10)) for _ in range(count)})),
        "fpe-int10": ("fpe", {}, rng.sample(range(10**9, 10**10), count)),
        "number-int": ("number", {}, list(range(1, count + 1))),
        "number-int-bounded": ("number", {"min": "0", "max": "1000000"}, list(range(1, count + 1))),
        "number-float": ("number", {}, [i + 0.25 for i in range(count)]),
        "number-float-bounded": ("number", {"min": "0", "max": "1000", "decimals": 2},
                                 [i + 0.25 for i in range(count)]),
        "number-decimal": ("number", {}, [D(i) / 100 for i in range(1, count + 1)]),
        "number-decimal-bounded": ("number", {"min": "0", "max": "1000"}, [D(i) / 100 for i in range(1, count + 1)]),
        "fakeName": ("fakeName", fake_lists(), [f"person {i}" for i in range(count)]),
        "fakeStreetAddress": ("fakeStreetAddress", fake_lists(), [f"address {i}" for i in range(count)]),
    }


def best(function, repeat):
    """Best and worst of `repeat` calls, each timed until it returns: its result
    is freed after the clock stops, as freeing a million results is the
    caller's work, whenever it drops them."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
        del result
    return min(times), max(times)


def python_hash(values):
    out = []
    for v in values:
        out.append(hmac.new(KEY, b"\x00" + v.encode(), hashlib.sha256).hexdigest()[:16])
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    table = columns(args.count)
    names = args.names or list(table)
    print(f"{'column':<24}{'threads':>8}{'best s':>9}{'worst s':>9}{'ns/value':>10}{'speed-up':>10}")
    for name in names:
        strategy, options, values = table[name]
        one = None
        for threads in (1, 2):
            morvo_rs.setThreads(threads)
            low, high = best(lambda: morvo_rs.Masker(KEY, strategy, options).maskColumn(values), args.repeat)
            one = one or low
            print(f"{name:<24}{threads:>8}{low:>9.3f}{high:>9.3f}{low / len(values) * 1e9:>10.0f}{one / low:>10.2f}")
        if name == "hash":
            morvo_rs.setThreads(1)
            masked, _ = morvo_rs.Masker(KEY, "hash", {}).maskColumn(values)
            assert masked == python_hash(values), "the module and the hmac loop disagree"
            low, high = best(lambda: python_hash(values), args.repeat)
            print(f"{'hash (Python hmac loop)':<24}{1:>8}{low:>9.3f}{high:>9.3f}{low / len(values) * 1e9:>10.0f}"
                  f"{one / low:>10.2f}")
    morvo_rs.setThreads(1)


if __name__ == "__main__":
    main()
