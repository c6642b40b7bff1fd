"""How far each strategy's time per value is from its cryptographic floor.

    python bench/floor.py [--count N] [--repeat R] [--sample S] [--probe-dir DIR] [name ...]

For every column of bench/mask_column.py (N distinct values, best of R runs
of Masker.maskColumn on one thread, each with a fresh masker) it prints:

  - the time per value, best and worst of the R runs;
  - what the strategy must compute per value: keyed digests, SHA-256
    compressions and AES-256 blocks, averaged over S values of the column;
  - the floor, compressions x (one compression) + AES blocks x (one block),
    with the primitives timed natively on this machine, and time / floor;
  - the same ratio less the time of a column that computes nothing keyed
    (texts without letters or digits, kept as they are by the digits
    strategy, or by the key strategy whose masker caches answers as the fpe
    and fake ones do): what maskColumn spends per value besides the strategy.

The counts come from a model of the core written here in Python with hmac:
it recomputes every digest the core computes for a value (HMAC with the
inner and outer states precomputed: a message of L bytes after the key
block takes ceil((L + 9) / 64) compressions, and the outer hash one more;
whole 64-byte blocks of a permutation's label go into a midstate once per
value) and its results are checked against maskColumn's on the sample, so a
count that has drifted from the code shows up as a mismatch. The two counts
that depend on walks inside the core (Feistel passes of the key strategy,
FF1 encryptions of the fpe strategy) are checked against, or taken from,
the core itself through the floor_probe test extension, which also times
the primitives. Build it with the tests (build/<dir>/probe).
"""
import argparse
import decimal
import hashlib
import hmac
import os
import statistics
import sys
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mask_column import KEY, best, columns, fake_lists  # noqa: E402

import morvo_rs  # noqa: E402

D = decimal.Decimal


def hmac_compressions(length, absorbed=0):
    """SHA-256 compressions of one HMAC over an inner message of `length`
    bytes, with `absorbed` of its leading bytes (whole blocks) already in a
    midstate: the rest of the inner hash padded, then the outer block."""
    return (length - absorbed + 9 + 63) // 64 + 1


