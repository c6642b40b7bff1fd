"""Coverage-guided fuzzing of the module's Python surface with atheris.

Each input builds a few maskers from generated options and feeds
``Masker.maskColumn``, ``maskChunk`` and ``columnKinds`` generated columns and
rows: ordinary values of every kind, and hostile objects whose ``__index__``,
``__iter__``, ``__len__``, ``__str__``, ``__repr__``, ``__hash__``, ``__eq__``,
``bit_length`` or ``__del__`` raise, lie or change the column being read.

Invariants checked on every call:

- the process survives (the sanitizers watch the native side when the module
  is the AddressSanitizer build);
- a call raises only TypeError, ValueError, OverflowError, UnicodeEncodeError,
  MemoryError, or what a hook raised itself (HookError, KeyboardInterrupt,
  SystemExit); anything else, the module's internal error included, stops the
  run as a finding;
- ``maskColumn`` gives one output per value read and problems whose keys are
  ascending positions holding None; ``maskChunk`` gives one tuple per row of the
  policy's width and problems in row order, each on a None; ``columnKinds``
  gives None or one kind list and one flag per column;
- for columns of plain values, repeated calls agree, and ``maskChunk`` agrees
  with ``maskColumn`` column by column.

Run: python tests/fuzz/py_fuzz.py [libFuzzer flags] [corpus directories].
"""

import decimal
import os
import sys

import atheris

import morvo_rs

D = decimal.Decimal
ALLOWED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError)


class HookError(Exception):
    """What the hostile objects raise."""


INTERRUPTS = (HookError, SystemExit)
RAISED = []  # the interrupts the hooks raised during the current call

STRATEGIES = ["key", "fpe", "hash", "email", "digits", "number", "fakeFirstName", "fakeLastName", "fakeName",
              "fakeCity", "fakeCompany", "fakeStreetAddress"]
LISTS = ["firstNames", "lastNames", "cities", "streets", "streetKinds", "companySuffixes", "companyWords"]
SAMPLE_TEXTS = ["", "AB-1234", "ann@Example.com", " x@y ", "+44 20 7946", "é", "a\udc80b", "0x1F", "{number} {street}",
                "{street}{kind}", "{", "}", "1.5", "-0", "1E+400", "NaN", "1e-401", "12.50", "abc", "alphanumeric",
                "digits", "hex", "9" * 40, "z" * 300]
SAMPLE_DECIMALS = ["0", "-0", "1.50", "1E+3", "1E-401", "NaN", "sNaN", "-Infinity", "123456789012345678901234567890.5",
                   "9" * 39, "0.000001", "-7.5", "1E+9999999"]


class Hostile:
    """Programs the misbehaviour of one hook: raise, lie or mutate."""

    def __init__(self, fdp, column):
        self.mode = fdp.ConsumeIntInRange(0, 5)
        self.column = column
        self.interrupt = fdp.ConsumeIntInRange(0, 15) == 0
        # Lies of every size but those between 2**24 and 2**40: a bit_length
        # there makes the binding build that many bits before it looks.
        self.lie = fdp.PickValueInList([-3, -1, 0, 1, 3, 7, 64, 200, 1 << 20, 1 << 40, 1 << 62, 2**64 + 1])

    def act(self, honest):
        mode = self.mode
        if mode == 0:
            if self.interrupt:
                RAISED.append(KeyboardInterrupt)
                raise KeyboardInterrupt("hook")
            raise HookError("hook")
        if mode == 1 and self.column is not None:
            self.column.clear()
        elif mode == 2 and self.column is not None:
            self.column.append(self.column[0] if self.column else None)
        elif mode == 3 and self.column is not None and self.column:
            del self.column[-1]
        elif mode == 4:
            return self.lie
        return honest()


