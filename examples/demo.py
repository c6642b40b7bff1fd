"""Masks an example table end to end and loads it into SQLite.

The table has ids, names, e-mail addresses, phone numbers, amounts as
Decimal, cities and free text that is carried through unmasked. Each column
gets its own masker, with a subkey derived from one master key by HMAC; the
chunk is masked by maskChunk, the positions the module hands back are
finished here in Python, and columnKinds tells how to create the table.

    python examples/demo.py [--rows N] [--master-key HEX] [--threads N]
"""
import argparse
import collections
import decimal
import hashlib
import hmac
import os
import random
import sqlite3
import sys
import time

import morvo_rs

DEMO_MASTER_KEY = bytes.fromhex("6d6f72766f2064656d6f206b657920" + "00" * 17)
OUT_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "out")

FIRST = ["Ada", "Brynja", "Chidi", "Dalia", "Emil", "Farah", "Goran", "Hana", "Ilse", "Jonas",
         "Kiri", "Lars", "Mei", "Noor", "Oskar", "Priya", "Quinn", "Rosa", "Sven", "Tomás"]
LAST = ["Andersen", "Bauer", "Costa", "Dubois", "Eriksen", "Fischer", "García", "Haddad", "Ito",
        "Jensen", "Kowalski", "Lund", "Moreau", "Nakamura", "Olsen", "Petrov", "Quist", "Rossi"]
CITIES = ["Aarhus", "Bergen", "Cork", "Dresden", "Espoo", "Faro", "Graz", "Haarlem", "Ibiza", "Jena"]
STREETS = ["Birch", "Cedar", "Elm", "Harbour", "Mill", "Oak", "Station", "Willow"]
STREET_KINDS = ["Road", "Lane", "Street", "Way"]

COLUMNS = ["id", "name", "email", "phone", "amount", "city", "note"]


def derive_subkey(master, column):
    return hmac.new(master, b"column|" + column.encode(), hashlib.sha256).digest()


def policy(master):
    words = {"firstNames": FIRST, "lastNames": LAST, "cities": CITIES, "streets": STREETS,
             "streetKinds": STREET_KINDS, "companySuffixes": ["AS"], "companyWords": ["Demo"]}
    strategies = {
        "id": ("key", {}),
        "name": ("fakeName", words),
        "email": ("email", {"keepDomain": False}),
        "phone": ("digits", {"keepLeading": 3}),
        "amount": ("number", {"decimals": 2, "variance": "0.2"}),
        "city": ("fakeCity", words),
        "note": None,  # free text: carried through as it is
    }
    return [None if strategies[c] is None else morvo_rs.Masker(derive_subkey(master, c), *strategies[c])
            for c in COLUMNS]


def generate(rows, seed=7):
    rng = random.Random(seed)
    for i in range(rows):
        first, last = rng.choice(FIRST), rng.choice(LAST)
        # A few addresses are not ASCII: the module hands those back to Python.
        local = f"{first}.{last}".lower() if i % 97 else f"{first}.{last}ø".lower()
        yield (
            100000 + i,
            f"{first} {last}",
            f"{local}{i}@mail.example.com",
            f"+47 {rng.randrange(10**7, 10**8)}",
            decimal.Decimal(rng.randrange(100, 10**7)) / 100,
            rng.choice(CITIES),
            f"note {rng.randrange(1000)}",
        )


def finish_in_python(column, value, master):
    """The Python layer's own masking of a value the module did not answer."""
    digest = hmac.new(derive_subkey(master, column), repr(value).encode(), hashlib.sha256).hexdigest()
    return f"py-{digest[:12]}"


def mask_chunk(maskers, chunk, master, problem_kinds):
    rows, problems = morvo_rs.maskChunk(maskers, chunk)
    # Column by column, each column in row order: the refusal a pure Python
    # masking would have raised first is raised first.
    problems.sort(key=lambda p: (p[0], p[1]))
    for column, row, marker in problems:
        if marker == morvo_rs.FALLBACK:
            problem_kinds["fallback"] += 1
        else:
            problem_kinds["refused"] += 1
            raise ValueError(f"column {COLUMNS[column]!r}, row {row}: {marker[1]}")
    patched = [list(r) for r in rows] if problems else rows
    for column, row, _ in problems:
        patched[row][column] = finish_in_python(COLUMNS[column], chunk[row][column], master)
    return [tuple(r) for r in patched]


def sql_type(kinds, fits):
    present = [k for k in kinds if k is not type(None)]
    if present and all(k in (int, bool) for k in present) and fits:
        return "INTEGER"
    if present and all(k is float for k in present):
        return "REAL"
    return "TEXT"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--chunk", type=int, default=50_000)
    parser.add_argument("--master-key", help="64 hexadecimal digits; a fixed demo key by default")
    parser.add_argument("--threads", type=int, default=morvo_rs.availableCores())
    parser.add_argument("--inject-refusal", action="store_true",
                        help="put a bool into the id column to show how a refusal is raised")
    args = parser.parse_args(argv)

    master = bytes.fromhex(args.master_key) if args.master_key else DEMO_MASTER_KEY
    if len(master) != 32:
        parser.error("the master key is 32 bytes (64 hexadecimal digits)")
    morvo_rs.setThreads(args.threads)
    maskers = policy(master)
    table = list(generate(args.rows))
    if args.inject_refusal:
        table[len(table) // 2] = (True,) + table[len(table) // 2][1:]

    os.makedirs(OUT_DIR, exist_ok=True)
    path = os.path.join(OUT_DIR, "demo.sqlite")
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path)
    sqlite3.register_adapter(decimal.Decimal, str)

    problem_kinds = collections.Counter()
    started = time.perf_counter()
    masking_seconds = 0.0
    created = False
    for start in range(0, len(table), args.chunk):
        chunk = table[start:start + args.chunk]
        t0 = time.perf_counter()
        masked = mask_chunk(maskers, chunk, master, problem_kinds)
        masking_seconds += time.perf_counter() - t0
        if not created:
            kinds = morvo_rs.columnKinds(masked)
            if kinds is None:
                raise RuntimeError("the masked chunk is not a list of tuples of one width")
            columns = ", ".join(f'"{name}" {sql_type(k, f)}' for name, k, f in zip(COLUMNS, *kinds))
            db.execute(f"CREATE TABLE people ({columns})")
            created = True
        db.executemany(f"INSERT INTO people VALUES ({', '.join('?' * len(COLUMNS))})", masked)
    db.commit()
    elapsed = time.perf_counter() - started

    print(f"masked {len(table):,} rows of {len(COLUMNS)} columns into {path}")
    print(f"threads {morvo_rs.threads()}, problems: " +
          (", ".join(f"{k} {v:,}" for k, v in sorted(problem_kinds.items())) or "none"))
    print(f"masking {masking_seconds:.2f} s ({len(table) / masking_seconds:,.0f} rows/s), "
          f"with loading {elapsed:.2f} s ({len(table) / elapsed:,.0f} rows/s)")
    print("schema:", db.execute("SELECT sql FROM sqlite_master").fetchone()[0])
    print("first rows:")
    for original, row in zip(table[:3], db.execute("SELECT * FROM people LIMIT 3")):
        print("  ", original[:6], "->", row[:6])
    db.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