class Tally:
    """The core's keyed computations on one subkey, counting as it goes."""

    def __init__(self, subkey):
        self.subkey = subkey
        self.digests = 0
        self.compressions = 0
        self.aes = 0
        self.passes = []  # Feistel passes per permutation

    def hmac(self, message, absorbed=0):
        self.digests += 1
        self.compressions += hmac_compressions(len(message), absorbed)
        return hmac.new(self.subkey, message, hashlib.sha256).digest()

    def digest(self, message, label):
        return self.hmac(label + b"\x00" + message)

    def expand(self, message, count, label):
        out = b""
        i = 0
        while len(out) < count:
            out += self.hmac(label + b"#" + i.to_bytes(4, "big") + b"\x00" + message)
            i += 1
        return out[:count]

    def below(self, message, bound, label):
        stream = self.expand(message, (bound.bit_length() + 7) // 8 + 32, label)
        return int.from_bytes(stream, "big") % bound

    def permute(self, size_minus_one, value, label):
        """The Feistel permutation of [0, size_minus_one] (the 128-bit path)."""
        if size_minus_one == 0:
            return value
        w = max(size_minus_one.bit_length(), 2)
        w += w & 1
        h = w // 2
        nb = (h + 7) // 8
        mask = (1 << h) - 1
        size = size_minus_one + 1
        size_bytes = size.to_bytes((size.bit_length() + 7) // 8, "big")
        # Whole blocks of the label go into a midstate once per value; so does
        # the first block of a two-block tail when only its second changes.
        prefix = len(label) + 1 + len(size_bytes)
        absorbed = len(label) // 64 * 64
        if prefix + 7 + nb - absorbed <= 119:
            absorbed = prefix // 64 * 64
        self.compressions += absorbed // 64
        v = value
        passes = 0
        while True:
            passes += 1
            left, right = v >> h, v & mask
            for r in range(10):
                message = (label + b"|" + size_bytes + bytes([r]) + b"#" + (0).to_bytes(4, "big") + b"\x00"
                           + right.to_bytes(nb, "big"))
                f = int.from_bytes(self.hmac(message, absorbed)[:nb], "big") & mask
                left, right = right, left ^ f
            v = (left << h) | right
            if v <= size_minus_one:
                break
        self.passes.append(passes)
        return v


# The strategies, each computing the value maskColumn returns.

def hex_digest(t, text):
    return t.digest(text.encode(), b"").hex()


def mask_hash(t, v):
    return hex_digest(t, v)[:16]


def mask_email(t, v):
    return "u" + hex_digest(t, v.strip().lower())[:12] + "@example.invalid"


def mask_digits(t, v):
    run = "".join(c for c in v if c.isdigit())
    stream = [b % 10 for b in t.expand(run.encode(), 2 * len(run) + 32, b"") if b <= 249]
    digits = iter(str(stream[k % len(stream)]) for k in range(len(run)))
    return "".join(next(digits) if c.isdigit() else c for c in v)


def mask_key_int(t, v):
    d = len(str(v))
    lo = 10 ** (d - 1) if d >= 2 else 0
    return lo + t.permute(10 ** d - lo - 1, v - lo, b"integer")


def char_class(c):
    if "0" <= c <= "9":
        return 10, ord(c) - ord("0"), "0"
    if "a" <= c <= "z":
        return 26, ord(c) - ord("a"), "a"
    if "A" <= c <= "Z":
        return 26, ord(c) - ord("A"), "A"
    return 0, 0, c


def text_domain(v):
    """A text's domain size, its value in it, and the label of its rounds."""
    size, value, shape = 1, 0, ""
    for c in v:
        n, i, _ = char_class(c)
        shape += str(n) if n else c
        if n:
            size, value = size * n, value * n + i
    return size, value, b"text|alphanumeric|" + shape.encode()


def mask_key_text(t, v):
    size, value, label = text_domain(v)
    if size == 1:
        return v
    value = t.permute(size - 1, value, label)
    out = list(v)
    for k in reversed(range(len(v))):
        n, _, first = char_class(v[k])
        if n:
            out[k] = chr(ord(first) + value % n)
            value //= n
    return "".join(out)


def ff1_blocks(n, tweak_length, radix=10):
    """AES blocks of one FF1 encryption of n numerals as the core runs it: the
    whole blocks of P || T || 0^pad once, then each of the ten rounds the
    blocks its own bytes touch (and the extra blocks of S when d > 16)."""
    u = n // 2
    v = n - u
    b = ((radix ** v - 1).bit_length() + 7) // 8
    d = 4 * ((b + 3) // 4) + 4
    pad = (-(tweak_length + b + 1)) % 16
    prefix = 16 + tweak_length + pad
    fixed = prefix // 16
    tail = (prefix + 1 + b) // 16 - fixed
    return fixed + 10 * (tail + (d + 15) // 16 - 1)


def mask_fpe_int(probe):
    def mask(t, v):
        digits, encryptions = probe.fpeEncryptions(t.subkey, str(v))
        t.aes += encryptions * ff1_blocks(len(digits), len("integer"))
        return int(digits)
    return mask


def draw_unit(t, text, label=b""):
    k = int.from_bytes(t.digest(text.encode(), label)[:8], "big")
    return Fraction(k >> 11, 1 << 53)


def quantize(x, e):
    """x rounded half-even on the grid of 10^e."""
    step = Fraction(10) ** e
    return round(x / step) * step


def moved(t, x, q, text, e):
    """The unbounded rule: a result equal to the value moves one step."""
    if q != x or x == 0:
        return q
    step = Fraction(10) ** e
    return x + step if t.digest(text.encode(), b"step")[0] >= 0x80 else x - step


def unbounded(x, u):
    return x * (1 + Fraction(1, 10) * (2 * u - 1))


def mask_number_int(t, v):
    x = Fraction(v)
    return int(moved(t, x, quantize(unbounded(x, draw_unit(t, str(v))), 0), str(v), 0))


def mask_number_int_bounded(t, v):
    q = quantize(1_000_000 * draw_unit(t, str(v)), 0)
    return int(min(max(q, 0), 1_000_000))


def mask_number_float(t, v):
    return float(unbounded(Fraction(v), draw_unit(t, repr(v))))


def mask_number_float_bounded(t, v):
    q = quantize(1000 * draw_unit(t, repr(v)), -2)
    return float(min(max(q, 0), 1000))


def decimal_hash_text(x):
    if x == x.to_integral_value():
        return str(int(x))
    return format(x.normalize(), "f")


# A value the core hands back to the caller, as maskColumn reports it.
FALLBACK = "fallback"


def mask_number_decimal(t, v):
    text = decimal_hash_text(v)
    e = min(v.as_tuple().exponent, 0)
    x = Fraction(v)
    q = moved(t, x, quantize(unbounded(x, draw_unit(t, text)), e), text, e)
    if q == 0:  # a Decimal moved to zero is left to the caller
        return FALLBACK
    return D(q.numerator) / D(q.denominator)


def mask_number_decimal_bounded(t, v):
    e = min(v.as_tuple().exponent, 0)
    q = quantize(1000 * draw_unit(t, decimal_hash_text(v)), e)
    q = min(max(q, 0), 1000)
    return D(q.numerator) / D(q.denominator)


LISTS = fake_lists()


def pick(t, name, text, label):
    items = LISTS[name]
    return items[t.below(text.encode(), len(items), label)]


def mask_fake_name(t, v):
    return pick(t, "firstNames", v, b"first") + " " + pick(t, "lastNames", v, b"last")


def mask_fake_street_address(t, v):
    number = 1 + t.below(v.encode(), 9999, b"number")
    return f"{number} {pick(t, 'streets', v, b'street')} {pick(t, 'streetKinds', v, b'suffix')}"


def mask_nothing(t, v):
    return v


def models(probe):
    return {
        "hash": mask_hash,
        "email": mask_email,
        "digits": mask_digits,
        "key-int9": mask_key_int,
        "key-code10": mask_key_text,
        "fpe-int10": mask_fpe_int(probe),
        "number-int": mask_number_int,
        "number-int-bounded": mask_number_int_bounded,
        "number-float": mask_number_float,
        "number-float-bounded": mask_number_float_bounded,
        "number-decimal": mask_number_decimal,
        "number-decimal-bounded": mask_number_decimal_bounded,
        "fakeName": mask_fake_name,
        "fakeStreetAddress": mask_fake_street_address,
        "digits-no-digit": mask_nothing,
        "key-no-class": mask_nothing,
    }


PUNCTUATION = "!#$%&()*+,-./:;<=>?@[]^_{|}~"


def punctuation_texts(count):
    """Distinct texts of eight characters, none a letter or a digit."""
    out = []
    for i in range(count):
        text = ""
        while True:
            i, r = divmod(i, len(PUNCTUATION))
            text += PUNCTUATION[r]
            if i == 0:
                break
        out.append(text + "-" * (8 - len(text)))
    return out


def all_columns(count):
    table = columns(count)
    texts = punctuation_texts(count)
    table["digits-no-digit"] = ("digits", {}, texts)
    table["key-no-class"] = ("key", {}, texts)
    return table


# Two columns with no keyed computation at all, texts without letters or
# digits: the digits strategy keeps them (its masker has no cache), the key
# strategy too (its masker caches answers, as the fpe and fake ones do).
# Their times are the column machinery's own cost per value.
BASES = {"digits-no-digit": False, "key-no-class": True}


def cached(strategy):
    return strategy in ("key", "fpe") or strategy.startswith("fake")


DEFAULT_NAMES = [*BASES, "hash", "email", "digits", "key-int9", "key-code10", "fpe-int10", "number-int",
                 "number-float", "number-decimal", "fakeName"]


def same(name, ours, theirs):
    if isinstance(ours, float):
        return ours == theirs or abs(ours - theirs) <= 1e-12 * abs(ours)
    return ours == theirs


def count_and_check(name, strategy, options, values, model, probe, sample):
    """Counts per value over a spread-out sample of the column, after checking
    the model's outputs against maskColumn's."""
    step = max(1, len(values) // sample)
    chosen = values[::step][:sample]
    tally = Tally(KEY)
    ours = [model(tally, v) for v in chosen]
    theirs, problems = morvo_rs.Masker(KEY, strategy, options).maskColumn(chosen)
    for i, v in enumerate(chosen):
        a, b = ours[i], problems.get(i, theirs[i])
        if not same(name, a, b):
            raise SystemExit(f"{name}: the count model computes {a!r} for {v!r}, maskColumn {b!r}")
    if name.startswith("key-") and tally.passes:
        check_passes(name, chosen, probe)
    n = len(chosen)
    return tally.digests / n, tally.compressions / n, tally.aes / n, ours.count(FALLBACK) / n


def check_passes(name, chosen, probe):
    """The model's Feistel passes against the core's own count, on a few values."""
    for v in chosen[:50]:
        t = Tally(KEY)
        if isinstance(v, int):
            d = len(str(v))
            lo = 10 ** (d - 1)
            size_minus_one, value, label = 10 ** d - lo - 1, v - lo, b"integer"
        else:
            size, value, label = text_domain(v)
            size_minus_one = size - 1
        ours = t.permute(size_minus_one, value, label)
        theirs, passes = probe.permutePasses(KEY, size_minus_one.to_bytes(16, "big"), value.to_bytes(16, "big"),
                                             label.decode())
        if (ours, t.passes[0]) != (int.from_bytes(theirs, "big"), passes):
            raise SystemExit(f"{name}: the model's permutation of {v!r} or its passes disagree with the core's")


def primitive(timer, iterations, repeat):
    times = [timer(iterations) / iterations for _ in range(repeat)]
    return min(times), max(times)


def spread(low, high):
    return f"{(high - low) / low * 100:.0f}%"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=200_000, help="distinct values per column")
    parser.add_argument("--repeat", type=int, default=3, help="runs per column, the best is kept")
    parser.add_argument("--sample", type=int, default=2000, help="values per column the counts are taken on")
    parser.add_argument("--probe-dir", default=os.environ.get("MORVO_PROBE_DIR", "build/dev/probe"),
                        help="directory of the built floor_probe extension")
    parser.add_argument("names", nargs="*", help=f"columns (default: {' '.join(DEFAULT_NAMES)})")
    args = parser.parse_args()
    sys.path.insert(0, args.probe_dir)
    import floor_probe as probe

    morvo_rs.setThreads(1)
    iterations = 1_000_000
    prim_repeat = max(args.repeat, 5)
    compress = primitive(probe.timeCompress, iterations, prim_repeat)
    digest = primitive(probe.timeDigest, iterations, prim_repeat)
    aes = primitive(probe.timeAes, iterations, prim_repeat)
    print(f"primitives, best / worst of {prim_repeat} runs of {iterations:,} chained calls (ns):")
    print(f"  SHA-256 compression, one block     {compress[0] * 1e9:7.1f} / {compress[1] * 1e9:7.1f}")
    print(f"  keyed digest, 16-byte message      {digest[0] * 1e9:7.1f} / {digest[1] * 1e9:7.1f}"
          f"   (2 compressions; {digest[0] / (2 * compress[0]):.2f} x their cost)")
    print(f"  AES-256 block ({'AES instructions' if probe.aesHardware() else 'portable OpenSSL'})"
          f"{' ' * (20 - len('AES instructions' if probe.aesHardware() else 'portable OpenSSL'))}"
          f"{aes[0] * 1e9:7.1f} / {aes[1] * 1e9:7.1f}")
    print()

    table = all_columns(args.count)
    model_of = models(probe)
    names = args.names or DEFAULT_NAMES
    print(f"maskColumn, 1 thread, {args.count:,} distinct values, best of {args.repeat};"
          f" counts per value over {args.sample:,} values")
    header = (f"{'column':<24}{'ns/value':>9}{'worst':>8}{'spread':>8}{'digests':>9}{'SHA-256':>9}"
              f"{'AES':>6}{'floor ns':>10}{'x floor':>9}{'x floor, base off':>19}")
    print(header)
    print("-" * len(header))
    notes = []
    bases = {}
    # One untimed run first: the first column timed would otherwise also pay
    # for the process's allocator growing to hold N results.
    strategy, options, values = table[names[0]]
    morvo_rs.Masker(KEY, strategy, options).maskColumn(values)
    for name in names:
        strategy, options, values = table[name]
        digests, compressions, blocks, fallbacks = count_and_check(name, strategy, options, values, model_of[name], probe,
                                                           args.sample)
        low, high = best(lambda: morvo_rs.Masker(KEY, strategy, options).maskColumn(values), args.repeat)
        per, worst = low / len(values) * 1e9, high / len(values) * 1e9
        floor = (compressions * compress[0] + blocks * aes[0]) * 1e9
        if name in BASES:
            bases[BASES[name]] = per
        base = bases.get(cached(strategy))
        ratio = f"{per / floor:9.1f}" if floor else f"{'-':>9}"
        excess = f"{(per - base) / floor:19.1f}" if floor and base is not None else f"{'-':>19}"
        print(f"{name:<24}{per:>9.0f}{worst:>8.0f}{spread(per, worst):>8}{digests:>9.2f}{compressions:>9.2f}"
              f"{blocks:>6.1f}{floor:>10.0f}{ratio}{excess}")
        if fallbacks:
            notes.append(f"{name}: {fallbacks:.2%} of the sample falls back to the caller after its digests")
    if bases:
        notes.append("base off: less the time of the no-keyed-computation column of the same kind of masker,"
                     " key-no-class for key, fpe and fake (which cache answers), digits-no-digit for the rest")
    for note in notes:
        print(note)
    morvo_rs.setThreads(1)


if __name__ == "__main__":
    main()