def hostile_value(fdp, column):
    """A value of one of the kinds the module reads, with one hook that misbehaves."""
    h = Hostile(fdp, column)
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        class BigInt(int):
            def bit_length(self):
                return h.act(lambda: int.bit_length(self))

            def to_bytes(self, *args, **kwargs):
                return h.act(lambda: int.to_bytes(self, *args, **kwargs))
        return BigInt(fdp.ConsumeInt(40))
    if kind == 1:
        class Repr(float):
            def __repr__(self):
                return h.act(lambda: float.__repr__(self))
        return Repr(fdp.ConsumeFloat())
    if kind == 2:
        class Str(D):
            def __str__(self):
                return h.act(lambda: D.__str__(self))
        return Str(fdp.PickValueInList(SAMPLE_DECIMALS))
    if kind == 3:
        class Text(str):
            def __hash__(self):
                return h.act(lambda: str.__hash__(self))

            def __eq__(self, other):
                return h.act(lambda: str.__eq__(self, other))

            def __str__(self):
                return h.act(lambda: str.__str__(self))
        return Text(fdp.PickValueInList(SAMPLE_TEXTS))
    if kind == 4:
        class Index:
            def __index__(self):
                return h.act(lambda: 7)
        return Index()
    if kind == 5:
        class Sly:
            @property
            def __class__(self):
                return h.act(lambda: D)
        return Sly()
    if kind == 6:
        class Dying(int):
            def __del__(self):
                try:
                    h.act(lambda: None)
                except BaseException:
                    pass
        return Dying(fdp.ConsumeIntInRange(-10**6, 10**6))
    if kind == 7:
        class Lying(int):
            def __eq__(self, other):
                return h.act(lambda: True)

            def __hash__(self):
                return h.act(lambda: 0)
        return Lying(fdp.ConsumeInt(20))
    if kind == 8:
        class Mixed(float):
            def __eq__(self, other):
                return h.act(lambda: False)

            def __hash__(self):
                return h.act(lambda: 1)
        return Mixed(fdp.ConsumeRegularFloat())
    return object()


def plain_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 10)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-10**7, 10**7)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 140))
    if kind == 4:
        return fdp.ConsumeFloat()
    if kind == 5:
        return D(fdp.PickValueInList(SAMPLE_DECIMALS))
    if kind == 6:
        text = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
        try:
            return D(text)
        except decimal.InvalidOperation:
            return text
    if kind == 7:
        return fdp.PickValueInList(SAMPLE_TEXTS[:6] + SAMPLE_TEXTS[7:])
    if kind == 8:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
    if kind == 9:
        return fdp.ConsumeBytes(4)
    return fdp.ConsumeIntInRange(0, 999999) * 10 ** fdp.ConsumeIntInRange(0, 30)


def column_of(fdp, size, allow_hostile, target=None):
    """A column and whether it is plain (no hooks that may change or fail the
    read). Hostile values change target, by default the column itself."""
    column = []
    plain = True
    for _ in range(size):
        if allow_hostile and fdp.ConsumeIntInRange(0, 7) == 0:
            column.append(hostile_value(fdp, column if target is None else target))
            plain = False
        else:
            column.append(plain_value(fdp))
    if fdp.ConsumeIntInRange(0, 15) == 0:
        # Enough distinct values to spread over the pool.
        base = fdp.ConsumeIntInRange(0, 10**9)
        column.extend(base + i for i in range(300))
    return column, plain


class LyingList(list):
    def __init__(self, items, hook):
        super().__init__(items)
        self.hook = hook

    def __len__(self):
        return self.hook.act(lambda: list.__len__(self))


class LyingTuple(tuple):
    def __len__(self):
        return 1 << 62


