"""Writes the golden corpus: today's masked outputs, frozen.

For every strategy and a spread of option sets this script builds a few
thousand deterministic inputs (seeded PRNG, nothing taken from the clock or the
environment), masks them with the installed module through maskColumn, and
stores inputs, outputs and problems as gzip-compressed JSON files under
tests/py/golden/. tests/py/test_golden.py re-masks the inputs and demands
exactly the same outputs, so no later change can silently alter a substitute.
The inputs are stored with the outputs: the test never regenerates them, so it
does not depend on this script or on Python's random module staying the same.

Every value is stored with its type tag, so that equality is exact:

    ["n"]                 None
    ["b", true]           bool
    ["i", "-123"]         int, as decimal text
    ["s", "text"]         str
    ["f", "0x1.8p+1"]     float, as float.hex() ("nan", "inf", "-0x0.0p+0")
    ["d", "1.50"]         decimal.Decimal, as str() (scale, sign, NaN kept)
    ["y", "00ff"]         bytes, as hex (a type the module does not read)

A problem is "fallback" or ["refused", message].

Usage (from the repository root):

    python scripts/golden.py            # write the corpus; refuse to change an existing one
    python scripts/golden.py --update   # rewrite files whose outputs changed (deliberate changes only)

Regenerating is only right when a change of outputs is intended: the script
therefore refuses to overwrite a file whose content would change, unless given
--update.
"""
import argparse
import decimal
import gzip
import hashlib
import json
import math
import pathlib
import random
import struct
import sys

import morvo_rs

D = decimal.Decimal
FORMAT = 1
ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "tests" / "py" / "golden"


# --- tagged values ---------------------------------------------------------

def encode(value):
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
    raise TypeError(f"no tag for {t.__name__}: {value!r}")


def decode(tagged):
    tag = tagged[0]
    if tag == "n":
        return None
    if tag == "b":
        return tagged[1]
    if tag == "i":
        return int(tagged[1])
    if tag == "s":
        return tagged[1]
    if tag == "f":
        return float.fromhex(tagged[1])
    if tag == "d":
        return D(tagged[1])
    if tag == "y":
        return bytes.fromhex(tagged[1])
    raise ValueError(f"unknown tag {tag!r}")


def encode_problem(marker):
    if marker == morvo_rs.FALLBACK:
        return "fallback"
    if isinstance(marker, tuple) and len(marker) == 2 and marker[0] == morvo_rs.REFUSED:
        return ["refused", marker[1]]
    raise ValueError(f"unexpected problem marker {marker!r}")


# --- inputs ------------------------------------------------------------------

LOWER = "abcdefghijklmnopqrstuvwxyz"
UPPER = LOWER.upper()
DIGITS = "0123456789"
PUNCT = "-_./:#+ ()@,;'\"\\!?*&%$=<>[]{}|~`^"
CONTROLS = "\t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x00\x07\x7f"
UNICODE = ["é", "ß", "Ü", "ñ", "ø", "Ж", "д", "中", "文", "日", "한", "ع", "😀", "🚀", "\u200b", "e\u0301",
           "\u00a0", "\u2028", "٣", "１", "Ⅻ", "\U0001d7d9"]
DOMAINS = ["example.com", "Example.COM", "mail.example.org", "x.io", "sub.domain.co.uk", "localhost", "",
           "EXAMPLE.net", "b", "xn--bcher-kva.example"]
LOCALS = ["ann", "Ann.Smith", "bob+tag", "c.d.e", "x", "", "first_last", "O'Brien", "user123", "ALLCAPS",
          "with space", "quoted\"q", "tab\tin", "ünï", "a" * 70]


def rng_for(name):
    return random.Random(int.from_bytes(hashlib.sha256(name.encode()).digest()[:8], "big"))


def random_text(rng, alphabet, lo, hi):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi)))


def code_text(rng):
    """Identifier-like ASCII: groups of one class joined by separators."""
    groups = []
    for _ in range(rng.randint(1, 5)):
        alphabet = rng.choice([DIGITS, LOWER, UPPER, DIGITS + UPPER, "abcdef" + DIGITS, "ABCDEF" + DIGITS,
                               LOWER + UPPER + DIGITS])
        groups.append(random_text(rng, alphabet, 1, 8))
    sep = rng.choice(["-", "", "_", ".", " ", "/", ":", "#"])
    prefix = rng.choice(["", "", "", "0x", "ORD-", "#", "id:"])
    return prefix + sep.join(groups)


