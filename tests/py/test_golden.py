"""The golden corpus: substitutes recorded once must never change.

Each file under golden/ (written by scripts/golden.py) holds one masker's
subkey, strategy and options, a few thousand inputs, and the outputs and
problems that the module gave for them. Every input is masked again here and
must give exactly the recorded output (same type, same value, same float bits,
same Decimal scale) and exactly the recorded problem.
"""
import decimal
import functools
import gzip
import json
import pathlib
import sys

import pytest

import morvo_rs

# The corpus's own reading of its tagged values, from the script that writes it.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "scripts"))
from golden import decode  # noqa: E402

D = decimal.Decimal
GOLDEN = pathlib.Path(__file__).parent / "golden"
FILES = sorted(GOLDEN.glob("*.json.gz"))
STRATEGIES = {"key", "fpe", "hash", "email", "digits", "number", "fakeFirstName", "fakeLastName", "fakeName",
              "fakeCity", "fakeCompany", "fakeStreetAddress"}
SHOWN = 5


def encode(value):
    """The stored form of a value; exact types only, so 1, 1.0, True and Decimal(1) all differ."""
    t = type(value)
    if value is None:
        return ["n"]
    if t is bool:
        return ["b", value]
    if t is int:
        return ["i", str(value)]
    if t is str:
        return ["s", value]
    if t is float:
        return ["f", value.hex()]
    if t is D:
        return ["d", str(value)]
    if t is bytes:
        return ["y", value.hex()]
    return ["?", f"{t.__qualname__} {value!r}"]


def problem(marker):
    """The stored form of a problem marker: "fallback" or ["refused", message]."""
    return list(marker) if isinstance(marker, tuple) else marker


KINDS = {"n": "None", "b": "bool", "i": "int", "s": "str", "f": "float", "d": "Decimal", "y": "bytes"}


def show(tagged, limit=120):
    if tagged[0] == "?":
        return f"unexpected {tagged[1]}"
    text = repr(decode(tagged))
    if len(text) > limit:
        text = f"{text[:limit]}... ({len(text)} characters in all)"
    return f"{text} ({KINDS[tagged[0]]})"


def show_problem(marker):
    return "no problem" if marker is None else repr(marker)


@functools.lru_cache(maxsize=None)
def load(path):
    record = json.loads(gzip.decompress(path.read_bytes()))
    assert record["format"] == 1, f"{path.name}: unknown corpus format {record['format']!r}"
    record["values"] = [decode(v) for v in record["inputs"]]
    record["problems"] = {position: marker for position, marker in record["problems"]}
    return record


def masker(record):
    return morvo_rs.Masker(bytes.fromhex(record["subkey"]), record["strategy"], record["options"])


def mismatches(record, got_outputs, got_problems):
    """(position, expected output, got output, expected problem, got problem) for every difference."""
    expected_outputs, expected_problems = record["outputs"], record["problems"]
    out = []
    for i, (expected, got) in enumerate(zip(expected_outputs, got_outputs)):
        want, have = expected_problems.get(i), got_problems.get(i)
        if expected != got or want != have:
            out.append((i, expected, got, want, have))
    return out


def report(name, record, found, total):
    options = {k: f"<{len(v)} words>" if isinstance(v, list) else v for k, v in record["options"].items()}
    lines = [f"{name}: {len(found)} of {total} values differ from the corpus "
             f"(strategy {record['strategy']!r}, options {options}); first {min(len(found), SHOWN)}:"]
    for i, expected, got, want, have in found[:SHOWN]:
        parts = []
        if expected != got:
            parts.append(f"expected {show(expected)}, got {show(got)}")
        if want != have:
            parts.append(f"expected {show_problem(want)}, got {show_problem(have)}")
        lines.append(f"  #{i} input {show(record['inputs'][i])}: " + "; ".join(parts))
    return "\n".join(lines)


def test_the_corpus_covers_every_strategy():
    assert {load(path)["strategy"] for path in FILES} == STRATEGIES


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("path", FILES, ids=[p.name[:-len(".json.gz")] for p in FILES])
def test_mask_column_gives_the_recorded_outputs(path, threads):
    record = load(path)
    morvo_rs.setThreads(threads)
    column_masker = masker(record)
    # The second call on the same masker is answered in part from its cache.
    for call in ("first call", "second call"):
        masked, problems = column_masker.maskColumn(record["values"])
        assert len(masked) == len(record["values"])
        got_problems = {position: problem(marker) for position, marker in problems.items()}
        found = mismatches(record, [encode(v) for v in masked], got_problems)
        if found:
            pytest.fail(report(f"{path.name}, {call}", record, found, len(masked)), pytrace=False)
        assert list(problems) == sorted(problems), "problem positions must be in ascending order"


def chunk_files():
    """One file per strategy, so that a chunk mixes every strategy."""
    chosen = {}
    for path in FILES:
        chosen.setdefault(load(path)["strategy"], path)
    return [chosen[s] for s in sorted(chosen)]


def test_mask_chunk_gives_the_recorded_outputs():
    files = chunk_files()
    records = [load(path) for path in files]
    n = min(len(r["values"]) for r in records)
    # The last column is carried through: it holds the row number.
    rows = [tuple(r["values"][i] for r in records) + (i,) for i in range(n)]
    morvo_rs.setThreads(2)
    masked, problems = morvo_rs.maskChunk([masker(r) for r in records] + [None], rows)
    assert len(masked) == n
    assert [row[-1] for row in masked] == list(range(n))
    by_column = [{} for _ in records]
    for column, row, marker in problems:
        by_column[column][row] = problem(marker)
    failures = []
    for j, (path, record) in enumerate(zip(files, records)):
        column = [encode(row[j]) for row in masked]
        found = mismatches({**record, "outputs": record["outputs"][:n]}, column, by_column[j])
        if found:
            failures.append(report(f"maskChunk column {j} ({path.name})", record, found, n))
    if failures:
        pytest.fail("\n".join(failures), pytrace=False)
    assert problems == sorted(problems, key=lambda p: (p[1], p[0]))