class Iterable:
    """An iterable whose __iter__, __len__ or iteration misbehaves."""

    def __init__(self, items, hook, fail_at):
        self.items = items
        self.hook = hook
        self.fail_at = fail_at
        self.given = 0

    def __len__(self):
        return self.hook.act(lambda: len(self.items))

    def __iter__(self):
        return self.hook.act(self._gen)

    def _gen(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise HookError("iteration")
            self.given += 1
            yield item


def container(fdp, items, plain):
    """items in one of several containers; gives (container, exact count or None, plain)."""
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return items, len(items), plain
    if kind == 1:
        return tuple(items), len(items), plain
    if kind == 2:
        return LyingTuple(items), len(items), plain
    # Iterables walk a copy: a hook that appends to the list it walks would
    # make the column endless.
    if kind == 3:
        return (x for x in list(items)), len(items), plain
    if kind == 4:
        hook = Hostile(fdp, None)
        return LyingList(items, hook), len(items), plain and hook.mode != 0
    hook = Hostile(fdp, None)
    fail_at = fdp.ConsumeIntInRange(-1, len(items)) if fdp.ConsumeBool() else -1
    return Iterable(list(items), hook, fail_at), None, False


def option_value(fdp, key, column):
    choice = fdp.ConsumeIntInRange(0, 9)
    if choice <= 4:  # a value of the right type
        if key in LISTS:
            words = [fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8))
                     for _ in range(fdp.ConsumeIntInRange(0 if choice == 0 else 1, 4))]
            return words if fdp.ConsumeBool() else tuple(words)
        if key in ("strict", "keepDomain"):
            return fdp.ConsumeBool()
        if key in ("length", "keepLeading", "keepTrailing", "decimals", "maxLength"):
            return fdp.ConsumeIntInRange(0, 80) if choice < 4 else fdp.ConsumeIntInRange(0, 2**64 - 1)
        if key in ("min", "max", "variance"):
            return fdp.PickValueInList(["0", "1", "-5", "10", "0.5", "1.5", "1.7", "1E+5", "1e-30", "-1E+200",
                                        "99999999999999999999999999999999999999999999999999999999999999",
                                        "1E+9223372036854775807", "1E-9223372036854775808", "abc", ""])
        if key == "charset":
            return fdp.PickValueInList(["alphanumeric", "digits", "hex", "base32", "a\udc80"])
        return fdp.PickValueInList(SAMPLE_TEXTS)
    if choice == 5:
        return None
    if choice == 6:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 70))
    if choice == 7:
        return hostile_value(fdp, column)
    if choice == 8:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    words = [fdp.ConsumeUnicodeNoSurrogates(4) for _ in range(3)]
    return LyingList(words, Hostile(fdp, words))


def make_masker(fdp):
    strategy = fdp.PickValueInList(STRATEGIES) if fdp.ConsumeIntInRange(0, 20) else fdp.ConsumeUnicode(8)
    keys = ["charset", "strict", "length", "prefix", "mailDomain", "keepDomain", "keepLeading", "keepTrailing",
            "decimals", "min", "max", "variance", "address", "maxLength"] + LISTS
    options = {}
    scratch = []
    for key in keys:
        if key in LISTS and strategy.startswith("fake") and fdp.ConsumeIntInRange(0, 7):
            options[key] = ["Ann", "Bob"] if fdp.ConsumeBool() else ["Ü", "Elm", "Oak"]
            continue
        if fdp.ConsumeIntInRange(0, 3) == 0:
            options[key] = option_value(fdp, key, scratch)
    subkey = bytes(32) if fdp.ConsumeIntInRange(0, 30) else fdp.ConsumeBytes(fdp.ConsumeIntInRange(30, 33))
    return morvo_rs.Masker(subkey, strategy, options)


def check_column(masked, problems, count):
    assert type(masked) is list and type(problems) is dict, (masked, problems)
    if count is not None:
        assert len(masked) <= count, (len(masked), count)
    previous = -1
    for position, marker in problems.items():
        assert type(position) is int and previous < position < len(masked), (position, len(masked))
        previous = position
        assert masked[position] is None, (position, masked[position])
        assert marker == morvo_rs.FALLBACK or (
            type(marker) is tuple and len(marker) == 2 and marker[0] == morvo_rs.REFUSED
            and type(marker[1]) is str), marker


def check_chunk(result, width, count):
    rows, problems = result
    assert type(rows) is list and type(problems) is list
    if count is not None:
        assert len(rows) <= count
    for row in rows:
        assert type(row) is tuple and len(row) == width, (row, width)
    previous = (-1, -1)
    for problem in problems:
        column, row, marker = problem
        assert (row, column) > previous, (problems,)
        previous = (row, column)
        assert 0 <= column < width and 0 <= row < len(rows)
        assert rows[row][column] is None
        assert marker == morvo_rs.FALLBACK or marker[0] == morvo_rs.REFUSED