def phone_text(rng):
    def d(n):
        return "".join(rng.choice(DIGITS) for _ in range(n))
    return rng.choice([
        lambda: f"+44 20 {d(4)} {d(4)}",
        lambda: f"({d(3)}) {d(3)}-{d(4)}",
        lambda: f"{d(3)}-{d(2)}-{d(4)}",
        lambda: f"+1-{d(3)}-{d(3)}-{d(4)}",
        lambda: f"0{d(9)}",
        lambda: f"{d(2)}.{d(2)}.{d(2)}.{d(2)}.{d(2)}",
        lambda: f"{d(4)}-{d(2)}-{d(2)}",
        lambda: f"DE{d(2)} {d(4)} {d(4)} {d(4)} {d(4)} {d(2)}",
        lambda: d(rng.randint(1, 40)),
        lambda: "0" * rng.randint(1, 6) + d(rng.randint(0, 6)),
        lambda: f"{rng.choice('-+')}{d(rng.randint(1, 12))}",
        lambda: f"{d(rng.randint(1, 6))}.{d(rng.randint(1, 6))}",
    ])()


def email_text(rng):
    local = rng.choice(LOCALS + [random_text(rng, LOWER + DIGITS + "._+-", 1, 20)])
    domain = rng.choice(DOMAINS + [random_text(rng, LOWER, 1, 10) + "." + rng.choice(["com", "ORG", "de"])])
    if rng.random() < 0.3:
        local = "".join(c.upper() if rng.random() < 0.5 else c for c in local)
    text = rng.choice([
        f"{local}@{domain}",
        f"{local}@{domain}",
        f"{local}@{domain}",
        f"{local}@other@{domain}",
        f"{local}@",
        f"@{domain}",
        f"{local}",
        f"{local}@{domain}@",
        f"{local}＠{domain}",
    ])
    if rng.random() < 0.2:
        ws = "".join(rng.choice(" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f") for _ in range(rng.randint(1, 3)))
        text = rng.choice([ws + text, text + ws, ws + text + ws])
    return text


def unicode_text(rng):
    parts = []
    for _ in range(rng.randint(1, 8)):
        parts.append(rng.choice(UNICODE) if rng.random() < 0.5 else random_text(rng, LOWER + DIGITS + "-@", 1, 4))
    return "".join(parts)