def guarded(call, *args):
    """The call's result, or None when it raised one of the allowed exceptions:
    a KeyboardInterrupt only when a hook raised one during the call."""
    RAISED.clear()
    try:
        return call(*args)
    except KeyboardInterrupt:
        assert KeyboardInterrupt in RAISED, "a KeyboardInterrupt that no hook raised"
        return None
    except INTERRUPTS:
        return None
    except ALLOWED:
        return None


def same(a, b):
    return repr(a) == repr(b)


def one_input(data):
    try:
        run(data)
    except (KeyboardInterrupt, SystemExit) as e:
        # A hook's interrupt that escaped a guarded call would end the
        # fuzzer as if stopped by hand: report it as a finding instead.
        raise AssertionError(f"{type(e).__name__} escaped the harness") from e


def run(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 40) == 0:
        morvo_rs.setThreads(fdp.ConsumeIntInRange(1, 3))
    maskers = []
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        masker = guarded(make_masker, fdp)
        maskers.append(masker)
    live = [m for m in maskers if m is not None]

    size = fdp.ConsumeIntInRange(0, 12)
    items, plain = column_of(fdp, size, allow_hostile=fdp.ConsumeBool())
    original = list(items)
    values, count, plain = container(fdp, items, plain)
    if live:
        masker = live[0]
        result = guarded(masker.maskColumn, values)
        if result is not None:
            check_column(*result, count)
            if plain and count is not None:
                assert len(result[0]) == count
                again = masker.maskColumn(original)
                assert same(again, result), (again, result)

    # Rows: tuples of the policy's width, sometimes lists, a wrong width, or hostile rows.
    width = len(maskers)
    row_count = fdp.ConsumeIntInRange(0, 6)
    rows = []
    rows_plain = True
    for _ in range(row_count):
        # Hostile values in a row change the list of rows while it is read.
        row, row_plain = column_of(fdp, width if fdp.ConsumeIntInRange(0, 20) else fdp.ConsumeIntInRange(0, 4),
                                   allow_hostile=fdp.ConsumeBool(), target=rows)
        rows_plain = rows_plain and row_plain and len(row) == width
        kind = fdp.ConsumeIntInRange(0, 3)
        rows.append(tuple(row) if kind < 2 else row if kind == 2 else iter(row))
        rows_plain = rows_plain and kind < 3
    policy = [m if fdp.ConsumeIntInRange(0, 4) else None for m in maskers]
    if fdp.ConsumeIntInRange(0, 30) == 0:
        policy.append(fdp.PickValueInList(["key", 3, object()]))
    chunk_rows, chunk_count, chunk_plain = container(fdp, rows, rows_plain)
    result = guarded(morvo_rs.maskChunk, policy, chunk_rows)
    if result is not None:
        check_chunk(result, len(policy), chunk_count)
        if chunk_plain and chunk_count is not None:
            assert len(result[0]) == chunk_count
            # Column by column, the same answers as maskColumn.
            for j, m in enumerate(policy):
                if m is None:
                    continue
                masked, problems = m.maskColumn([tuple(r)[j] for r in rows])
                assert same([row[j] for row in result[0]], masked)
                assert same({r: marker for (c, r, marker) in result[1] if c == j}, problems)

    kinds = guarded(morvo_rs.columnKinds, chunk_rows if fdp.ConsumeBool() else rows)
    if kinds is not None:
        types, fits = kinds
        assert type(types) is list and type(fits) is list and len(types) == len(fits)
        for column_types, fit in zip(types, fits):
            assert type(fit) is bool and all(isinstance(t, type) for t in column_types)
            assert len(set(map(id, column_types))) == len(column_types)


def main():
    # The module is native and not instrumented: coverage comes from this
    # harness's own branches, which follow the shapes of what it generated.
    atheris.instrument_all()
    # libFuzzer runs argv[0] through the shell for -merge and -jobs: the
    # interpreter and this file, so that the script need not be executable.
    argv = [f"{sys.executable} {os.path.abspath(__file__)}"] + sys.argv[1:]
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