def long_text(rng):
    n = rng.choice([255, 256, 256, 257, 257, 258, 300, 511, 1000, 4100])
    kind = rng.random()
    if kind < 0.4:
        return random_text(rng, LOWER + UPPER + DIGITS + "-", n, n)
    if kind < 0.6:
        return random_text(rng, DIGITS, n, n)
    if kind < 0.8:
        unit = random_text(rng, LOWER + DIGITS, 3, 9) + "-"
        return (unit * (n // len(unit) + 1))[:n]
    text = random_text(rng, LOWER + DIGITS, n - 1, n - 1)
    at = rng.randrange(len(text) + 1)
    return text[:at] + rng.choice(UNICODE) + text[at:]


FIXED_TEXTS = [
    "", " ", "  ", "\t", "\n", "\x1c\x1d\x1e\x1f", " \t\n\r\x0b\x0c", "\x00", "a\x00b", "--", "-", "@", "@@",
    "a", "Z", "0", "9", "00", "42", "-42", "-7", "+7", "3.14", "1e5", "0x1F", "0xff", "0xFF", "ag", "AG",
    "ab-12", "AB-12", "Ab-12", "AB-1234", "12-34-56", "12.34.56", "12-34", "123456", "12345", "abcd", "abc",
    "ABCDE", "abcde", "0x1F2E3D", "ÿ", "é", "é" * 150, "é" * 300, "a" * 256, "a" * 257, "1" * 256, "1" * 257,
    "Ann@Example.com", "  Ann@Example.COM ", "ann@example.com", "a@b@Keep.Me", "no-at", "é@x", "x@", "@x",
    "user@", "\x1cAnn@Example.com\x1f", "Kim", "Lee", "Smith", "O'Brien", "São Paulo", "株式会社",
    "𝟙𝟚𝟛", "１２３", "٣٤٥", "g-h-i-j", "ghij", "GHIJ", "0000", "000000", "0000000000", "9" * 38, "9" * 39,
    "4111 1111 1111 1111", "+44 20 7946 0958", "(555) 123-4567", "2024-01-31", "23:59:59",
]


def ints():
    out = [0, 1, -1, 2, -2, 5, -5, 7, -7, 9, -9, 10, -10, 42, -42, 99, -99, 100, -100, 123, -123,
           12345, -12345, 99999, 100000, 123456, -123456, 999999, -999999, 1000000]
    for k in (7, 8, 15, 16, 31, 32, 53, 62, 63, 64, 65, 127, 128, 129, 255, 256, 1000, 4000):
        out += [2**k - 1, 2**k, 2**k + 1, -(2**k - 1), -(2**k), -(2**k) - 1]
    for k in (1, 2, 5, 6, 9, 10, 18, 19, 20, 27, 28, 29, 37, 38, 39, 40, 100, 255, 256, 257, 300, 920, 921, 1000):
        out += [10**k - 1, 10**k, 10**k + 1, -(10**k - 1), -(10**k)]
    return out


def random_int(rng):
    r = rng.random()
    if r < 0.5:
        digits = rng.randint(1, 12)
    elif r < 0.85:
        digits = rng.randint(13, 40)
    elif r < 0.97:
        digits = rng.randint(41, 260)
    else:
        digits = rng.randint(261, 700)
    value = rng.randrange(10 ** (digits - 1) if digits > 1 else 0, 10**digits)
    return -value if rng.random() < 0.35 else value


FLOATS = [
    0.0, -0.0, float("inf"), -float("inf"), float("nan"), 5e-324, -5e-324, 1e-323, 2.2250738585072009e-308,
    2.2250738585072014e-308, -2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
    1e-300, 1e-320, 1e300, 1e16, 1e20, 1e22, 1e23, 1e38, 1e39, 9.999999999999999e37, 2.0**53, 2.0**53 + 2,
    2.0**63, 2.0**64, 2.0**127, 2.0**128, 2.0**1023, 0.1, 0.2, 0.3, 0.5, 1.0, -1.0, 1.5, 2.5, 3.0, -3.0, 7.0,
    7.5, 15.25, 1e-5, 1e-7, 1.2345e-10, 123456789.123, 0.015, 0.025, 1.005, 99.995, 1e-399, 1e-400, 1e-401,
    3.141592653589793, -2.718281828459045, 1 / 3, 2 / 3, 100.0, 1234.5678, 0.001, 0.009, 0.0049, 0.005,
]


def random_float(rng):
    r = rng.random()
    if r < 0.2:
        while True:
            value = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
            if not math.isnan(value):
                return value
    if r < 0.4:
        return round(rng.uniform(-1e6, 1e6), rng.randint(0, 4))
    if r < 0.55:
        return rng.uniform(-1, 1)
    if r < 0.65:
        return float(rng.randint(-10**6, 10**6))
    if r < 0.75:
        return math.ldexp(rng.random(), rng.randint(-1074, -1000))  # subnormal or tiny
    digits = "".join(rng.choice(DIGITS) for _ in range(rng.randint(1, 17)))
    return float(f"{rng.choice('-+')}{digits}e{rng.randint(-60, 60)}")


DECIMALS = [
    "0", "-0", "0.00", "-0.00", "0E+5", "-0E+3", "0E-10", "NaN", "-NaN", "NaN123", "sNaN", "-sNaN", "Infinity",
    "-Infinity", "1", "-1", "1.50", "1.5", "-1.50", "3.00", "3", "3.0", "7.5", "15.25", "2.50", "5.000",
    "12.3400", "0.00120", "1E-7", "1E+3", "1E+1", "1.0E+2", "-1E+3", "0.5", "1E-400", "1E-401", "1E+400",
    "1E+401", "1E+999999999", "1E-999999999", "9" * 38, "9" * 39, "-" + "9" * 38, "1" + "0" * 38,
    "1.234567890123456789012345678", "1.2345678901234567890123456789", "12345678901234567890123456.78",
    "0.0000000000000000000000000001", "0.00000000000000000000000000012", "123456789012345678901234567800",
    "99999999999999999999999999999999999999E+10", "9.9999999999999999999999999999999999999",
    "0.000001", "1E-6", "123.456", "-123.456", "1000000.00", "0.01", "0.005", "0.995", "99.995",
]


def random_decimal(rng):
    r = rng.random()
    if r < 0.4:
        coefficient = rng.randint(0, 10**rng.randint(1, 9))
        exponent = -rng.randint(0, 4)
    elif r < 0.75:
        coefficient = rng.randrange(10**rng.randint(1, 42))
        exponent = rng.randint(-45, 20)
    elif r < 0.85:
        coefficient = rng.randrange(1, 10**rng.randint(1, 6))
        exponent = rng.choice([-402, -401, -400, -399, -398, 398, 399, 400, 401, 402])
    else:
        coefficient = rng.randint(1, 999) * 10**rng.randint(1, 8)  # trailing zeros
        exponent = -rng.randint(0, 12)
    sign = rng.random() < 0.35
    return D((int(sign), tuple(int(c) for c in str(coefficient)), exponent))


def mix(rng, weights, count):
    """count values drawn by the weighted makers, plus repeats of earlier ones."""
    makers, shares = zip(*weights)
    values = []
    while len(values) < count:
        if values and rng.random() < 0.04:
            values.append(rng.choice(values))  # a repeat within the call
            continue
        values.append(rng.choices(makers, weights=shares)[0](rng))
    return values


OTHERS = [None, True, False, b"", b"abc", b"\xff\x00"]


def generic_inputs(name, count=2400):
    """Texts of many shapes and integers of every size; a few values of other kinds."""
    rng = rng_for(name)
    fixed = FIXED_TEXTS + ints() + OTHERS + [0.5, -0.0, float("nan"), D("1.5"), D("NaN")]
    weights = [
        (code_text, 22), (phone_text, 14), (email_text, 14), (unicode_text, 6), (long_text, 2),
        (lambda r: random_text(r, LOWER + UPPER + DIGITS + PUNCT, 0, 40), 8),
        (lambda r: random_text(r, LOWER + DIGITS + CONTROLS + " ", 0, 12), 2),
        (random_int, 26), (lambda r: r.choice(OTHERS), 2), (random_float, 1), (random_decimal, 1),
        (lambda r: r.randint(-10**6, 10**6), 2),
    ]
    return fixed + mix(rng, weights, count - len(fixed))


def number_inputs(name, count=3000):
    """Integers, floats and Decimals of every size and scale; a few values of other kinds."""
    rng = rng_for(name)
    fixed = ints() + FLOATS + [D(t) for t in DECIMALS] + OTHERS + ["7", "3.5", "", "é"]
    weights = [
        (random_int, 20), (lambda r: r.randint(-1000, 1000), 8), (random_float, 32), (random_decimal, 32),
        (lambda r: r.choice(OTHERS + ["12", "x"]), 1),
    ]
    return fixed + mix(rng, weights, count - len(fixed))


# --- option sets -------------------------------------------------------------

WORDS = {
    "firstNames": ["Ann", "Bob", "Cy", "Zoë", "Mary Ann", "José", "Li"],
    "lastNames": ["Smith", "Jones", "O'Brien", "van der Berg", "Øster"],
    "cities": ["Oslo", "Lima", "São Paulo", "Zürich", "Ho Chi Minh City", "Lima"],
    "streets": ["Elm", "Oak", "Üxa", "Long Acre", "Rue de la Paix"],
    "streetKinds": ["Road", "Lane", "Street", "Allee"],
    "companySuffixes": ["Ltd", "Inc", "GmbH", "S.A."],
    "companyWords": ["Acme", "Globex", "Initech", "Umbrella", "Hooli", "Ünited"],
}


def subkey(name):
    return hashlib.sha256(b"morvo golden subkey " + name.encode()).digest()


# (file name, strategy, options, inputs, subkey)
OPTION_SETS = [
    ("key-default", "key", {}, generic_inputs, bytes(range(32))),
    ("key-alphanumeric", "key", {"charset": "alphanumeric"}, generic_inputs, bytes(32)),
    ("key-digits", "key", {"charset": "digits"}, generic_inputs, None),
    ("key-hex", "key", {"charset": "hex"}, generic_inputs, None),
    ("fpe-default", "fpe", {}, generic_inputs, bytes(range(32))),
    ("fpe-alphanumeric-strict", "fpe", {"charset": "alphanumeric", "strict": True}, generic_inputs, None),
    ("fpe-digits", "fpe", {"charset": "digits", "strict": False}, generic_inputs, None),
    ("fpe-digits-strict", "fpe", {"charset": "digits", "strict": True}, generic_inputs, None),
    ("fpe-hex", "fpe", {"charset": "hex"}, generic_inputs, None),
    ("fpe-hex-strict", "fpe", {"charset": "hex", "strict": True}, generic_inputs, None),
    ("hash-default", "hash", {}, generic_inputs, bytes(range(32))),
    ("hash-length-0-prefix", "hash", {"length": 0, "prefix": "h_"}, generic_inputs, None),
    ("hash-length-7", "hash", {"length": 7}, generic_inputs, None),
    ("hash-length-100-prefix", "hash", {"length": 100, "prefix": "ç-"}, generic_inputs, b"\xff" * 32),
    ("email-default", "email", {}, generic_inputs, bytes(range(32))),
    ("email-domain-length", "email", {"length": 20, "mailDomain": "mask.example.org"}, generic_inputs, None),
    ("email-keep-domain", "email", {"keepDomain": True, "length": 5, "mailDomain": "x.test"}, generic_inputs,
     None),
    ("digits-default", "digits", {}, generic_inputs, bytes(range(32))),
    ("digits-keep-leading-2", "digits", {"keepLeading": 2}, generic_inputs, None),
    ("digits-keep-both", "digits", {"keepLeading": 1, "keepTrailing": 3}, generic_inputs, None),
    ("number-default", "number", {}, number_inputs, bytes(range(32))),
    ("number-decimals-2", "number", {"decimals": 2}, number_inputs, None),
    ("number-decimals-0-variance-0", "number", {"decimals": 0, "variance": "0"}, number_inputs, None),
    ("number-variance-half-decimals-5", "number", {"variance": "0.5", "decimals": 5}, number_inputs, None),
    ("number-variance-large", "number", {"variance": "-2.75"}, number_inputs, None),
    ("number-bounded", "number", {"min": "10", "max": "20"}, number_inputs, None),
    ("number-bounded-decimals-3", "number", {"min": "-1000.5", "max": "1E+6", "decimals": 3}, number_inputs,
     None),
    ("number-bounded-narrow", "number", {"min": "1.5", "max": "1.7"}, number_inputs, None),
    ("number-bounded-reversed", "number", {"min": "20", "max": "-0.001", "decimals": 1}, number_inputs, None),
    ("fakeFirstName", "fakeFirstName", WORDS, generic_inputs, bytes(range(32))),
    ("fakeLastName", "fakeLastName", WORDS, generic_inputs, None),
    ("fakeName", "fakeName", {**WORDS, "maxLength": 9}, generic_inputs, None),
    ("fakeCity", "fakeCity", {**WORDS, "address": "{number} {street}"}, generic_inputs, None),
    ("fakeCompany", "fakeCompany", WORDS, generic_inputs, None),
    ("fakeStreetAddress", "fakeStreetAddress", {**WORDS, "address": "{number} {street} {kind}"},
     generic_inputs, None),
    ("fakeStreetAddress-format-maxLength", "fakeStreetAddress",
     {**WORDS, "address": "No. {number}, {street}{street} ({kind}) {number}", "maxLength": 20},
     generic_inputs, None),
]


def build(name, strategy, options, make_inputs, key):
    key = subkey(name) if key is None else key
    inputs = make_inputs(name)
    masked, problems = morvo_rs.Masker(key, strategy, options).maskColumn(inputs)
    assert len(masked) == len(inputs)
    record = {
        "format": FORMAT,
        "strategy": strategy,
        "subkey": key.hex(),
        "options": options,
        "inputs": [encode(v) for v in inputs],
        "outputs": [encode(v) for v in masked],
        "problems": [[p, encode_problem(m)] for p, m in problems.items()],
    }
    # Every stored value must come back exactly as it was masked.
    for v, tagged in zip(inputs, record["inputs"]):
        assert encode(decode(json.loads(json.dumps(tagged)))) == tagged, v
    return record


def serialize(record):
    text = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
    return gzip.compress(text.encode(), compresslevel=9, mtime=0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--update", action="store_true", help="rewrite files whose content changed")
    args = parser.parse_args()
    print(f"masking with {morvo_rs.__file__}", file=sys.stderr)
    OUT.mkdir(parents=True, exist_ok=True)
    names = {entry[0] for entry in OPTION_SETS}
    assert len(names) == len(OPTION_SETS), "file names must be unique"
    changed, total_inputs = [], 0
    for name, strategy, options, make_inputs, key in OPTION_SETS:
        record = build(name, strategy, options, make_inputs, key)
        total_inputs += len(record["inputs"])
        path = OUT / f"{name}.json.gz"
        if path.exists():
            old = json.loads(gzip.decompress(path.read_bytes()))
            if old == record:
                continue
            changed.append(path.name)
            if not args.update:
                continue
        path.write_bytes(serialize(record))
        print(f"wrote {path.relative_to(ROOT)}: {len(record['inputs'])} inputs, "
              f"{len(record['problems'])} problems", file=sys.stderr)
    stale = sorted(p.name for p in OUT.glob("*.json.gz") if p.name[:-len(".json.gz")] not in names)
    print(f"{len(OPTION_SETS)} option sets, {total_inputs} inputs", file=sys.stderr)
    if stale:
        print(f"files without an option set (remove them by hand): {stale}", file=sys.stderr)
    if changed and not args.update:
        print(f"refused to overwrite {len(changed)} file(s) whose content would change: {changed}; "
              "run with --update only if the change of outputs is intended", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
